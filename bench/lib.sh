#!/usr/bin/env bash
# bench/lib.sh - what the benches share; sourced, not run. It only defines functions, its own
# and those of tools/common.sh (say, die, now, secs): the benches that run in the guest of
# tools/vm-lab take both along and source them there too (both in $LAB_IN there).
# shellcheck disable=SC2154 # lab: set by the bench that sources this

# shellcheck source=../tools/common.sh
source "${LAB_IN:-$(dirname "${BASH_SOURCE[0]}")/../tools}/common.sh" || exit 1

# bench_work NAME: a work folder of its own, zobret-NAME.XXXXXX under ZOBRET_BENCH_DIR
# (default /var/tmp), in $work; at the end the share lab in $work/lab ($lab) goes down and
# the folder goes.
bench_work() {
  work=$(mktemp -d "${ZOBRET_BENCH_DIR:-/var/tmp}/zobret-$1.XXXXXX")
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}
bench_cleanup() {
  [[ -r $work/lab/lab.conf ]] && "$lab" down "$work/lab" 2>/dev/null
  rm -rf "$work"
}
