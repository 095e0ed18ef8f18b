#!/usr/bin/env bash
# run-under-wine.sh - runs a command (by default the Windows test suite,
# `ctest --preset windows`) with a fresh, quiet Wine prefix and a running Wine server,
# then stops the server and removes the prefix.
#
#   tools/run-under-wine.sh                         # the tests of an existing build
#   tools/run-under-wine.sh cmake --workflow --preset windows --fresh
#
# A running server cuts the cost of each Windows program start from seconds to some
# tens of milliseconds; wineboot creates the prefix first, or the first tests hang.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in wine wineserver wineboot; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found (apt-get install wine64 wine)" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/zobret-wine.XXXXXX")"
export WINEPREFIX="$work/prefix"
mkdir "$WINEPREFIX"
export TMPDIR="$work"                  # Wine puts its server's socket directory here
export WINEDEBUG=-all                  # no fixme/err chatter in the test output
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts

cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wineserver -p          # stays up between test programs
wineboot -i >/dev/null 2>&1
# \\localhost\C$ reaches drive C: as on Windows, for the tests' UNC paths.
mkdir -p "$WINEPREFIX/dosdevices/unc/localhost"
ln -s ../../c: "$WINEPREFIX/dosdevices/unc/localhost/c\$"

if [ $# -eq 0 ]; then
  set -- ctest --preset windows
fi
"$@"
