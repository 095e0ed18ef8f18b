#!/usr/bin/env bash
# kernel_drills.sh - zobret through the kernel's own cifs and NFS clients whose server goes
# away mid-copy, in the qemu guest of tools/vm-lab.
#
#   tests/share/kernel_drills.sh ZOBRET [OUTDIR]
#
# On the host it boots the guest with ZOBRET (and itself) inside; the guest's kernel serves
# and mounts the shares over its loopback. For each client (cifs: SMB 3.1.1; nfs4: NFS 4.2;
# nfs3: NFS 3), hard and soft mounted, each drill of the table below copies one random file
# (64 MiB unless KERNEL_DRILL_MIB says otherwise) from the share to the guest's disk
# (download) or back (upload) and must end with " Complete.", exit status 0, a
# byte-identical destination, and no " Destination file: PATH (K of N bytes)." line whose K
# is less than the destination held before (see floors below).
#
# No copy outruns its events, as in drills.sh: the tool writes its marks into a pipe of one
# page read by a gate that stops the tool (SIGSTOP) once its marks have passed the drill's
# mark (what it has written: an upload's server may hold it seconds later), so the lab acts
# while the tool stands still, then the tool goes on (SIGCONT) while the server stays away.
# The events:
#   srvkill       the server killed (lab kill), started again after AWAY s (lab start)
#   drop          its packets dropped (lab drop), a network that vanishes without a reset,
#                 let through again after AWAY s; for NFS this is also the hang
#   hang          smbd stopped (SIGSTOP) for AWAY s (cifs only)
#   rerun         the tool killed (SIGKILL) at the mark and started again
#   drop+rerun    the tool killed after AWAY s of a drop, before the server is back;
#   srvkill+rerun then the server is back, the share is mounted anew (a new client, as
#                 after a reboot), the destination as the server holds it and as the new
#                 mount shows it is described (its length, which pages match the source,
#                 which are zeros), and the tool started again
# AWAY: 5 s on hard mounts, which hold the tool's calls until the server is back and so
# never show it an outage, however long. On soft mounts, per client and event, about twice
# what it takes a call to fail, so that the tool sees the outage (on NFS its output must
# show an error then): cifs 25 s for a killed smbd (a call waits 10 s for the reconnect, then
# "Host is down"; a read behind a failed read-ahead waits twice); NFS 4.2 12 s for a
# stopped nfsd (a call fails after about 3.5 s) and 30 s for dropped packets (about 21 s:
# it waits on its connection); NFS 3 8 s for either (about 3.2 s with timeo=10,retrans=2).
# A dropped or hung server stays away 15 s from a soft cifs mount, which fails nothing
# before three echo intervals (3 min): the tool rides through it.
#
# Floors: when the gate has stopped the tool it reads what the pipe still holds and then
# measures the destination (for an upload, as the server holds it: the server's file only
# ever grows); every " Destination file" line the tool prints after that must show at least
# that many bytes. Before a rerun the same holds for what the destination held then. A
# fresh copy shows 0; an existing file with bytes never may.
#
# The table at the end shows per drill the attempts, the longest time between two attempts
# (without the time the tool stood still), the error lines, the time of the drill and that
# of a plain cp of the same file through the same mount.
#
# Exit status: 0 all passed, 1 a drill failed, 77 skipped (no qemu or no guest image: build
# it as root with tools/vm-lab image). Environment (host): KERNEL_DRILL_CLIENTS ("cifs nfs4
# nfs3"), KERNEL_DRILL_MODES ("hard soft"), KERNEL_DRILL_MIB (64), KERNEL_DRILL_MARK (MiB
# into the copy where each event happens, half the file), KERNEL_DRILL_ONLY (a
# pattern for the drills to run, matched against e.g. "cifs-soft-upload-drop+rerun"),
# KERNEL_DRILL_BUDGET (seconds of drills in the guest before the rest is failed as out of
# time, 900); ZOBRET_VM_TIMEOUT (the whole guest run) defaults to the budget and 300 s more.
set -uo pipefail

now() { echo "${EPOCHREALTIME/./}"; }                      # microseconds
secs() { printf '%d.%02d' $(($1 / 1000000)) $(($1 % 1000000 / 10000)); }

# --- on the host: start the guest with the binary and this script ---------------------

if [[ -z ${LAB_IN:-} ]]; then
  if [[ $# -lt 1 || ! -x $1 ]]; then
    echo "usage: $0 ZOBRET [OUTDIR]" >&2
    exit 2
  fi
  lab=$(cd "$(dirname "$0")/../../tools" && pwd)/vm-lab
  # An image is built only on purpose (as root, minutes, from a mirror): not by a test.
  if ! command -v qemu-system-x86_64 >/dev/null || ! "$lab" path >/dev/null; then
    echo "SKIP: no qemu or no guest image (as root: tools/vm-lab image)"
    exit 77
  fi
  budget=${KERNEL_DRILL_BUDGET:-900}
  out=()
  [[ -n ${2:-} ]] && out=(-o "$2")
  export ZOBRET_VM_TIMEOUT=${ZOBRET_VM_TIMEOUT:-$((budget + 300))}
  exec "$lab" run "${out[@]}" -f "$1" "$0" "$(basename "$1")" \
    "clients=${KERNEL_DRILL_CLIENTS:-cifs nfs4 nfs3}" "modes=${KERNEL_DRILL_MODES:-hard soft}" \
    "mib=${KERNEL_DRILL_MIB:-64}" "mark=${KERNEL_DRILL_MARK:-}" "only=${KERNEL_DRILL_ONLY:-.}" \
    "budget=$budget"
fi

# --- in the guest ---------------------------------------------------------------------

zobret=$LAB_IN/$1
shift
clients='cifs nfs4 nfs3' modes='hard soft' mib=64 mark_mib='' only=. budget=900
for setting; do
  case $setting in
    clients=*) clients=${setting#*=} ;;
    modes=*) modes=${setting#*=} ;;
    mib=*) mib=${setting#*=} ;;
    mark=*) mark_mib=${setting#*=} ;;
    only=*) only=${setting#*=} ;;
    budget=*) budget=${setting#*=} ;;
  esac
done

# The drills: direction and event, each at the mark (half the file unless mark= says, or
# the event's own @MiB: a kill inside the first writeback stretch, whose lost write leaves
# zeros at the file's very start).
drills=("download srvkill" "upload srvkill" "download drop" "upload drop"
        "download hang" "download rerun" "upload drop+rerun" "upload drop+rerun@4"
        "upload srvkill+rerun")
declare -A server_of=([cifs]=smb [nfs4]=nfs [nfs3]=nfs)
# Seconds the server stays away, per mount (and event): see AWAY above.
declare -A away_s=([cifs-hard]=5 [cifs-soft]=15 [cifs-soft-srvkill]=25 [nfs4-hard]=5
                   [nfs4-soft]=12 [nfs4-soft-drop]=30 [nfs3-hard]=5 [nfs3-soft]=8)
# The outages a soft NFS mount shows the tool as failed calls, which the output must then
# show. (A soft cifs mount showed a killed smbd to uploads, not always to downloads, whose
# reads wait out the reconnect: its errors are counted, not asked for.)
declare -A seen=([nfs4-soft-srvkill]=1 [nfs4-soft-drop]=1 [nfs3-soft-srvkill]=1
                 [nfs3-soft-drop]=1)
declare -A take=([srvkill]=kill [drop]=drop [hang]=hang)      # the lab's command per event
declare -A bring=([srvkill]=start [drop]=undrop [hang]=resume)
readonly drill_limit=300                                      # seconds for one drill

work=/srv/lab/drills log_dir=$LAB_OUT/logs
source_file=$work/source.bin
fifo=$work/out.pipe
tool_pid='' rc=0
started=$(now)
deadline=$((started + budget * 1000000))

mib_of() { printf '%d.%d' $(($1 >> 20)) $(((($1 & 0xfffff) * 10) >> 20)); }
lines_of() { echo $(($(wc -l <"$1.out") + $(wc -l <"$1.err"))); }
fail() { [[ -n $problem ]] || problem=$*; }                # the first problem is the verdict

# state PID: the process's state letter (X when gone).
state() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" || { echo X; return; }
  line=${line##*) }
  echo "${line%% *}"
}

# reap [SIG]: end the tool (with SIG when given); its exit status in rc.
reap() {
  [[ -n $tool_pid ]] || return 0
  { [[ -z ${1:-} ]] || kill "-$1" "$tool_pid"; wait "$tool_pid"; } 2>/dev/null
  rc=$? tool_pid=''
}

# gone_within SECONDS: whether the tool has ended (a zombie) within SECONDS.
gone_within() {
  local end=$((SECONDS + $1))
  until [[ $(state "$tool_pid") == [ZX] ]]; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

# heal: every server up and let through, whatever a failed drill left.
heal() {
  lab undrop all
  lab resume smb 2>/dev/null
  lab start smb && lab start nfs
}

cleanup() {
  reap KILL
  heal >/dev/null 2>&1
}
trap cleanup EXIT

# gate PID WATCH OUT MARK...: copies standard input (the tool's output) to OUT; stops the
# tool as soon as its marks have reached the next MARK (the number that heads each line of
# marks, in thousands of bytes: what the tool has written, which an upload's server may hold
# only seconds later), then reads what the pipe still holds, reports "stopped SIZE OFFSET
# AT" (WATCH's size, the bytes of OUT so far, the mark reached) and waits until the tool
# goes on; at the end reports "end GAP", the longest time between two " Try #" lines with
# the stopped time left out.
gate() {
  perl -Mstrict -MFcntl -e '
    my ($pid, $watch, $out, @marks) = @ARGV;
    open(my $log, ">", $out) or die "$out: $!\n";
    $| = 1;
    my ($gap, $last, $tail, $head, $buf, $offset, $at) = (0, undef, "", "", "", 0, 0);
    sub now { open(my $u, "<", "/proc/uptime"); (split " ", <$u>)[0] }
    sub state { open(my $f, "<", "/proc/$pid/stat") or return "X"; (<$f> =~ /.*\) (\S)/)[0] }
    sub nap { select(undef, undef, undef, 0.002) }
    sub take {                             # one read of output: logged, its attempts timed
      my ($b) = @_;
      syswrite($log, $b);
      $offset += length $b;
      my $t = now();
      if (($tail . $b) =~ / Try #/) { $gap = $t - $last if defined $last && $t - $last > $gap; $last = $t }
      $tail = substr($tail . $b, -5);
      $at = $1 * 1000 if ($head . $b) =~ /.*\b(\d{8,})K > /s;
      $head = substr($head . $b, -24);
    }
    sub drain {                            # the tool stands still: what it wrote before
      my $flags = fcntl(STDIN, F_GETFL, 0);
      fcntl(STDIN, F_SETFL, $flags | O_NONBLOCK);
      while (sysread(STDIN, my $b, 65536)) { take($b) }
      fcntl(STDIN, F_SETFL, $flags);
    }
    while (sysread(STDIN, $buf, 4096)) {
      take($buf);
      next unless @marks && $at >= $marks[0];
      shift @marks;
      my $t = now();
      kill "STOP", $pid;
      nap() until state() =~ /[TZX]/;
      drain();
      print "stopped ", -s $watch || 0, " $offset $at\n";
      nap() while state() eq "T";
      $last += now() - $t if defined $last;
    }
    printf "end %.0f\n", $gap * 1e6;' "$@"
}

# start_tool SRC DST WATCH LOG [MARK...]: zobret in the background, its errors in LOG.err, its
# output through a pipe of one page to a gate that writes LOG.out and reports on gate_fd.
start_tool() {
  perl -Mstrict -MFcntl=F_SETPIPE_SZ -e 'fcntl(STDOUT, F_SETPIPE_SZ, 4096) == 4096 or
    die "F_SETPIPE_SZ: $!\n"; exec {$ARGV[0]} @ARGV' "$zobret" "$1" "$2" >"$fifo" 2>"$4.err" </dev/null &
  tool_pid=$!
  exec {gate_fd}< <(gate "$tool_pid" "$3" "$4.out" "${@:5}" <"$fifo")
}

# shape FILE: FILE's length and, page by page against the source, its stretches: "same"
# (the source's bytes), "zero" (zeros where the source has others), "other"; and how many
# bytes from the start match the source.
shape() {
  # shellcheck disable=SC2016 # perl's variables
  timeout -k 2 60 perl -e '
    my ($file, $src) = @ARGV;
    open(my $f, "<", $file) or do { print "unreadable: $!\n"; exit };
    open(my $s, "<", $src) or die "$src: $!\n";
    my ($off, $kind, $start, $prefix, @runs) = (0, "", 0, undef);
    while ((my $n = sysread($f, my $a, 1 << 20)) > 0) {
      my $b = "";
      seek($s, $off, 0);
      read($s, $b, $n);
      for (my $p = 0; $p < $n; $p += 4096) {
        my ($x, $y) = (substr($a, $p, 4096), substr($b, $p, 4096));
        my $k = $x eq $y ? "same" : $x =~ /^\0*$/ ? "zero" : "other";
        if (!defined $prefix && $k ne "same") {
          my $i = 0;
          $i++ while $i < length $x && substr($x, $i, 1) eq substr($y, $i, 1);
          $prefix = $off + $p + $i;
        }
        next if $k eq $kind;
        push @runs, "$kind [$start, " . ($off + $p) . ")" if $kind ne "";
        ($kind, $start) = ($k, $off + $p);
      }
      $off += $n;
    }
    push @runs, "$kind [$start, $off)" if $kind ne "";
    $prefix = $off unless defined $prefix;
    print "$off bytes, $prefix match; ", join(" ", @runs) || "empty", "\n";' "$1" "$source_file"
}

# floors_hold: every floor "LOG OFFSET SIZE" (lines of LOG.out after byte OFFSET must show
# K >= SIZE) checked; the verdict on a failure, the lowest K after each floor in floor_text.
floors_hold() {
  local f log offset size k low
  floor_text=''
  for f in "${floors[@]}"; do
    read -r log offset size <<<"$f"
    low=''
    while read -r k; do
      [[ -z $low || $k -lt $low ]] && low=$k
    done < <(tail -c "+$((offset + 1))" "$log.out" | sed -n 's/.* Destination file: .* (\([0-9]*\) of .*/\1/p')
    floor_text+=" ${size}<=${low:--}"
    [[ -z $low || $low -ge $size ]] ||
      fail "a Destination line after the tool had $size bytes shows $low (${log##*/}.out after byte $offset)"
  done
}

failures=0
declare -a summary=()

# outage EVENT SERVER AWAY: the lab takes SERVER away, the tool goes on, AWAY s later the
# server is back.
outage() {
  lab "${take[$1]}" "$2" || fail "lab ${take[$1]} $2 failed"
  kill -CONT "$tool_pid"
  td=$(now) ld=$(lines_of "$log")
  sleep "$3"
  lab "${bring[$1]}" "$2" || fail "lab ${bring[$1]} $2 failed"
  down_us=$((down_us + $(now) - td)) down_lines=$((down_lines + $(lines_of "$log") - ld))
}

# outage_kill EVENT SERVER AWAY KIND MODE: the same outage with the tool killed at its end,
# then the share mounted anew; what the destination looks like is told on the way.
outage_kill() {
  local ev=${1%+rerun} server=$2 kind=$4 mode=$5 pid=$tool_pid err
  # The shell notes a killed job on its standard error whenever it sees it end: not here.
  exec {err}>&2 2>/dev/null
  lab "${take[$ev]}" "$server" 2>&"$err" || fail "lab ${take[$ev]} $server failed"
  kill -CONT "$tool_pid"
  sleep "$3"
  kill -KILL "$tool_pid"
  # A hard mount may hold the tool in an uninterruptible wait until the server is back.
  local ended='while the server was away'
  gone_within 10 || ended='only once the server was back'
  lab "${bring[$ev]}" "$server" 2>&"$err" || fail "lab ${bring[$ev]} $server failed"
  gone_within 120 || fail "the killed tool (pid $pid) did not end"
  reap
  exec 2>&"$err" {err}>&-
  lab ready "$kind" 60 || fail "$kind did not answer after the outage"
  told+=("tool killed, ended $ended")
  told+=("server's file once back:     $(shape "$watch")")
  lab umount "$kind" || fail "could not unmount $kind"
  told+=("server's file, client gone:  $(shape "$watch")")
  lab mount "$kind" "$mode" >/dev/null || fail "could not mount $kind again"
  told+=("new client's view:           $(shape "$dst")")
}

# drill KIND MODE DIRECTION EVENT QUARTER: one row of the table on one mount.
drill() {
  local kind=$1 mode=$2 dir=$3 event=${4%@*} mark=$((mark_mib << 20))
  [[ $4 != *@* ]] || mark=$((${4#*@} << 20))
  local m=$kind-$mode name=$dir-${4/@/-at-} server=${server_of[$kind]} share served src dst watch log
  local away=${away_s[$m-${event%+rerun}]:-${away_s[$m]}}
  local -a floors=() told=() logs=()
  share=$(lab path "$kind") served=$(lab export "$kind")
  log=$log_dir/$m-$name
  rm -f "$served/$name.bin" "$LAB_LOCAL/$name.bin"
  if [[ $dir == download ]]; then
    # a copy, not a link: a new inode, of which the client has cached nothing
    cp "$source_file" "$served/$name.bin"
    src=$share/$name.bin dst=$LAB_LOCAL/$name.bin watch=$dst
  else
    src=$source_file dst=$share/$name.bin watch=$served/$name.bin
  fi

  local limit=$(($(now) + drill_limit * 1000000)) t0 t1 what arg offset at late=0 hits=0 attempts=0
  local gap=0 down_us=0 down_lines=0 td ld problem='' events='' left reran=0 floor_text
  ((limit > deadline + 120 * 1000000)) && limit=$((deadline + 120 * 1000000))
  t0=$(now)
  logs=("$log")
  start_tool "$src" "$dst" "$watch" "$log" "$mark"
  while :; do
    left=$((limit - $(now)))
    if ! read -r -t "$(secs $((left > 10000 ? left : 10000)))" -u "$gate_fd" what arg offset at; then
      ((late)) && break                                # the gate went without its report
      reap KILL
      late=1 limit=$(($(now) + 10 * 1000000))
      continue
    fi
    if [[ $what == stopped ]]; then                    # the tool stands still at its mark
      hits=$((hits + 1)) events+=" $event at $(mib_of "$at") MiB (destination held $(mib_of "$arg"))"
      floors+=("$log $offset $arg")
      ((at < total)) || fail "the copy was complete before the $event"
      case $event in
        rerun) reap KILL 2>/dev/null ;;
        *+rerun) outage_kill "$event" "$server" "$away" "$kind" "$mode" ;;
        *) outage "$event" "$server" "$away" ;;
      esac
      continue
    fi
    reap                                               # "end": the gate has read it all
    exec {gate_fd}<&-
    attempts=$((attempts + $(grep -c ' Try #' "$log.out")))
    ((arg > gap)) && gap=$arg
    [[ $event == *rerun && $reran == 0 && $hits == 1 && $late == 0 ]] || break
    ((rc == 137)) || fail "the first run ended by itself ($rc) before the kill"
    reran=1 log=$log-again
    logs+=("$log")
    floors+=("$log 0 $(stat -c %s "$watch" 2>/dev/null || echo 0)")
    start_tool "$src" "$dst" "$watch" "$log"
  done
  reap KILL
  t1=$(now)

  # the verdict
  local last first_k
  last=$(tail -n 1 "$log.out")
  ((late)) && fail "no completion within the time limit"
  ((rc == 0)) || fail "exit status $rc"
  [[ $last == *" Complete." ]] || fail "the last line is not the completion line: $last"
  if ! cmp -s "$source_file" "$watch"; then
    fail "the destination differs from the source: $(shape "$watch")"
    cp "$watch" "$log.dest"
  fi
  ((hits == 1)) || fail "the $event did not happen before the copy ended"
  first_k=$(sed -n 's/.* Destination file: .* (\([0-9]*\) of .*/\1/p' "${logs[0]}.out" | head -n 1)
  [[ $first_k == 0 ]] || fail "the fresh copy's first Destination line shows ${first_k:-nothing}, not 0"
  floors_hold

  local errors verdict=PASS away_text=''
  errors=$(cat "${logs[@]/%/.err}" | grep -c ' ERROR: ')
  [[ -z ${seen[$m-$event]:-} ]] || ((errors > 0)) ||
    fail "no error shows the $event, which fails the calls of a soft mount within ${away} s"
  ((down_us > 0)) && away_text="; $down_lines lines in $(secs "$down_us") s while away"
  [[ -z $problem ]] || verdict=FAIL failures=$((failures + 1))
  printf '[%s] %-22s %s:%s\n      events:%s%s; floors (bytes held <= lowest K after):%s\n' \
    "$m" "$name" "$verdict" "${problem:+ $problem}" "${events:- none}" "$away_text" "$floor_text"
  local line
  for line in "${told[@]}"; do echo "      $line"; done
  # what the tool said when things went wrong, most frequent first
  cat "${logs[@]/%/.err}" | sed 's/^\[[^]]*\]//' | sort | uniq -c | sort -rn | head -n 3 |
    sed 's/^/      /'
  summary+=("$(printf '%-9s %-22s %-5s %8d %8s %7d %8s %7s' "$m" "$name" "$verdict" "$attempts" \
    "$(secs "$gap")" "$errors" "$(secs $((t1 - t0)))" "$(secs "${cp_time[$m-$dir]}")")")
  # long logs (an attempt a millisecond while away) cut to their ends for the host
  local f
  for f in "${logs[@]/%/.out}" "${logs[@]/%/.err}"; do
    (($(stat -c %s "$f") > 1 << 20)) || continue
    { head -c 300000 "$f"; printf '\n[... cut ...]\n'; tail -c 300000 "$f"; } >"$f.cut" && mv "$f.cut" "$f"
  done
  rm -f "$served/$name.bin" "$LAB_LOCAL/$name.bin"
  if ! lab ready "$kind" 60 2>/dev/null; then     # a mount that stays lost is mounted anew
    echo "[$m] the mount does not answer after $name; mounting it again"
    heal >/dev/null
    lab umount "$kind" && lab mount "$kind" "$mode" >/dev/null
  fi
}

# --- the run --------------------------------------------------------------------------

mkdir -p "$work" "$log_dir" && mkfifo "$fifo" || exit 1
total=$((mib * 1024 * 1024))
mark_mib=${mark_mib:-$((mib / 2))}
echo "zobret kernel drills: $zobret, a $mib MiB file, events at $mark_mib MiB; clients: $clients; mounts: $modes"
echo "guest: $(uname -r), $(nproc) CPUs, up $(cut -d' ' -f1 /proc/uptime) s"
head -c "$total" /dev/urandom >"$source_file" || exit 1

declare -A cp_time=()
for kind in $clients; do
  for mode in $modes; do
    m=$kind-$mode
    heal >/dev/null
    if ! share=$(lab mount "$kind" "$mode"); then
      echo "[$m] FAIL: no mount"
      failures=$((failures + 1))
      continue
    fi
    served=$(lab export "$kind")
    echo "[$m] $(grep " $share " /proc/self/mounts | cut -d' ' -f3,4 | cut -c1-200)"
    # plain cp in both directions, no outage: the yardstick
    cp "$source_file" "$served/cp.bin"
    t=$(now); cp "$share/cp.bin" "$LAB_LOCAL/cp.bin"; cp_time[$m-download]=$(($(now) - t))
    t=$(now); cp "$source_file" "$share/cp-up.bin" && sync -f "$share/cp-up.bin"
    cp_time[$m-upload]=$(($(now) - t))
    cmp -s "$source_file" "$LAB_LOCAL/cp.bin" && cmp -s "$source_file" "$served/cp-up.bin" ||
      echo "[$m] warning: plain cp did not copy identically"
    rm -f "$served/cp.bin" "$served/cp-up.bin" "$LAB_LOCAL/cp.bin"
    for row in "${drills[@]}"; do
      read -r -a f <<<"$row"
      [[ ${f[1]} == hang && $kind != cifs ]] && continue        # NFS: the drop is the hang
      [[ $m-${f[0]}-${f[1]} =~ $only ]] || continue
      if (($(now) >= deadline)); then
        echo "[$m] FAIL: out of time (${budget} s) before: ${f[0]} ${f[1]}"
        failures=$((failures + 1))
        break
      fi
      drill "$kind" "$mode" "${f[@]}"
    done
    lab umount "$kind"
  done
done

echo
echo "mount     drill                  result attempts   gap(s)  errors total(s)   cp(s)"
printf '%s\n' "${summary[@]}"
echo "whole run $(secs $(($(now) - started))) s; $failures failed"
((failures == 0))
