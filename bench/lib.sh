#!/usr/bin/env bash
# bench/lib.sh - what the benches share; sourced, not run. It only defines functions: the
# benches that run in the guest of tools/vm-lab take it along and source it there too.
# shellcheck disable=SC2154 # me and lab: set by the bench that sources this

# say TEXT...: a line of progress, to stderr. die TEXT...: the same after the bench's name
# ($me), then exit 1.
say() { printf '%s\n' "$*" >&2; }
die() { say "$me: $*"; exit 1; }

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
