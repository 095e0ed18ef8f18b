#!/usr/bin/env bash
# bench/lib.sh - what the benches that use the share lab share; sourced, not run.

# bench_work NAME: a work folder of its own, zobret-NAME.XXXXXX under ZOBRET_BENCH_DIR
# (default /var/tmp), in $work; at the end the share lab in $work/lab ($lab) goes down and
# the folder goes.
bench_work() {
  work=$(mktemp -d "${ZOBRET_BENCH_DIR:-/var/tmp}/zobret-$1.XXXXXX")
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}
# shellcheck disable=SC2154 # lab: set by the bench that sources this
bench_cleanup() {
  [[ -r $work/lab/lab.conf ]] && "$lab" down "$work/lab" 2>/dev/null
  rm -rf "$work"
}
