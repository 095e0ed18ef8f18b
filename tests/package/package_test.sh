#!/usr/bin/env bash
# package_test.sh - the manual and the Debian package as a user gets them.
#
#   package_test.sh man MANUAL ZOBRET  the manual renders without a single warning, and the two
#                                      screens it shows (a fresh copy and a resume of a
#                                      120,500-byte file) are what ZOBRET prints, timestamps aside
#   package_test.sh deb BUILD_DIR      the .deb of a configured release build (made if missing),
#                                      unpacked with dpkg -x: its files and control fields, a
#                                      binary that needs only the C and C++ runtime and carries
#                                      no assertions, `man zobret` finding the manual, the man
#                                      checks above on the packaged manual and binary, and lintian
# Exit 0 pass, 1 fail, 77 skip (a tool this test needs is not installed).
set -u

fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }
need() {
  local tool
  for tool; do command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }; done
}
# newest_deb DIR: the most recently modified DIR/zobret_*.deb, or nothing
newest_deb() {
  local f newest=''
  for f in "$1"/zobret_*.deb; do
    [ -f "$f" ] || continue
    if [ -z "$newest" ] || [ "$f" -nt "$newest" ]; then newest=$f; fi
  done
  printf '%s' "$newest"
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# check_manual MANUAL ZOBRET
check_manual() {
  local manual=$1 zobret=$2 n
  case $zobret in /*) ;; *) zobret=$PWD/$zobret ;; esac  # the runs below change directory
  MANWIDTH=80 man --warnings -E UTF-8 -l "$manual" >"$tmp/page" 2>"$tmp/warnings"
  [ -s "$tmp/warnings" ] && bad "man warns about $manual: $(cat "$tmp/warnings")"
  # The screens as the manual shows them: each block from a "Try #1" line to the next
  # "Complete." line, with the example's indentation and all trailing blanks removed.
  local stamp='s/^\[[0-9][0-9]\.[0-9][0-9]\.[0-9]\{4\} [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\]/[TIME]/'
  col -bx <"$tmp/page" | awk '
    /\] Try #1$/ { n++; on = 1 }
    on { sub(/^  /, ""); sub(/ +$/, ""); print > (dir "/manual" n) }
    /\] Complete\.$/ { on = 0 }' dir="$tmp"
  # The same runs for real: /mnt/share stands for a folder of the test's own.
  mkdir -p "$tmp/share" "$tmp/work"
  rm -f "$tmp/work/big.iso"
  head -c 120500 /dev/urandom >"$tmp/share/big.iso"
  touch -d '1 hour ago' "$tmp/share/big.iso"  # a source older than its copy, as most are
  for n in 1 2; do
    [ "$n" = 2 ] && head -c 61234 "$tmp/share/big.iso" >"$tmp/work/big.iso"
    (cd "$tmp/work" && timeout 60 "$zobret" "$tmp/share/big.iso" big.iso 2>&1) |
      sed -e "s#$tmp/share/#/mnt/share/#" -e "$stamp" -e 's/ *$//' | sed -n '/\] Try #1$/,$p' >"$tmp/real$n"
    if [ ! -f "$tmp/manual$n" ]; then
      bad "the manual shows no screen $n"
    elif ! sed "$stamp" "$tmp/manual$n" | diff -u - "$tmp/real$n" >&2; then
      bad "the manual's screen $n is not what zobret prints (diff above: manual, real)"
    fi
  done
  cmp -s "$tmp/share/big.iso" "$tmp/work/big.iso" || bad "the resumed copy differs from its source"
}

case ${1:-} in
  man)
    [ $# -eq 3 ] || { echo "usage: $0 man MANUAL ZOBRET" >&2; exit 2; }
    need man col
    check_manual "$2" "$3"
    ;;
  deb)
    [ $# -eq 2 ] || { echo "usage: $0 deb BUILD_DIR" >&2; exit 2; }
    need dpkg dpkg-deb lintian man col readelf
    build=$2
    deb=$(newest_deb "$build")
    if [ -z "$deb" ]; then
      (cd "$build" && cpack -G DEB >/dev/null) || { echo "FAIL: cpack -G DEB" >&2; exit 1; }
      deb=$(newest_deb "$build")
    fi
    echo "package: $deb"
    root=$tmp/root
    dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x" >&2; exit 1; }
    zobret=$root/usr/bin/zobret
    for f in usr/bin/zobret usr/share/man/man1/zobret.1.gz \
             usr/share/doc/zobret/copyright usr/share/doc/zobret/changelog.gz; do
      [ -f "$root/$f" ] || bad "package lacks /$f"
    done
    [ -x "$zobret" ] || { echo "FAIL: /usr/bin/zobret is not executable" >&2; exit 1; }
    depends=$(dpkg-deb -f "$deb" Depends)
    case $depends in *libc6*) ;; *) bad "Depends lacks libc6 (dpkg-shlibdeps not run?): $depends" ;; esac
    [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || bad "Maintainer field is empty"
    # Only the C and C++ runtime, and a release build (assert() compiled out).
    for lib in $(readelf -d "$zobret" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      case $lib in
        libc.so.*|libm.so.*|libstdc++.so.*|libgcc_s.so.*|ld-linux*) ;;
        *) bad "zobret needs $lib beyond the C and C++ runtime" ;;
      esac
    done
    readelf --dyn-syms "$zobret" | grep -q '__assert_fail' && bad "zobret calls __assert_fail: built without NDEBUG"
    found=$(MANPATH="$root/usr/share/man" man -w zobret 2>/dev/null)
    [ "$found" = "$root/usr/share/man/man1/zobret.1.gz" ] || bad "man zobret finds '$found'"
    check_manual "$root/usr/share/man/man1/zobret.1.gz" "$zobret"
    # Lint: errors fail the test, everything else is shown.
    lintian --display-info --fail-on error "$deb" >"$tmp/lintian" 2>"$tmp/lintian.err" ||
      bad "lintian reports errors"
    echo "lintian:"
    cat "$tmp/lintian"
    grep -v 'running with root privileges is not recommended' "$tmp/lintian.err" >&2
    grep -q '^E: ' "$tmp/lintian" && bad "lintian reports errors"
    ;;
  *) echo "usage: $0 man MANUAL ZOBRET | deb BUILD_DIR" >&2; exit 2 ;;
esac
[ "$fail" -eq 0 ] && echo PASS
exit "$fail"
