#!/usr/bin/env bash
# tools/common.sh - the shell functions the labs, the benches and the drills share; sourced,
# not run. It only defines functions, so sourcing it does nothing else. In the guest of
# tools/vm-lab it lies beside vm-lab-guest (vm-lab puts it there), and the scripts that run
# there take it along (vm-lab run -f tools/common.sh) and source it from $LAB_IN.
# shellcheck disable=SC2154 # me: set by the script that sources this

# say TEXT...: a line to stderr. die TEXT...: the same after the script's name ($me), then
# exit 1.
say() { printf '%s\n' "$*" >&2; }
die() { say "$me: $*"; exit 1; }

# usage: the script's usage_text when it sets one, else the first two paragraphs of its
# header (what it is, its commands), to stderr; exit 2.
usage() {
  if [[ -n ${usage_text:-} ]]; then
    say "$usage_text"
  else
    awk 'NR > 1 && (!/^#/ || /^#$/ && ++gaps == 2) { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0" >&2
  fi
  exit 2
}

# now: the time in microseconds. secs US [DIGITS]: US microseconds as seconds with DIGITS
# decimals (default 2), cut off, not rounded.
now() { echo "${EPOCHREALTIME/./}"; }
secs() { printf '%d.%0*d' $(($1 / 1000000)) "${2:-2}" $(($1 % 1000000 / 10 ** (6 - ${2:-2}))); }
