#!/usr/bin/env bash
# man_test.sh - the manual renders without a single groff or man warning, and the two
# screens it shows (a fresh copy and a resume of a 120,500-byte file) are what the
# program really prints for them, timestamps aside.
#
# usage: man_test.sh MANUAL [ZOBRET]   (without ZOBRET only the rendering is checked)
# Exit 0 pass, 1 fail, 77 skip (man is not installed).
set -u

manual=${1:?usage: man_test.sh MANUAL [ZOBRET]}
zobret=${2:-}
command -v man >/dev/null || { echo "SKIP: man (man-db) is not installed" >&2; exit 77; }
fail=0

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

MANWIDTH=80 man --warnings -E UTF-8 -l "$manual" > "$tmp/page" 2> "$tmp/warnings"
if [ -s "$tmp/warnings" ]; then
  echo "FAIL: man warns about $manual:" >&2; cat "$tmp/warnings" >&2; fail=1
fi
[ -n "$zobret" ] || exit "$fail"
case $zobret in /*) ;; *) zobret=$PWD/$zobret ;; esac  # the runs below change directory

# The screens as the manual shows them: each block from a "Try #1" line to the next
# "Complete." line, with the example's indentation and all trailing blanks removed.
stamp='s/^\[[0-9][0-9]\.[0-9][0-9]\.[0-9]\{4\} [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\]/[TIME]/'
col -bx < "$tmp/page" | awk '
  /\] Try #1$/ { n++; on = 1 }
  on { sub(/^  /, ""); sub(/ +$/, ""); print > (dir "/manual" n) }
  /\] Complete\.$/ { on = 0 }' dir="$tmp"
for n in 1 2; do sed -i "$stamp" "$tmp/manual$n" 2>/dev/null || { echo "FAIL: manual shows no screen $n" >&2; exit 1; }; done

# The same runs for real: /mnt/share stands for a folder of the test's own.
mkdir -p "$tmp/share" "$tmp/work"
head -c 120500 /dev/urandom > "$tmp/share/big.iso"
screen() {  # run zobret as in the manual and normalise its output like the manual's
  (cd "$tmp/work" && timeout 60 "$zobret" "$tmp/share/big.iso" big.iso 2>&1) |
    sed -e "s#$tmp/share/#/mnt/share/#" -e "$stamp" -e 's/ *$//' |
    sed -n '/\] Try #1$/,$p' > "$tmp/real$1"
}
screen 1
head -c 61234 "$tmp/share/big.iso" > "$tmp/work/big.iso"
screen 2
for n in 1 2; do
  if ! diff -u "$tmp/manual$n" "$tmp/real$n" >&2; then
    echo "FAIL: the manual's screen $n is not what zobret prints (diff above: manual, real)" >&2
    fail=1
  fi
done
exit "$fail"
