#!/usr/bin/perl
# delay-proxy.pl - a TCP proxy on 127.0.0.1 that holds back everything it passes on, in
# both directions, for a fixed time: a distant server on one machine (tools/share-lab).
#
#   delay-proxy.pl LISTEN_PORT SERVER_PORT DELAY_MS
#
# Every connection accepted on LISTEN_PORT gets a connection of its own to SERVER_PORT;
# each chunk either side sends reaches the other side DELAY_MS (one way) after it arrived,
# and so does the end of a stream. Nothing caps the bandwidth: chunks are read as they
# come and held in memory (beyond 64 MiB held in one direction the sender waits), so the
# delay is the only difference from a direct connection. While the server is down, a new
# connection is closed at once; once it is back, the next connection reaches it. Runs
# until killed. Needs nothing beyond perl's core modules.
use strict;
use warnings;
use Errno qw(EAGAIN EINTR EWOULDBLOCK);
use IO::Select;
use IO::Socket::INET;
use Socket qw(IPPROTO_TCP TCP_NODELAY);
use Time::HiRes qw(time);

my ($listen_port, $server_port, $delay_ms) = @ARGV;
die "usage: delay-proxy.pl LISTEN_PORT SERVER_PORT DELAY_MS\n"
  unless defined $delay_ms && $delay_ms =~ /^[0-9]+(?:\.[0-9]+)?$/;
my $delay = $delay_ms / 1000;
my $chunk = 256 * 1024;             # bytes read at a time
my $hold_limit = 64 * 1024 * 1024;  # bytes held per direction before the sender waits
$SIG{PIPE} = 'IGNORE';              # a write to a closed peer fails with EPIPE instead

my $listener = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => $listen_port,
                                     Listen => 128, ReuseAddr => 1, Proto => 'tcp')
  or die "delay-proxy.pl: cannot listen on 127.0.0.1:$listen_port: $!\n";
$listener->blocking(0);

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
  while (my $client = $listener->accept) {
    my $server = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $server_port,
                                       Proto => 'tcp', Timeout => 5);
    if (!$server) {  # the server is down: so is this connection
      close $client;
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
  my $readers = IO::Select->new($listener);
  my $writers = IO::Select->new;
  my $next;
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
    if ($socket == $listener) {
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
      push @{$d->{queue}}, [$now + $delay, undef];  # end of stream, or the peer reset it
      $d->{read_end} = 1;
    }
  }
}
