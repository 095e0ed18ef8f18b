#!/usr/bin/perl
# gate.pl - the drills' gate (tests/share/drill_lib.sh starts it on the tool's output).
#
#   gate.pl [--progress] [--drain] PID WATCH OUT MARK...
#   gate.pl --tool PROGRAM ARG...
#
# Copies standard input (the output of the tool PID) to OUT; stops the tool (SIGSTOP) as
# soon as WATCH has grown to the next MARK (bytes), or with --progress as soon as the tool's
# own marks have (the number that heads each line of marks, in thousands of bytes: what the
# tool has written, which an upload's server may hold only seconds later). Once the tool
# stands still (with --drain after reading what the pipe still holds) it reports "stopped
# SIZE OFFSET AT" (WATCH's size, the bytes of OUT so far, the last mark of the tool) and
# waits until the tool goes on. At the end it reports "end GAP": the longest time between
# two " Try #" lines in microseconds, the time the tool stood still left out. With --tool it
# is the tool's side: standard output (the pipe to the gate) cut to one page, then PROGRAM.
use strict;
use warnings;
use Fcntl qw(:DEFAULT F_SETPIPE_SZ);
use Getopt::Long;

if (@ARGV && $ARGV[0] eq '--tool') {
  (fcntl(STDOUT, F_SETPIPE_SZ, 4096) // 0) == 4096 or die "F_SETPIPE_SZ: $!\n";
  exec { $ARGV[1] } @ARGV[1 .. $#ARGV] or exit 127;      # perl's own warning says why
}

my ($progress, $drain) = (0, 0);
GetOptions('progress' => \$progress, 'drain' => \$drain) && @ARGV >= 3
  or die "usage: gate.pl [--progress] [--drain] PID WATCH OUT MARK...\n";
my ($pid, $watch, $out, @marks) = @ARGV;
open(my $log, '>', $out) or die "$out: $!\n";
$| = 1;

my ($gap, $last, $tail, $head, $offset, $at) = (0, undef, '', '', 0, 0);

sub now { open(my $u, '<', '/proc/uptime') or die "/proc/uptime: $!\n"; (split ' ', <$u>)[0] }
sub state { open(my $f, '<', "/proc/$pid/stat") or return 'X'; (<$f> =~ /.*\) (\S)/)[0] }
sub nap { select(undef, undef, undef, 0.002) }
sub size { (-s $watch) || 0 }

# take BYTES: one read of output, logged, its attempts timed, its last mark noted.
sub take {
  my ($b) = @_;
  syswrite($log, $b);
  $offset += length $b;
  my $t = now();
  if (($tail . $b) =~ / Try #/) {
    $gap = $t - $last if defined $last && $t - $last > $gap;
    $last = $t;
  }
  $tail = substr($tail . $b, -5);
  $at = $1 * 1000 if ($head . $b) =~ /.*\b(\d{8,})K > /s;
  $head = substr($head . $b, -24);
}

# the tool stands still: what it wrote before it stopped
sub drain_pipe {
  my $flags = fcntl(STDIN, F_GETFL, 0);
  fcntl(STDIN, F_SETFL, $flags | O_NONBLOCK);
  while (sysread(STDIN, my $b, 65536)) { take($b) }
  fcntl(STDIN, F_SETFL, $flags);
}

while (sysread(STDIN, my $buf, 4096)) {
  take($buf);
  next unless @marks && ($progress ? $at : size()) >= $marks[0];
  shift @marks;
  my $t = now();
  kill 'STOP', $pid;
  nap() until state() =~ /[TZX]/;
  drain_pipe() if $drain;
  print 'stopped ', size(), " $offset $at\n";
  nap() while state() eq 'T';
  $last += now() - $t if defined $last;
}
printf "end %.0f\n", $gap * 1e6;
