#!/usr/bin/env bash
# drills.sh - zobret through real network shares whose server goes away mid-copy.
#
#   tests/share/drills.sh ZOBRET [WORKDIR]
#
# For a Samba share (smbnetfs) and an sshfs mount brought up by tools/share-lab on
# 127.0.0.1, with one random file (256 MiB unless SHARE_DRILL_MIB says otherwise):
#   1. download while the server is killed and restored three times, each time the
#      destination has passed a new quarter of the size;
#   2. upload (destination on the share) under the same three drops;
#   3. download while the server hangs (SIGSTOP) for a while, then goes on (SIGCONT);
#   4. download, the tool killed with SIGKILL halfway and started again with the same paths.
# Each must end with " Complete.", exit status 0 and a byte-identical destination. Each
# prints the attempts, the longest time between two attempts, the lines written per second
# while the share was down and the total time against a plain cp over the same mount.
# Exit status: 0 all passed, 1 a drill failed, 77 skipped (not root, no FUSE, no packages).
# Environment: SHARE_DRILL_MIB (file size), SHARE_DRILL_MOUNTS ("smb ssh"), SHARE_DRILL_DOWN
# (seconds a dropped server stays down, 2), SHARE_DRILL_HANG (seconds a hung server stays
# stopped, 8), SHARE_DRILL_BUDGET (seconds for the whole run, 280), SHARE_DRILL_ONLY (a
# pattern for the drills to run, e.g. "ssh-download"), SHARE_DRILL_KEEP (keep a destination
# that came out wrong, as LOG.dest in WORKDIR/logs).
set -uo pipefail

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
down_s=${SHARE_DRILL_DOWN:-2}
hang_s=${SHARE_DRILL_HANG:-8}
budget=${SHARE_DRILL_BUDGET:-280}

((EUID == 0)) || skip "the share drills need root (they run smbd and sshd and mount FUSE file systems)"
[[ -c /dev/fuse ]] || skip "no /dev/fuse, so no FUSE mounts here"
for prog in smbd smbnetfs sshfs /usr/sbin/sshd ssh ssh-keygen fusermount mountpoint setsid timeout; do
  command -v "$prog" >/dev/null ||
    skip "$prog is missing (apt-get install samba smbnetfs sshfs openssh-server openssh-client fuse3)"
done

now() { echo "${EPOCHREALTIME/./}"; }                      # microseconds
secs() { printf '%d.%02d' $(($1 / 1000000)) $(($1 % 1000000 / 10000)); }
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
lines_of() { echo $(($(wc -l <"$1.out") + $(wc -l <"$1.err"))); }

started=$(now)
deadline=$((started + budget * 1000000))
tool_pid='' watch_pid=''

cleanup() {
  [[ -n $tool_pid ]] && kill -KILL "$tool_pid" 2>/dev/null
  [[ -n $watch_pid ]] && kill "$watch_pid" 2>/dev/null
  wait 2>/dev/null
  local m
  for m in smb ssh; do
    [[ -r $work/$m/lab.conf ]] && "$lab" down "$work/$m"
  done
  rm -f "$work"/*.bin "$work"/*/export/*.bin "$work"/local/*.bin
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# watch_tries LOG TIMES: note the time whenever the latest " Try #N" on LOG.out changes.
watch_tries() {
  local last='' n
  while :; do
    n=$(tail -c 65536 "$1.out" 2>/dev/null | grep -ao ' Try #[0-9]*' | tail -n 1)
    n=${n##*#}
    if [[ -n $n && $n != "$last" ]]; then
      echo "$(now) $n" >>"$2"
      last=$n
    fi
    sleep 0.05
  done
}

# longest_gap TIMES: the longest time between two noted attempts (to about 0.05 s).
longest_gap() {
  awk 'NR > 1 && $1 - t > g { g = $1 - t } { t = $1 } END { print g / 1e6 }' "$1"
}

# start_tool SRC DST LOG: run zobret in the background with its streams in LOG.out/LOG.err.
start_tool() {
  : >"$3.times"
  "$zobret" "$1" "$2" >"$3.out" 2>"$3.err" </dev/null &
  tool_pid=$!
  watch_tries "$3" "$3.times" &
  watch_pid=$!
}

# finish_tool LIMIT_US: wait for the tool until the time given; sets tool_rc (124: killed).
finish_tool() {
  while kill -0 "$tool_pid" 2>/dev/null && (($(now) < $1)); do sleep 0.05; done
  if kill -0 "$tool_pid" 2>/dev/null; then
    kill -KILL "$tool_pid" 2>/dev/null
    { wait "$tool_pid"; } 2>/dev/null
    tool_rc=124
  else
    { wait "$tool_pid"; } 2>/dev/null      # no job report when the kill drill killed it
    tool_rc=$?
  fi
  sleep 0.1                                  # let the watcher see the last attempt
  kill "$watch_pid" 2>/dev/null
  wait "$watch_pid" 2>/dev/null
  tool_pid='' watch_pid=''
}

# describe_difference SOURCE COPY LOG...: the stretches where COPY differs from SOURCE,
# whether the copy holds zeros there, and how each lies to the nearest point at which an
# attempt in the LOGs resumed.
describe_difference() {
  local source=$1 copy=$2
  shift 2
  local resumes
  resumes=$(grep -ho 'Destination file: .* ([0-9]* of' "$@" | grep -o '([0-9]*' | tr -d '(' |
            sort -n | tr '\n' ' ')
  cmp -l "$source" "$copy" 2>&1 | awk -v resumes="$resumes" '
    function flush() {
      if (!n) return
      text = sprintf("%d bytes differ in [%d, %d)%s", n, first - 1, last,
                     nonzero ? "" : ", zeros in the copy")
      for (r = 1; r <= nr; r++) if (k[r] + 0 >= last) {
        text = text sprintf(", %d bytes before a resume at %d", k[r] - last, k[r]); break }
      out = out (out == "" ? "" : "; ") text
      stretches++
      n = nonzero = 0
    }
    BEGIN { nr = split(resumes, k, " ") }
    n && $1 > last + 4096 { flush() }
    { if (!n) first = $1; last = $1; n++; if ($3 != 0) nonzero++ }
    END { flush(); print stretches " stretch(es): " out }'
}

failures=0
declare -a summary=()

# drill MOUNT DIRECTION EVENT: one drill; DIRECTION download|upload, EVENT drop|hang|kill.
drill() {
  local m=$1 dir=$2 event=$3
  local d=$work/$m share served name src dst truth watch log
  share=$("$lab" path "$d") served=$("$lab" export "$d")
  name=$dir-$event
  log=$work/logs/$m-$name
  if [[ $dir == download ]]; then
    ln -f "$work/source.bin" "$served/$name.bin"     # a new name: nothing of it is cached yet
    src=$share/$name.bin dst=$work/local/$name.bin watch=$dst
  else
    src=$work/source.bin dst=$share/$name.bin watch=$served/$name.bin
  fi
  rm -f "$dst" "$watch"
  truth=$work/source.bin

  local limit=$(($(now) + 100 * 1000000))
  ((limit > deadline)) && limit=$deadline
  local t0 t1 q=1 runs=1 down_us=0 down_lines=0 td ld problem='' events=''
  local -a logs=("$log")
  t0=$(now)
  start_tool "$src" "$dst" "$log"
  # the loop watches the destination without forking more than stat, so that a drop
  # falls into the quarter it is meant for even at a few hundred MB/s
  while kill -0 "$tool_pid" 2>/dev/null && ((${EPOCHREALTIME/./} < limit)); do
    local size
    size=$(size_of "$watch")
    case $event in
      drop)
        if ((q <= 3 && size >= q * total / 4 && size < total)); then
          td=$(now) ld=$(lines_of "$log")
          "$lab" drop "$d" || problem="the lab could not drop the server"
          events+=" drop@$((size >> 20))MiB"
          sleep "$down_s"
          "$lab" restore "$d" || problem="the lab could not restore the server"
          down_us=$((down_us + $(now) - td)) down_lines=$((down_lines + $(lines_of "$log") - ld))
          q=$((q + 1))
        fi ;;
      hang)
        if ((q == 1 && size >= total / 4 && size < total)); then
          td=$(now) ld=$(lines_of "$log")
          "$lab" hang "$d" || problem="the lab could not stop the server"
          events+=" hang@$((size >> 20))MiB"
          sleep "$hang_s"
          "$lab" resume "$d" || problem="the lab could not continue the server"
          down_us=$(($(now) - td)) down_lines=$(($(lines_of "$log") - ld))
          q=2
        fi ;;
      kill)
        if ((runs == 1 && size >= total / 2 && size < total)); then
          kill -KILL "$tool_pid"
          events+=" kill@$((size >> 20))MiB"
          finish_tool "$limit"
          [[ $tool_rc == 137 ]] || problem="the first run ended by itself ($tool_rc) before the kill"
          runs=2 log=$log-rerun
          logs+=("$log")
          start_tool "$src" "$dst" "$log"
        fi ;;
    esac
    read -r -t 0.02 -u "$nap_fd"            # a pause without starting a process
  done
  finish_tool "$limit"
  t1=$(now)

  # the verdict
  local attempts=0 gap=0 g l last
  for l in "${logs[@]}"; do
    attempts=$((attempts + $(grep -c ' Try #' "$l.out")))
    g=$(longest_gap "$l.times")
    gap=$(awk -v a="$gap" -v b="$g" 'BEGIN { print (b > a) ? b : a }')
  done
  last=$(tail -n 1 "$log.out")
  if [[ -n $problem ]]; then
    :                                        # the lab's own trouble comes first
  elif ((tool_rc == 124)); then
    problem="no completion within the time limit"
  elif ((tool_rc != 0)); then
    problem="exit status $tool_rc"
  elif [[ $last != *" Complete." ]]; then
    problem="the last line is not the completion line: $last"
  elif ! cmp -s "$truth" "$watch"; then
    problem="the destination ($(size_of "$watch") of $total bytes) differs from the source:"
    problem+=" $(describe_difference "$truth" "$watch" "${logs[@]/%/.out}")"
    [[ -n ${SHARE_DRILL_KEEP:-} ]] && cp "$watch" "$log.dest"
  elif [[ $event == drop ]] && ((q <= 3)); then
    problem="only $((q - 1)) drops happened before the copy ended"
  elif [[ $event == hang ]] && ((q == 1)); then
    problem="the copy ended before the server could be hung"
  elif [[ $event == kill ]] && ((runs == 1)); then
    problem="the copy ended before the tool could be killed"
  elif [[ $event == drop ]] && ((attempts < 4)); then
    problem="three drops but only $attempts attempts"
  elif [[ $event == drop && $dir == download ]] &&
       ! grep -q " ERROR: An erorr occured while reading the file $src\.$" "$log.err"; then
    problem="the output shows no read error"
  elif [[ $event == drop ]] && ! grep -q ' ERROR: ' "$log.err"; then
    problem="the output shows no error"
  fi

  local rate='-' cp_us
  ((down_us > 0)) && rate=$((down_lines * 1000000 / down_us))
  cp_us=${cp_time[$m-$dir]}
  local verdict=PASS
  if [[ -n $problem ]]; then
    verdict=FAIL failures=$((failures + 1))
  fi
  printf '[%s] %-14s %s:%s\n' "$m" "$name" "$verdict" "${problem:+ $problem}"
  printf '      events:%s; attempts %d; longest gap between attempts %.2f s\n' \
    "${events:- none}" "$attempts" "$gap"
  if ((down_us > 0)); then
    printf '      %d lines in %s s while down: %s lines/s\n' "$down_lines" "$(secs "$down_us")" "$rate"
  fi
  printf '      total %s s; plain cp over the same mount without drops %s s\n' \
    "$(secs $((t1 - t0)))" "$(secs "$cp_us")"
  # what the tool said when things went wrong, most frequent first
  cat "${logs[@]/%/.err}" | sed 's/^\[[^]]*\]//' | sort | uniq -c | sort -rn | head -n 4 |
    sed 's/^/      /'
  summary+=("$(printf '%-4s %-16s %-5s %8d %9.2f %9s %9s %9s' "$m" "$name" "$verdict" \
    "$attempts" "$gap" "$rate" "$(secs $((t1 - t0)))" "$(secs "$cp_us")")")
  rm -f "$served/$name.bin" "$work/local/$name.bin"
}

# --- the run --------------------------------------------------------------------------

for m in smb ssh; do                        # an earlier run that was killed: end its lab
  [[ -r $work/$m/lab.conf ]] && "$lab" down "$work/$m"
done
rm -rf "$work/logs" "$work/local" "$work/nap"
mkdir -p "$work/logs" "$work/local" && mkfifo "$work/nap" || exit 1
exec {nap_fd}<>"$work/nap"                  # never written: reading it with -t just waits
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
  for pick in "download drop" "upload drop" "download hang" "download kill"; do
    [[ $m-${pick/ /-} =~ ${SHARE_DRILL_ONLY:-.} ]] || continue
    if (($(now) >= deadline)); then
      echo "[$m] FAIL: out of time (${budget} s) before: $pick"
      failures=$((failures + 1))
      break
    fi
    drill "$m" "${pick% *}" "${pick#* }"
  done
  "$lab" down "$work/$m"
done

echo
echo "mount drill            result attempts  gap(s)  lines/s  total(s)    cp(s)"
printf '%s\n' "${summary[@]}"
echo "whole run $(secs $(($(now) - started))) s; $failures failed"
((failures == 0))
