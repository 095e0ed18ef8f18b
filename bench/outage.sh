#!/usr/bin/env bash
# bench/outage.sh - what an outage costs a run left alone, and how soon it copies again once
# the outage ends.
#
#   sudo bench/outage.sh ZOBRET [SECONDS [PARTS]]     # PARTS: "budget return" (both)
#
# Budget rows: zobret runs SECONDS (default 180) against each outage, with its output in a
# file as an unattended run has it (ended with SIGTERM: a background job ignores SIGINT); its log bytes and processor time are measured and
# extrapolated to an hour from the run's steady state (past the pauses' growth), against the
# budget (200 KB and 10 s an hour). Each outage also runs 6 s with ZOBRET_RETRY_PAUSE=0 (never a pause: the retries of versions before the
# paced ones), extrapolated the same way. The outages:
#   missing      the source does not exist (a share not mounted yet)
#   disk full    the destination lies on a full tmpfs
#   share gone   the source lies on the share lab's sshfs mount whose server is killed:
#                every call fails at once
# Return rows: a 64 MiB download through the share lab's sshfs, near and at a 50 ms round
# trip; once 8 MiB are there the server is killed for 60 s (long enough for the pause to
# reach its cap), and the time from its return to the destination's next new byte is
# measured. Needs root (tmpfs, the share lab) and the lab's packages (tools/share-lab).
set -uo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
me=outage

[[ $# -ge 1 && -x $1 ]] || die "usage: $0 ZOBRET [SECONDS [PARTS]]"
zobret=$(realpath "$1") seconds=${2:-180} parts=${3:-budget return}
lab=$(cd "$(dirname "$0")/../tools" && pwd)/share-lab
((EUID == 0)) || die "needs root (a tmpfs, the share lab)"
bench_work outage
rows=()

# The processor time process $1 has had so far, in nanoseconds.
cpu_ns() { local ns _; read -r ns _ <"/proc/$1/schedstat" && echo "$ns"; }

# cost NAME SECONDS PAUSE SRC DST: a run of SECONDS with ZOBRET_RETRY_PAUSE=PAUSE (- for
# unset); a row of its log bytes and processor time, and the same per hour at the rate of
# its steady state: from a third of the run (at most a minute in) to its end, past the
# pauses' growth.
cost() {
  local name=$1 secs=$2 pause=$3 out=$work/run.log pid steady b0 c0 b1 c1
  local -a env=(env -u ZOBRET_RETRY_PAUSE)
  [[ $pause == - ]] || env=(env "ZOBRET_RETRY_PAUSE=$pause")
  "${env[@]}" "$zobret" "$4" "$5" >"$out" 2>&1 &
  pid=$!
  steady=$((secs / 3 < 60 ? secs / 3 : 60))
  sleep "$steady"
  b0=$(stat -c %s "$out") c0=$(cpu_ns "$pid")
  sleep $((secs - steady))
  b1=$(stat -c %s "$out") c1=$(cpu_ns "$pid")
  kill -TERM "$pid" && wait "$pid"
  rows+=("$(awk -v n="$name" -v p="$pause" -v s="$secs" -v b="$b1" -v c="$c1" \
    -v rb="$((b1 - b0))" -v rc="$((c1 - c0))" -v rs="$((secs - steady))" 'BEGIN {
    h = 3600 / rs
    printf "%-11s %-6s %5d s %12d B %7.2f s %12.0f KB %9.2f s  %s", n, p, s, b, c / 1e9,
      rb * h / 1000, rc * h / 1e9, (p == "-" ? (rb * h <= 200000 && rc * h <= 10e9 ? "within" : "OVER") : "")
  }')")
  rm -f "$out"
}

# each_outage NAME SRC DST: the paced run and the never-pausing one.
each_outage() {
  say "[$1] ${seconds} s paced, 6 s never pausing"
  cost "$1" "$seconds" - "$2" "$3"
  cost "$1" 6 0 "$2" "$3"
}

# return_time DELAY_MS: the share lab's sshfs at that one-way delay; the seconds from the
# server's return to the next new byte of a download it was serving.
return_time() {
  local d=$work/lab-$1 share served dst pid held t0 t1
  share=$(SHARE_LAB_DELAY_MS=$1 "$lab" up ssh "$d") || die "the share lab did not come up"
  served=$("$lab" export "$d") dst=$work/local.bin
  head -c $((64 << 20)) /dev/urandom >"$served/r.bin"
  rm -f "$dst"
  "$zobret" "$share/r.bin" "$dst" >/dev/null 2>&1 &
  pid=$!
  while (($(stat -c %s "$dst" 2>/dev/null || echo 0) < 8 << 20)); do sleep 0.01; done
  # The tool stands still while the server goes, so that the outage comes mid-copy.
  kill -STOP "$pid" && "$lab" drop "$d" && kill -CONT "$pid" && sleep 60
  held=$(stat -c %s "$dst")
  ((held < 64 << 20)) || die "the copy was complete before the server came back"
  "$lab" restore "$d" >/dev/null || die "the lab could not restore the server"
  t0=$(now)
  while (($(stat -c %s "$dst") <= held)); do
    (($(now) - t0 < 120000000)) || die "no new byte within 120 s of the server's return"
    sleep 0.01
  done
  t1=$(now)
  wait "$pid"
  cmp -s "$served/r.bin" "$dst" || die "the copy at $1 ms differs from its source"
  rows+=("$(printf 'return      %3d ms round trip: the next new byte %s s after the server is back' \
    $(($1 * 2)) "$(secs $((t1 - t0)))")")
  "$lab" down "$d"
}

if [[ $parts == *budget* ]]; then
  head -c $((1 << 20)) /dev/urandom >"$work/source.bin"
  each_outage missing "$work/missing.bin" "$work/dest.bin"

  mkdir "$work/full"
  mount -t tmpfs -o size=64k tmpfs "$work/full" || die "could not mount a tmpfs"
  head -c 65536 /dev/zero >"$work/full/filler" 2>/dev/null
  each_outage "disk full" "$work/source.bin" "$work/full/dest.bin"
  umount "$work/full"

  share=$("$lab" up ssh "$work/lab") || die "the share lab did not come up"
  cp "$work/source.bin" "$("$lab" export "$work/lab")/gone.bin"
  "$lab" drop "$work/lab"
  each_outage "share gone" "$share/gone.bin" "$work/dest.bin"
  "$lab" down "$work/lab"
fi
if [[ $parts == *return* ]]; then
  for delay in 0 25; do say "[return] $((delay * 2)) ms"; return_time "$delay"; done
fi

printf '%-11s %-6s %7s %14s %9s %15s %11s\n' outage pause ran log CPU "log/hour" "CPU/hour"
printf '%s\n' "${rows[@]}"
