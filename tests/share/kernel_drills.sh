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
# page read by a gate (gate.pl) that stops the tool (SIGSTOP) once its marks have passed the
# drill's mark (what it has written: an upload's server may hold it seconds later), so the
# lab acts while the tool stands still, then the tool goes on (SIGCONT) while the server
# stays away.
# The events:
#   srvkill       the server killed (lab kill), started again after AWAY s (lab start)
#   drop          its packets dropped (lab drop), a network that vanishes without a reset,
#                 let through again after AWAY s; for NFS this is also the hang
#   hang          smbd stopped (SIGSTOP) for AWAY s (cifs only)
#   longhang      smbd stopped for 90 s under a hard cifs mount, whose calls wait for it:
#                 past a minute the log must say which file the tool waits for
#   rerun         the tool killed (SIGKILL) at the mark and started again
#   replace       (downloads) the server killed, the source renamed over in the export by
#                 another random file of its size, the server started again after AWAY s:
#                 the copy must come out as the new file
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
# shellcheck source=drill_lib.sh
source "$(dirname "$0")/drill_lib.sh"

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
  here=$(dirname "$0")
  exec "$lab" run "${out[@]}" -f "$1" -f "$here/drill_lib.sh" -f "$here/gate.pl" -f "${lab%/*}/common.sh" \
    "$0" "$(basename "$1")" "clients=${KERNEL_DRILL_CLIENTS:-cifs nfs4 nfs3}" "modes=${KERNEL_DRILL_MODES:-hard soft}" \
    "mib=${KERNEL_DRILL_MIB:-64}" "mark=${KERNEL_DRILL_MARK:-}" "only=${KERNEL_DRILL_ONLY:-.}" \
    "budget=$budget"
fi

# --- in the guest ---------------------------------------------------------------------

zobret=$LAB_IN/$1
shift
clients='cifs nfs4 nfs3' modes='hard soft' mib=64 mark_mib='' only=. budget=900
for setting; do
  case ${setting%%=*} in
    clients|modes|mib|only|budget) printf -v "${setting%%=*}" '%s' "${setting#*=}" ;;
    mark) mark_mib=${setting#*=} ;;
  esac
done

# The drills: direction and event, each at the mark (half the file unless mark= says, or
# the event's own @MiB: a kill inside the first writeback stretch, whose lost write leaves
# zeros at the file's very start).
drills=("download srvkill" "upload srvkill" "download drop" "upload drop"
        "download hang" "download rerun" "upload drop+rerun" "upload drop+rerun@4"
        "upload srvkill+rerun" "download replace" "download longhang")
declare -A server_of=([cifs]=smb [nfs4]=nfs [nfs3]=nfs)
# Seconds the server stays away, per mount (and event): see AWAY above.
declare -A away_s=([cifs-hard]=5 [cifs-soft]=15 [cifs-soft-srvkill]=25 [cifs-soft-replace]=25
                   [cifs-hard-longhang]=90 [nfs4-hard]=5 [nfs4-soft]=12 [nfs4-soft-drop]=30 [nfs3-hard]=5 [nfs3-soft]=8)
# The outages a soft NFS mount shows the tool as failed calls, which the output must then
# show. (A soft cifs mount showed a killed smbd to uploads, not always to downloads, whose
# reads wait out the reconnect: its errors are counted, not asked for.)
declare -A seen=([nfs4-soft-srvkill]=1 [nfs4-soft-drop]=1 [nfs4-soft-replace]=1
                 [nfs3-soft-srvkill]=1 [nfs3-soft-drop]=1 [nfs3-soft-replace]=1)
declare -A take=([srvkill]=kill [drop]=drop [hang]=hang [longhang]=hang [replace]=kill)
declare -A bring=([srvkill]=start [drop]=undrop [hang]=resume [longhang]=resume [replace]=start)
readonly drill_limit=300                                      # seconds for one drill

work=/srv/lab/drills log_dir=$LAB_OUT/logs
source_file=$work/source.bin fifo=$work/out.pipe
gate_opts=(--progress --drain) sync_upload=1 keep_wrong=1 row_widths=(9 22)
set_budget "$budget"
skip_row() {                                                  # NFS: the drop is the hang
  [[ $2 == hang && $kind != cifs ]] || [[ $2 == longhang && $kind-$mode != cifs-hard ]]
}

# state PID: the process's state letter (X when gone).
state() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" || { echo X; return; }
  line=${line##*) }
  echo "${line%% *}"
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

# shape FILE [SOURCE]: FILE's length and, page by page against SOURCE (the drills' source),
# its stretches (the first 8 and the last 4): "same" (the source's bytes), "zero" (zeros
# where the source has others), "other"; and how many bytes from the start match the source.
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
    splice(@runs, 8, @runs - 12, "... " . (@runs - 12) . " more ...") if @runs > 13;
    $prefix = $off unless defined $prefix;
    print "$off bytes, $prefix match; ", join(" ", @runs) || "empty", "\n";' "$1" "${2:-$source_file}"
}
describe() { shape "$2" "$1"; }

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

lab_do() { lab "$1" "$server" || fail "lab $1 $server failed"; }

at_stop() {                                    # the tool stands still at its mark
  events+=" $event at $(mib_of "$3") MiB (destination held $(mib_of "$1"))"
  floors+=("$log $2 $1")
  (($3 < total)) || fail "the copy was complete before the $event"
  case $event in
    rerun) reap KILL 2>/dev/null ;;
    *+rerun) outage_kill "$event" "$away" "$kind" "$mode" ;;
    replace) outage kill start "$away" replace_source "$served" "$name" ;;
    *) outage "${take[$event]}" "${bring[$event]}" "$away" ;;
  esac
}

# outage_kill EVENT AWAY KIND MODE: an outage with the tool killed at its end, then the
# share mounted anew; what the destination looks like is told on the way.
outage_kill() {
  local ev=${1%+rerun} kind=$3 mode=$4 pid=$tool_pid err
  # The shell notes a killed job on its standard error whenever it sees it end: not here.
  exec {err}>&2 2>/dev/null
  lab_do "${take[$ev]}" 2>&"$err"
  kill -CONT "$tool_pid"
  sleep "$2"
  kill -KILL "$tool_pid"
  # A hard mount may hold the tool in an uninterruptible wait until the server is back.
  local ended='while the server was away'
  gone_within 10 || ended='only once the server was back'
  lab_do "${bring[$ev]}" 2>&"$err"
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

# drill KIND MODE DIRECTION EVENT: one row of the table on one mount.
drill() {
  local kind=$1 mode=$2 dir=$3 event=${4%@*} mark=$((mark_mib << 20))
  [[ $4 != *@* ]] || mark=$((${4#*@} << 20))
  local m=$kind-$mode name=$dir-${4/@/-at-} server=${server_of[$kind]} share served src dst watch log
  local away=${away_s[$m-${event%+rerun}]:-${away_s[$m]}} expected=$source_file
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
  [[ $event != replace ]] || { new_source "$served" "$name" && expected=$served/$name.bin; }

  local limit=$(($(now) + drill_limit * 1000000)) t0 t1 late=0 hits=0 attempts=0 gap=0
  local down_us=0 down_lines=0 down_bytes=0 down_cpu=0 problem='' events='' again='' floor_text
  ((limit > deadline + 120 * 1000000)) && limit=$((deadline + 120 * 1000000))
  [[ $event == *rerun ]] && again=again
  t0=$(now)
  run_tool "$limit" "$again" "$src" "$dst" "$watch" "$mark"
  t1=$(now)
  ((${#logs[@]} == 1)) || floors+=("${logs[1]} 0 $rerun_held")

  # the verdict
  local first_k errors away_text=''
  the_end "$expected" "$watch"
  ((hits == 1)) || fail "the $event did not happen before the copy ended"
  first_k=$(sed -n 's/.* Destination file: .* (\([0-9]*\) of .*/\1/p' "${logs[0]}.out" | head -n 1)
  [[ $first_k == 0 ]] || fail "the fresh copy's first Destination line shows ${first_k:-nothing}, not 0"
  floors_hold
  errors=$(cat "${logs[@]/%/.err}" | grep -c ' ERROR: ')
  [[ -z ${seen[$m-$event]:-} ]] || ((errors > 0)) ||
    fail "no error shows the $event, which fails the calls of a soft mount within ${away} s"
  [[ $event != longhang ]] || grep -qF "] Waiting for the file $src: no answer for 60 s." "$log.err" ||
    fail "no line says after a minute that the tool waits for $src"
  ((down_us > 0)) && away_text="; $down_lines lines in $(secs "$down_us") s while away"
  report "$m" "$name" 3 "$(printf '%8d %8s %7d %8s %7s' "$attempts" "$(secs "$gap")" "$errors" \
    "$(secs $((t1 - t0)))" "$(secs "${cp_time[$m-$dir]}")")" \
    "events:${events:- none}$away_text; floors (bytes held <= lowest K after):$floor_text" "${told[@]}"
  # long logs (an attempt a millisecond while away) cut to their ends for the host
  local f
  for f in "${logs[@]/%/.out}" "${logs[@]/%/.err}"; do
    (($(stat -c %s "$f") > 1 << 20)) || continue
    { head -c 300000 "$f"; printf '\n[... cut ...]\n'; tail -c 300000 "$f"; } >"$f.cut" && mv "$f.cut" "$f"
  done
  rm -f "$served/$name.bin" "$served/$name-new.bin" "$LAB_LOCAL/$name.bin"
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

for kind in $clients; do
  for mode in $modes; do
    m=$kind-$mode
    heal >/dev/null
    if ! share=$(lab mount "$kind" "$mode"); then
      echo "[$m] FAIL: no mount"
      failures=$((failures + 1))
      continue
    fi
    echo "[$m] $(grep " $share " /proc/self/mounts | cut -d' ' -f3,4 | cut -c1-200)"
    yardstick "$m" "$share" "$(lab export "$kind")" "$LAB_LOCAL" cp
    each_row "$m" "$only" "$kind" "$mode"
    lab umount "$kind"
  done
done

table "mount     drill                  result attempts   gap(s)  errors total(s)   cp(s)"
