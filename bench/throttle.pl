# throttle.pl RATE - copies standard input to standard output at no more than RATE bytes
# per second, in 4 KiB pieces; idle time earns no credit, so the stream never bursts.
# Used by run.sh to make a slow file server out of sftp-server and sshfs.
use strict;
use warnings;
use Time::HiRes qw(time sleep);

my $rate = shift or die "usage: throttle.pl BYTES_PER_SECOND\n";
my $next = time;
my $buf;
while (1) {
  my $n = sysread(STDIN, $buf, 4096);
  last if !$n;
  my $off = 0;
  while ($off < $n) {
    my $w = syswrite(STDOUT, $buf, $n - $off, $off);
    die "throttle.pl: write: $!\n" unless defined $w;
    $off += $w;
  }
  my $now = time;
  $next = $now if $next < $now;
  $next += $n / $rate;
  sleep($next - $now) if $next > $now;
}
