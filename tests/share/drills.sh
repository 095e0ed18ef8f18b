#!/usr/bin/env bash
# drills.sh - zobret through real network shares whose server goes away mid-copy.
#
#   tests/share/drills.sh ZOBRET [WORKDIR]
#
# On a Samba share (smbnetfs) and an sshfs mount that tools/share-lab brings up on 127.0.0.1,
# each drill of the table below copies one random file (256 MiB unless SHARE_DRILL_MIB says
# otherwise) and must end with " Complete.", exit status 0, a byte-identical destination and
# every event mid-copy. No copy outruns its events: the tool writes its marks as it copies,
# into a pipe of one page read by a gate that stops the tool (SIGSTOP) once the destination
# has passed the next mark, and the tool blocks while a page of marks (a few MiB of copy) is
# unread, however late the gate runs. The lab drops or hangs the server while the tool stands
# still; the tool then goes on while the server stays away. The table at the end shows the
# attempts, the longest time between two attempts (without the time the tool stood still),
# the lines per second while the share was away and the time against a plain cp.
#
# Exit status: 0 all passed, 1 a drill failed, 77 skipped (not root, no FUSE, no packages).
# Environment: SHARE_DRILL_MIB (file size, 32 or more), SHARE_DRILL_MOUNTS ("smb ssh"),
# SHARE_DRILL_DOWN (seconds a dropped server stays down, 4: twice the time smbnetfs waits for
# a server before a read fails, so that the drop is seen), SHARE_DRILL_HANG (seconds a hung
# server stays stopped, 8), SHARE_DRILL_BUDGET (seconds for the whole run, 280),
# SHARE_DRILL_ONLY (a pattern for the drills to run, e.g. "ssh-download"), SHARE_DRILL_KEEP
# (keep a destination that came out wrong, as LOG.dest in WORKDIR/logs). The lab's own
# settings (SHARE_LAB_*, such as SHARE_LAB_DELAY_MS) reach it unchanged.
set -uo pipefail

# The drills: direction, event (drop: the server killed and restored, hang: stopped and
# continued, kill: the tool killed and started again), what the output must show (read: a
# read error, any: some error, -: nothing asked), the quarters of the file where it happens.
drills=("download drop read 1 2 3" "upload drop any 1 2 3" "download hang - 1" "download kill - 2")
declare -A undo=([drop]=restore [hang]=resume)   # the lab's command that ends an event

skip() { echo "SKIP: $*"; exit 77; }

if [[ $# -lt 1 || ! -x $1 ]]; then
  echo "usage: $0 ZOBRET [WORKDIR]" >&2
  exit 2
fi
zobret=$(realpath "$1")
lab=$(cd "$(dirname "$0")/../../tools" && pwd)/share-lab
work=${2:-${TMPDIR:-/tmp}/zobret-share-drills}
mib=${SHARE_DRILL_MIB:-256}
mounts=${SHARE_DRILL_MOUNTS:-smb ssh}
declare -A away=([drop]=${SHARE_DRILL_DOWN:-4} [hang]=${SHARE_DRILL_HANG:-8})
budget=${SHARE_DRILL_BUDGET:-280}

((EUID == 0)) || skip "the share drills need root (they run smbd and sshd and mount FUSE file systems)"
[[ -c /dev/fuse ]] || skip "no /dev/fuse, so no FUSE mounts here"
for prog in smbd smbnetfs sshfs /usr/sbin/sshd ssh ssh-keygen fusermount mountpoint setsid timeout perl; do
  command -v "$prog" >/dev/null ||
    skip "$prog is missing (apt-get install samba smbnetfs sshfs openssh-server openssh-client fuse3)"
done

now() { echo "${EPOCHREALTIME/./}"; }                      # microseconds
secs() { printf '%d.%02d' $(($1 / 1000000)) $(($1 % 1000000 / 10000)); }
lines_of() { echo $(($(wc -l <"$1.out") + $(wc -l <"$1.err"))); }
fail() { [[ -n $problem ]] || problem=$*; }                # the first problem is the verdict

started=$(now)
deadline=$((started + budget * 1000000))
tool_pid=''

# reap [SIG]: end the tool (with SIG when given); its exit status in rc.
reap() {
  [[ -n $tool_pid ]] || return 0
  { [[ -z ${1:-} ]] || kill "-$1" "$tool_pid"; wait "$tool_pid"; } 2>/dev/null
  rc=$? tool_pid=''
}

labs_down() { local m; for m in smb ssh; do [[ ! -r $work/$m/lab.conf ]] || "$lab" down "$work/$m"; done; }

cleanup() {
  reap KILL
  wait 2>/dev/null
  labs_down
  rm -f "$work"/*.bin "$work"/*/export/*.bin "$work"/local/*.bin
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# gate PID WATCH OUT MARK...: copies standard input (the tool's output) to OUT; stops the
# tool as soon as WATCH has grown to the next MARK, reports "stopped SIZE" once it stands
# still and waits until it goes on; at the end reports "end GAP", the longest time between
# two " Try #" lines with the stopped time left out.
gate() {
  perl -Mstrict -e '
    my ($pid, $watch, $out, @marks) = @ARGV;
    open(my $log, ">", $out) or die "$out: $!\n";
    $| = 1;
    sub now { open(my $u, "<", "/proc/uptime"); (split " ", <$u>)[0] }
    sub state { open(my $f, "<", "/proc/$pid/stat") or return "X"; (<$f> =~ /.*\) (\S)/)[0] }
    sub nap { select(undef, undef, undef, 0.002) }
    my ($gap, $last, $tail, $buf) = (0, undef, "");
    while (sysread(STDIN, $buf, 4096)) {
      syswrite($log, $buf);
      my $t = now();
      if (($tail . $buf) =~ / Try #/) { $gap = $t - $last if defined $last && $t - $last > $gap; $last = $t }
      $tail = substr($buf, -5);
      next unless @marks && (-s $watch || 0) >= $marks[0];
      shift @marks;
      kill "STOP", $pid;
      nap() until state() =~ /[TZX]/;
      print "stopped ", -s $watch || 0, "\n";
      nap() while state() eq "T";
      $last += now() - $t if defined $last;
    }
    printf "end %.0f\n", $gap * 1e6;' "$@"
}

# start_tool SRC DST WATCH LOG [MARK...]: zobret in the background, its errors in LOG.err, its
# output through a pipe of one page (set before the tool runs) to a gate that writes LOG.out
# and reports on gate_fd.
start_tool() {
  perl -Mstrict -MFcntl=F_SETPIPE_SZ -e 'fcntl(STDOUT, F_SETPIPE_SZ, 4096) == 4096 or
    die "F_SETPIPE_SZ: $!\n"; exec {$ARGV[0]} @ARGV' "$zobret" "$1" "$2" >"$work/out.pipe" 2>"$4.err" </dev/null &
  tool_pid=$!
  exec {gate_fd}< <(gate "$tool_pid" "$3" "$4.out" "${@:5}" <"$work/out.pipe")
}

# differences SOURCE COPY LOG...: the stretches where COPY differs from SOURCE, whether the
# copy holds zeros there, and how far each ends before the next point an attempt resumed at.
differences() {
  local resumes
  resumes=$(sed -n 's/.*Destination file: .* (\([0-9]*\) of .*/\1/p' "${@:3}" | sort -n | tr '\n' ' ')
  cmp -l "$1" "$2" 2>&1 | awk -v resumes="$resumes" '
    function flush() {
      if (!n) return
      s = s sprintf("%s%d bytes differ in [%d, %d)%s", s == "" ? "" : "; ", n, first - 1, last,
                    nonzero ? "" : ", zeros in the copy")
      for (r = 1; r <= nr; r++) if (k[r] + 0 >= last) {
        s = s sprintf(", %d bytes before a resume at %d", k[r] - last, k[r]); break }
      stretches++; n = nonzero = 0
    }
    BEGIN { nr = split(resumes, k, " ") }
    n && $1 > last + 4096 { flush() }
    { if (!n) first = $1; last = $1; n++; if ($3 != 0) nonzero++ }
    END { flush(); print stretches + 0 " stretch(es): " s }'
}

failures=0
declare -a summary=()

# drill MOUNT DIRECTION EVENT SHOWS QUARTER...: one row of the table on one mount.
drill() {
  local m=$1 dir=$2 event=$3 shows=$4 q
  shift 4
  local d=$work/$m name=$dir-$event share served src dst watch log
  local -a marks=() logs=()
  for q; do marks+=($((q * total / 4))); done
  share=$("$lab" path "$d") served=$("$lab" export "$d")
  log=$work/logs/$m-$name
  if [[ $dir == download ]]; then
    ln -f "$work/source.bin" "$served/$name.bin"     # a new name: nothing of it is cached yet
    src=$share/$name.bin dst=$work/local/$name.bin watch=$dst
  else
    src=$work/source.bin dst=$share/$name.bin watch=$served/$name.bin
  fi
  rm -f "$dst" "$watch"

  local limit=$(($(now) + 100 * 1000000)) t0 t1 what arg rc=0 late=0 hits=0 attempts=0 gap=0
  local down_us=0 down_lines=0 td ld problem='' events='' left
  ((limit > deadline)) && limit=$deadline
  t0=$(now)
  logs=("$log")
  start_tool "$src" "$dst" "$watch" "$log" "${marks[@]}"
  while :; do
    left=$((limit - $(now)))
    if ! read -r -t "$(secs $((left > 10000 ? left : 10000)))" -u "$gate_fd" what arg; then
      ((late)) && break                                # the gate went without its report
      reap KILL
      late=1 limit=$(($(now) + 10 * 1000000))
      continue
    fi
    if [[ $what == stopped ]]; then                    # the tool stands still at a mark
      hits=$((hits + 1)) events+=" $event@$((arg >> 20)).$(((arg & 0xfffff) * 10 >> 20))MiB"
      ((arg < total)) || fail "the copy was complete before the $event"
      if [[ $event == kill ]]; then
        reap KILL
        continue
      fi
      "$lab" "$event" "$d" || fail "the lab could not $event the server"
      kill -CONT "$tool_pid"
      td=$(now) ld=$(lines_of "$log")
      sleep "${away[$event]}"
      "$lab" "${undo[$event]}" "$d" || fail "the lab could not ${undo[$event]} the server"
      down_us=$((down_us + $(now) - td)) down_lines=$((down_lines + $(lines_of "$log") - ld))
      continue
    fi
    reap                                               # "end": the gate has read it all
    exec {gate_fd}<&-
    attempts=$((attempts + $(grep -c ' Try #' "$log.out")))
    ((arg > gap)) && gap=$arg
    [[ $event == kill && ${#logs[@]} == 1 && $hits == 1 && $late == 0 ]] || break
    ((rc == 137)) || fail "the first run ended by itself ($rc) before the kill"
    log=$log-rerun
    logs+=("$log")
    start_tool "$src" "$dst" "$watch" "$log"
  done
  reap KILL
  t1=$(now)

  # the verdict
  local last
  last=$(tail -n 1 "$log.out")
  ((late)) && fail "no completion within the time limit"
  ((rc == 0)) || fail "exit status $rc"
  [[ $last == *" Complete." ]] || fail "the last line is not the completion line: $last"
  if ! cmp -s "$work/source.bin" "$watch"; then
    fail "the destination ($(stat -c %s "$watch" 2>/dev/null) of $total bytes) differs from the source:" \
         "$(differences "$work/source.bin" "$watch" "${logs[@]/%/.out}")"
    [[ -n ${SHARE_DRILL_KEEP:-} ]] && cp "$watch" "$log.dest"
  fi
  ((hits == ${#marks[@]})) || fail "only $hits of ${#marks[@]} ${event}s happened before the copy ended"
  [[ $event != drop ]] || ((attempts > hits)) || fail "$hits drops but only $attempts attempts"
  [[ $shows != read ]] || grep -qF " ERROR: An erorr occured while reading the file $src." "$log.err" ||
    fail "the output shows no read error"
  [[ $shows != any ]] || grep -q ' ERROR: ' "$log.err" || fail "the output shows no error"

  local rate='-' verdict=PASS away_text=''
  ((down_us > 0)) && rate=$((down_lines * 1000000 / down_us)) &&
    away_text="; $down_lines lines in $(secs "$down_us") s while away"
  [[ -z $problem ]] || verdict=FAIL failures=$((failures + 1))
  printf '[%s] %-14s %s:%s\n      events:%s%s\n' "$m" "$name" "$verdict" "${problem:+ $problem}" \
    "${events:- none}" "$away_text"
  # what the tool said when things went wrong, most frequent first
  cat "${logs[@]/%/.err}" | sed 's/^\[[^]]*\]//' | sort | uniq -c | sort -rn | head -n 4 |
    sed 's/^/      /'
  summary+=("$(printf '%-4s %-16s %-5s %8d %9s %9s %9s %9s' "$m" "$name" "$verdict" "$attempts" \
    "$(secs "$gap")" "$rate" "$(secs $((t1 - t0)))" "$(secs "${cp_time[$m-$dir]}")")")
  rm -f "$served/$name.bin" "$work/local/$name.bin"
}

# --- the run --------------------------------------------------------------------------

labs_down                                   # the labs of an earlier run that was killed
rm -rf "$work/logs" "$work/local" "$work/out.pipe"
mkdir -p "$work/logs" "$work/local" && mkfifo "$work/out.pipe" || exit 1
total=$((mib * 1024 * 1024))
echo "zobret share drills: $zobret, a $mib MiB file, work in $work"
head -c "$total" /dev/urandom >"$work/source.bin" || exit 1

declare -A cp_time=()
for m in $mounts; do
  if ! share=$("$lab" up "$m" "$work/$m"); then
    echo "[$m] FAIL: the share lab did not come up; its logs:"
    tail -n 20 "$work/$m"/log/* 2>/dev/null
    failures=$((failures + 1))
    continue
  fi
  served=$("$lab" export "$work/$m")
  echo "[$m] share at $share"
  # plain cp in both directions, no drops: the yardstick
  ln -f "$work/source.bin" "$served/cp.bin"
  t=$(now); cp "$share/cp.bin" "$work/local/cp.bin"; cp_time[$m-download]=$(($(now) - t))
  t=$(now); cp "$work/source.bin" "$share/cp-up.bin"; cp_time[$m-upload]=$(($(now) - t))
  cmp -s "$work/source.bin" "$work/local/cp.bin" && cmp -s "$work/source.bin" "$served/cp-up.bin" ||
    echo "[$m] warning: plain cp did not copy identically"
  rm -f "$served/cp.bin" "$served/cp-up.bin" "$work/local/cp.bin"
  for row in "${drills[@]}"; do
    read -r -a f <<<"$row"
    [[ $m-${f[0]}-${f[1]} =~ ${SHARE_DRILL_ONLY:-.} ]] || continue
    if (($(now) >= deadline)); then
      echo "[$m] FAIL: out of time (${budget} s) before: ${f[0]} ${f[1]}"
      failures=$((failures + 1))
      break
    fi
    drill "$m" "${f[@]}"
  done
  "$lab" down "$work/$m"
done

echo
echo "mount drill            result attempts  gap(s)  lines/s  total(s)    cp(s)"
printf '%s\n' "${summary[@]}"
echo "whole run $(secs $(($(now) - started))) s; $failures failed"
((failures == 0))
