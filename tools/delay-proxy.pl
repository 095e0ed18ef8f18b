#!/usr/bin/perl
# delay-proxy.pl - a TCP proxy on 127.0.0.1 that holds back everything it passes on, in
# both directions, for a fixed time: a distant server on one machine (tools/share-lab).
#
#   delay-proxy.pl LISTEN_PORT SERVER_PORT DELAY_MS
#
# Every connection accepted on LISTEN_PORT gets a connection of its own to SERVER_PORT;
# each chunk either side sends reaches the other side DELAY_MS (one way) after it arrived,
# and so does the end of a stream (a reset as a reset). Nothing caps the bandwidth: chunks
# are read as they come and held in memory (beyond 64 MiB held in one direction the sender
# waits), so the delay is the only difference from a direct connection. While the server is
# down the proxy does not listen either, so that a client's connection is refused as it
# would be without the proxy; it listens again as soon as the server does. Runs until
# killed. Needs nothing beyond perl's core modules.
use strict;
use warnings;
use Errno qw(EAGAIN EINTR EWOULDBLOCK);
use IO::Select;
use IO::Socket::INET;
use Socket qw(IPPROTO_TCP SOL_SOCKET SO_LINGER TCP_NODELAY);
use Time::HiRes qw(time);

my ($listen_port, $server_port, $delay_ms) = @ARGV;
die "usage: delay-proxy.pl LISTEN_PORT SERVER_PORT DELAY_MS\n"
  unless defined $delay_ms && $delay_ms =~ /^[0-9]+(?:\.[0-9]+)?$/;
my $delay = $delay_ms / 1000;
my $chunk = 256 * 1024;             # bytes read at a time
my $hold_limit = 64 * 1024 * 1024;  # bytes held per direction before the sender waits
$SIG{PIPE} = 'IGNORE';              # a write to a closed peer fails with EPIPE instead

my $probe_every = 0.05;             # seconds between looks at a server that is down

sub listen_now {
  my $socket = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => $listen_port,
                                     Listen => 128, ReuseAddr => 1, Proto => 'tcp')
    or return undef;
  $socket->blocking(0);
  return $socket;
}
my $listener = listen_now() or die "delay-proxy.pl: cannot listen on 127.0.0.1:$listen_port: $!\n";
my $next_probe;                     # set while the server is down (and the proxy deaf)

sub connect_server {
  return IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $server_port,
                               Proto => 'tcp', Timeout => 5);
}

# The server is gone (or going): if it refuses, stop listening until it is back.
sub check_server {
  return unless $listener;
  my $probe = connect_server();
  if ($probe) {
    close $probe;
    return;
  }
  close $listener;
  $listener = undef;
  $next_probe = time + $probe_every;
}

sub probe_server {
  my $probe = connect_server();
  if ($probe) {
    close $probe;
    $listener = listen_now();
  }
  $next_probe = $listener ? undef : time + $probe_every;
}

# Ends a socket with a reset, as the peer on the far side did.
sub reset_socket {
  my ($socket) = @_;
  setsockopt($socket, SOL_SOCKET, SO_LINGER, pack('ii', 1, 0));
}

# A direction of a connection: bytes read from {from} wait in {queue} as [due, data] (data
# undef: the end of the stream) until they are due for {to}. {link} holds both directions.
my %reading;  # fileno => the direction that reads from that socket
my @directions;

sub prepare {
  my ($socket) = @_;
  $socket->blocking(0);
  setsockopt($socket, IPPROTO_TCP, TCP_NODELAY, 1);  # a small reply must not wait either
}

sub accept_all {
  while ($listener && (my $client = $listener->accept)) {
    my $server = connect_server();
    if (!$server) {  # the server is down: so is this connection, and the listener
      reset_socket($client);
      close $client;
      check_server();
      next;
    }
    prepare($_) for $client, $server;
    my $link = [];
    for my $pair ([$client, $server], [$server, $client]) {
      my $d = { from => $pair->[0], to => $pair->[1], queue => [], held => 0,
                read_end => 0, sent_end => 0, link => $link };
      push @$link, $d;
      push @directions, $d;
      $reading{fileno $pair->[0]} = $d;
    }
  }
}

sub close_link {
  my ($link) = @_;
  for my $d (@$link) {
    delete $reading{fileno $d->{from}} if defined fileno $d->{from};
    $d->{closed} = 1;
  }
  close $link->[0]{from};
  close $link->[0]{to};
  @directions = grep { !$_->{closed} } @directions;
}

# Writes what is due; stops at a full socket. A peer that is gone ends the whole link.
sub deliver {
  my ($d, $now) = @_;
  my $q = $d->{queue};
  while (@$q && $q->[0][0] <= $now) {
    my $data = $q->[0][1];
    if (!defined $data) {
      shutdown($d->{to}, 1);
      $d->{sent_end} = 1;
      shift @$q;
      next;
    }
    if (ref $data) {  # a reset: the whole link goes
      reset_socket($d->{to});
      close_link($d->{link});
      return;
    }
    my $n = syswrite($d->{to}, $data);
    if (!defined $n) {
      return if $! == EAGAIN || $! == EWOULDBLOCK || $! == EINTR;
      close_link($d->{link});
      return;
    }
    $d->{held} -= $n;
    if ($n < length $data) {
      substr($q->[0][1], 0, $n) = '';
      return;
    }
    shift @$q;
  }
}

while (1) {
  my $now = time;
  for my $d (@directions) { deliver($d, $now) unless $d->{closed} }
  for my $d (@directions) {
    close_link($d->{link}) if !$d->{closed} && $d->{link}[0]{sent_end} && $d->{link}[1]{sent_end};
  }
  probe_server() if defined $next_probe && $next_probe <= $now;
  my $readers = IO::Select->new;
  $readers->add($listener) if $listener;
  my $writers = IO::Select->new;
  my $next = $next_probe;
  for my $d (@directions) {
    $readers->add($d->{from}) if !$d->{read_end} && $d->{held} < $hold_limit;
    next unless @{$d->{queue}};
    my $due = $d->{queue}[0][0];
    if ($due <= $now) { $writers->add($d->{to}) }  # due, but the socket was full
    elsif (!defined $next || $due < $next) { $next = $due }
  }
  my $wait = defined $next ? $next - time : undef;
  $wait = 0 if defined $wait && $wait < 0;
  my ($readable) = IO::Select->select($readers, $writers, undef, $wait);
  $now = time;
  for my $socket (@{$readable || []}) {
    if ($listener && $socket == $listener) {
      accept_all();
      next;
    }
    my $d = $reading{fileno $socket} or next;
    next if $d->{closed};
    my $n = sysread($socket, my $data, $chunk);
    if ($n) {
      push @{$d->{queue}}, [$now + $delay, $data];
      $d->{held} += $n;
    } elsif (defined $n || ($! != EAGAIN && $! != EWOULDBLOCK && $! != EINTR)) {
      # the end of the stream, or a reset (passed on as one)
      push @{$d->{queue}}, [$now + $delay, defined $n ? undef : \'reset'];
      $d->{read_end} = 1;
      check_server() if $d->{from} == $d->{link}[1]{from};  # the server's side ended
    }
  }
}
