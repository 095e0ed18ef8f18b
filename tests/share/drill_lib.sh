# shellcheck shell=bash
# drill_lib.sh - what drills.sh and kernel_drills.sh share: the tool behind the gate (gate.pl,
# beside this file), the run of one drill from the tool's start to its end, its verdict and
# line in the table, the rows and the table; the clock is tools/common.sh's. Sourced by both
# drill sets (the kernel drills take it, gate.pl and common.sh into the guest, to $LAB_IN).
#
# The drill set sets zobret, fifo (a named pipe), total (the file's size), drills (the rows:
# "DIRECTION EVENT ..."), gate_opts (gate.pl's options), set_budget SECONDS, and defines
#   at_stop SIZE OFFSET AT   what happens when the gate has stopped the tool (see gate.pl)
#   lab_do VERB              the lab's VERB on the drill's server (outage)
#   describe EXPECTED        how the destination differs from EXPECTED (the_end)
#   drill FIELD...           one row (each_row); skip_row FIELD... passes over rows.
# A drill function declares the locals the run works on: log (LOG: the tool's output in
# LOG.out, its errors in LOG.err), logs (every run's LOG), problem (the first problem: the
# verdict), late, hits, attempts, gap, down_us, down_lines, down_bytes, down_cpu.

# shellcheck source=../../tools/common.sh
source "${LAB_IN:-$(dirname "${BASH_SOURCE[0]}")/../../tools}/common.sh" || exit 1
zobret='' fifo='' total=0 source_file='' sync_upload='' keep_wrong='' row_widths=(4 16)
tool_pid='' rc=0 gate_fd='' budget=0 deadline=0 failures=0 rerun_held=0
gate=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/gate.pl
declare -a gate_opts=() drills=() summary=()
declare -A cp_time=()

mib_of() { printf '%d.%d' $(($1 >> 20)) $(((($1 & 0xfffff) * 10) >> 20)); }
lines_of() { echo $(($(wc -l <"$1.out") + $(wc -l <"$1.err"))); }
bytes_of() { echo $(($(stat -c %s "$1.out") + $(stat -c %s "$1.err"))); }
# The processor time process $1 has taken so far, in microseconds.
cpu_of() {
  local ns _
  read -r ns _ 2>/dev/null <"/proc/$1/schedstat" || ns=0
  echo $((ns / 1000))
}
fail() { [[ -n $problem ]] || problem=$*; }                # the first problem is the verdict
skip_row() { return 1; }

started=$(now)
set_budget() { budget=$1 deadline=$((started + $1 * 1000000)); }

# reap [SIG]: end the tool (with SIG when given); its exit status in rc.
reap() {
  [[ -n $tool_pid ]] || return 0
  { [[ -z ${1:-} ]] || kill "-$1" "$tool_pid"; wait "$tool_pid"; } 2>/dev/null
  rc=$? tool_pid=''
}

# start_tool SRC DST WATCH LOG [MARK...]: zobret in the background, its errors in LOG.err, its
# output through a pipe of one page (gate.pl --tool sets it before the tool runs) to the
# gate, which writes LOG.out and reports on gate_fd.
start_tool() {
  perl "$gate" --tool "$zobret" "$1" "$2" >"$fifo" 2>"$4.err" </dev/null &
  tool_pid=$!
  exec {gate_fd}< <(perl "$gate" "${gate_opts[@]}" "$tool_pid" "$3" "$4.out" "${@:5}" <"$fifo")
}

# run_tool LIMIT RERUN SRC DST WATCH MARK...: the tool from SRC to DST until it has ended
# (killed when it runs past LIMIT, in microseconds of now), at_stop at every mark. With a
# RERUN suffix, a first run killed at its mark is started once more as LOG-RERUN; the size
# of WATCH then is in rerun_held.
run_tool() {
  local limit=$1 again=$2 src=$3 dst=$4 watch=$5 what arg offset at left
  shift 5
  logs=("$log")
  start_tool "$src" "$dst" "$watch" "$log" "$@"
  while :; do
    left=$((limit - $(now)))
    if ! read -r -t "$(secs $((left > 10000 ? left : 10000)))" -u "$gate_fd" what arg offset at; then
      ((late)) && break                                # the gate went without its report
      reap KILL
      late=1 limit=$(($(now) + 10 * 1000000))
      continue
    fi
    if [[ $what == stopped ]]; then                    # the tool stands still at a mark
      hits=$((hits + 1))
      at_stop "$arg" "$offset" "$at"
      continue
    fi
    reap                                               # "end": the gate has read it all
    exec {gate_fd}<&-
    attempts=$((attempts + $(grep -c ' Try #' "$log.out")))
    ((arg > gap)) && gap=$arg
    [[ -n $again && ${#logs[@]} == 1 && $hits == 1 && $late == 0 ]] || break
    ((rc == 137)) || fail "the first run ended by itself ($rc) before the kill"
    log=$log-$again
    logs+=("$log")
    # shellcheck disable=SC2034 # for the drill set
    rerun_held=$(stat -c %s "$watch" 2>/dev/null || echo 0)
    start_tool "$src" "$dst" "$watch" "$log"
  done
  reap KILL
}

# outage TAKE BRING SECONDS [CMD...]: the lab takes the server away (lab_do TAKE), CMD runs,
# the tool goes on, SECONDS later the server is back (lab_do BRING); the time, the lines and
# bytes the tool wrote and the processor time it took meanwhile are counted.
outage() {
  local td ld lb lc
  lab_do "$1"
  "${@:4}"
  kill -CONT "$tool_pid"
  td=$(now) ld=$(lines_of "$log") lb=$(bytes_of "$log") lc=$(cpu_of "$tool_pid")
  sleep "$3"
  lab_do "$2"
  down_us=$((down_us + $(now) - td)) down_lines=$((down_lines + $(lines_of "$log") - ld))
  down_bytes=$((down_bytes + $(bytes_of "$log") - lb)) down_cpu=$((down_cpu + $(cpu_of "$tool_pid") - lc))
}

# replace_source SERVED NAME: NAME.bin in the export renamed over by NAME-new.bin, a
# different file of the same size written beside it (by new_source) before the copy began.
new_source() { head -c "$total" /dev/urandom >"$1/$2-new.bin"; }
replace_source() { mv -f "$1/$2-new.bin" "$1/$2.bin" || fail "could not rename the new source over $2.bin"; }

# the_end EXPECTED WATCH: the verdict on how the tool ended: by itself in time, exit status
# 0, " Complete." last, WATCH identical to EXPECTED (else described, and kept as LOG.dest
# when keep_wrong is set).
the_end() {
  local last
  last=$(tail -n 1 "$log.out")
  ((late)) && fail "no completion within the time limit"
  ((rc == 0)) || fail "exit status $rc"
  [[ $last == *" Complete." ]] || fail "the last line is not the completion line: $last"
  cmp -s "$1" "$2" && return
  fail "the destination ($(stat -c %s "$2" 2>/dev/null) of $total bytes) differs from the source:" \
    "$(describe "$1" "$2")"
  [[ -z $keep_wrong ]] || cp "$2" "$log.dest"
}

# report M NAME TOP COLUMNS LINE...: the verdict of drill NAME on mount M with the LINEs
# below it and the TOP most frequent lines the tool said when things went wrong; its row
# of the table: M, NAME (widths: row_widths), the verdict and COLUMNS.
report() {
  local verdict=PASS
  [[ -z $problem ]] || verdict=FAIL failures=$((failures + 1))
  printf "[%s] %-${row_widths[1]}s %s:%s\n" "$1" "$2" "$verdict" "${problem:+ $problem}"
  printf '      %s\n' "${@:5}"
  cat "${logs[@]/%/.err}" | sed 's/^\[[^]]*\]//' | sort | uniq -c | sort -rn | head -n "$3" |
    sed 's/^/      /'
  summary+=("$(printf "%-${row_widths[0]}s %-${row_widths[1]}s %-5s %s" "$1" "$2" "$verdict" "$4")")
}

# yardstick M SHARE SERVED LOCAL PUT...: plain cp through the share in both directions, no
# outage, timed in cp_time[M-download] and cp_time[M-upload] (an upload until sync -f says
# it is on the server, where sync_upload is set); PUT (ln -f, cp) puts the source in SERVED.
yardstick() {
  local m=$1 share=$2 served=$3 here=$4 t
  "${@:5}" "$source_file" "$served/cp.bin"
  t=$(now); cp "$share/cp.bin" "$here/cp.bin"; cp_time[$m-download]=$(($(now) - t))
  t=$(now); cp "$source_file" "$share/cp-up.bin" && { [[ -z $sync_upload ]] || sync -f "$share/cp-up.bin"; }
  # shellcheck disable=SC2034 # for the drill set's table
  cp_time[$m-upload]=$(($(now) - t))
  cmp -s "$source_file" "$here/cp.bin" && cmp -s "$source_file" "$served/cp-up.bin" ||
    echo "[$m] warning: plain cp did not copy identically"
  rm -f "$served/cp.bin" "$served/cp-up.bin" "$here/cp.bin"
}

# each_row M ONLY ARG...: every row of drills that ONLY matches (as M-DIRECTION-EVENT), as
# drill ARG... FIELD..., while the budget lasts.
each_row() {
  local row
  local -a f
  for row in "${drills[@]}"; do
    read -r -a f <<<"$row"
    if [[ ! $1-${f[0]}-${f[1]} =~ $2 ]] || skip_row "${f[@]}"; then continue; fi
    if (($(now) >= deadline)); then
      echo "[$1] FAIL: out of time (${budget} s) before: ${f[0]} ${f[1]}"
      failures=$((failures + 1))
      break
    fi
    drill "${@:3}" "${f[@]}"
  done
}

# table HEAD: every drill's row under HEAD and the whole run's time; fails when a drill did.
table() {
  echo
  echo "$1"
  printf '%s\n' "${summary[@]}"
  echo "whole run $(secs $(($(now) - started))) s; $failures failed"
  ((failures == 0))
}
