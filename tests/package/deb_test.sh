#!/usr/bin/env bash
# deb_test.sh - checks the Debian package as a user gets it: unpacks it into a temporary
# root with dpkg -x, runs that zobret on a real copy and a resume, checks the manual renders,
# the binary needs only the C and C++ runtime and carries no debug assertions, and lints
# the package with lintian (errors fail, warnings are listed).
#
# usage: deb_test.sh BUILD_DIR     (a configured release build; the .deb is made if missing)
# Exit 0 pass, 1 fail, 77 skip (a tool this test needs is not installed).
set -u

build=${1:?usage: deb_test.sh BUILD_DIR}
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

for tool in dpkg dpkg-deb lintian man readelf cmp; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
done

deb=$(ls -t "$build"/zobret_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
  (cd "$build" && cpack -G DEB >/dev/null) || { echo "FAIL: cpack -G DEB" >&2; exit 1; }
  deb=$(ls -t "$build"/zobret_*.deb | head -n 1)
fi
echo "package: $deb"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x" >&2; exit 1; }
zobret=$root/usr/bin/zobret

# Contents and control fields.
for f in usr/bin/zobret usr/share/man/man1/zobret.1.gz \
         usr/share/doc/zobret/copyright usr/share/doc/zobret/changelog.gz; do
  [ -f "$root/$f" ] || bad "package lacks /$f"
done
[ -x "$zobret" ] || { echo "FAIL: /usr/bin/zobret is not executable" >&2; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in *libc6*) ;; *) bad "Depends lacks libc6 (dpkg-shlibdeps not run?): $depends" ;; esac
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || bad "Maintainer field is empty"

# Only the C and C++ runtime, and a release build (assert() compiled out).
needed=$(readelf -d "$zobret" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  case $lib in
    libc.so.*|libm.so.*|libstdc++.so.*|libgcc_s.so.*|ld-linux*) ;;
    *) bad "zobret needs $lib beyond the C and C++ runtime" ;;
  esac
done
if readelf --dyn-syms "$zobret" | grep -q '__assert_fail'; then
  bad "zobret calls __assert_fail: built without NDEBUG"
fi

# `man zobret` finds the packaged manual by name, and it renders without a warning.
found=$(MANPATH="$root/usr/share/man" man -w zobret 2>/dev/null)
[ "$found" = "$root/usr/share/man/man1/zobret.1.gz" ] || bad "man zobret finds '$found'"
warnings=$(man --warnings -l "$root/usr/share/man/man1/zobret.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || bad "man warns about the packaged manual: $warnings"

# A real copy with the unpacked binary, then a resume of a cut-short destination.
head -c 300500 /dev/urandom > "$tmp/source"
if ! timeout 60 "$zobret" "$tmp/source" "$tmp/copy" > "$tmp/out" 2>&1; then
  bad "fresh copy did not end with 0"; cat "$tmp/out" >&2
fi
cmp "$tmp/source" "$tmp/copy" || bad "fresh copy differs from its source"
grep -q '\] Complete\.$' "$tmp/out" || bad "fresh copy did not report completion"
head -c 123456 "$tmp/source" > "$tmp/resumed"
if ! timeout 60 "$zobret" "$tmp/source" "$tmp/resumed" > "$tmp/out" 2>&1; then
  bad "resume did not end with 0"; cat "$tmp/out" >&2
fi
cmp "$tmp/source" "$tmp/resumed" || bad "resumed copy differs from its source"
grep -q '^Skipping 123456 bytes\.$' "$tmp/out" || bad "resume did not skip the 123456 bytes present"

# Lint: errors fail the test, everything else is shown.
lintian --display-info --fail-on error "$deb" > "$tmp/lintian" 2> "$tmp/lintian.err"
status=$?
echo "lintian (exit $status):"
cat "$tmp/lintian"
grep -v 'running with root privileges is not recommended' "$tmp/lintian.err" >&2
[ "$status" -eq 0 ] || bad "lintian reports errors"
grep -q '^E: ' "$tmp/lintian" && bad "lintian reports errors"

[ "$fail" -eq 0 ] && echo "PASS: $(basename "$deb")"
exit "$fail"
