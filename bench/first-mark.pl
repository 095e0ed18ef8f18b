#!/usr/bin/perl
# bench/first-mark.pl - the time from launch to the first new byte of a resumed copy, for
# bench/resume.sh:
#
#   perl bench/first-mark.pl LOG LIMIT PROGRAM [ARG...]
#
# Starts PROGRAM with its standard output through a pipe and its standard error into the
# file LOG, and reads the pipe as it comes. A resume prints "Skipping K bytes.", then a
# progress line whose header ("0000xxxxK > ") is followed by a comma for each 1000 bytes
# already there and a dot for each new 1000 bytes. The first dot on such a line is the
# first new byte; a log line ("[date] ...", the destination being compared, say) ends the
# wait until the next "Skipping". At that dot it prints the seconds since the launch,
# ends PROGRAM (TERM, KILL after 20 s), copies all it printed into LOG and exits 0. Exits 1
# when PROGRAM ends first or LIMIT seconds pass without a new byte.
use strict;
use warnings;
use Time::HiRes qw(time);
use POSIX qw(WNOHANG);

die "usage: first-mark.pl LOG LIMIT PROGRAM [ARG...]\n" unless @ARGV >= 3;
my ($log, $limit, @command) = @ARGV;
open my $out, '>', $log or die "first-mark: cannot write $log: $!\n";
$out->autoflush(1);
pipe my $from, my $to or die "first-mark: pipe: $!\n";

my $t0 = time;
my $pid = fork // die "first-mark: fork: $!\n";
if ($pid == 0) {
  close $from;
  open STDOUT, '>&', $to or die "first-mark: stdout: $!\n";
  open STDERR, '>&', $out or die "first-mark: stderr: $!\n";
  exec @command or die "first-mark: cannot run $command[0]: $!\n";
}
close $to;

my ($line, $armed, $seen) = ('', 0, undef);
my $bits = '';
vec($bits, fileno($from), 1) = 1;
while (!defined $seen) {
  my $left = $t0 + $limit - time;
  last if $left <= 0;
  next unless select(my $ready = $bits, undef, undef, $left) > 0;
  my $n = sysread $from, my $chunk, 65536;
  last unless $n;                                # the program ended
  my $at = time;                                 # the time of this read for all it holds
  print $out $chunk;
  for my $c (split //, $chunk) {
    if ($c eq "\n") {
      $armed = 1 if $line =~ /^Skipping /;
      $line = '';
      next;
    }
    $line .= $c;
    $armed = 0 if $line eq '[';                 # a log line: no resume progress until the next
    if ($armed && $c eq '.' && $line =~ /K > /) { $seen = $at - $t0; last }
  }
}

kill 'TERM', $pid;
my $end = time + 20;
while (waitpid($pid, WNOHANG) == 0) {
  if (time > $end) { kill 'KILL', $pid; waitpid $pid, 0; last }
  # what it still prints, so that it never waits on a full pipe
  if (select(my $ready = $bits, undef, undef, 0.05)) {
    my $n = sysread $from, my $chunk, 65536;
    print $out $chunk if $n;
  }
}
my $status = $?;
while (sysread $from, my $chunk, 65536) { print $out $chunk }
if (!defined $seen) {
  printf STDERR "first-mark: no new byte within %s s (exit status %d, signal %d)\n", $limit,
    $status >> 8, $status & 127;
  exit 1;
}
printf "%.4f\n", $seen;
