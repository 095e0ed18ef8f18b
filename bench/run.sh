#!/usr/bin/env bash
# bench/run.sh - builds the release binary, times zobret against dd, cp and rsync on the
# same files, and prints one table. Run from anywhere in a clone:
#
#   bench/run.sh            # 5 timed rounds per comparison, after one warm-up round
#   ZOBRET_BENCH_ROUNDS=9 bench/run.sh
#
# Needs hyperfine, strace, GNU time (/usr/bin/time), rsync; the throttled-source check also
# needs sshfs and sftp-server (openssh). Test files (about 4 GiB, plus a sparse 16 GiB file)
# go to a temporary directory under ZOBRET_BENCH_DIR (default /var/tmp), removed at the end.
# Commands run alternately in one hyperfine invocation (round by round), so a slow phase of
# the machine hits every command alike. Progress of the script goes to stderr; the table
# goes to stdout, and hyperfine's own report to the log file named at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
rounds=${ZOBRET_BENCH_ROUNDS:-5}
base=${ZOBRET_BENCH_DIR:-/var/tmp}
gib=$((1024 * 1024 * 1024))
mib=$((1024 * 1024))

say() { printf '%s\n' "$*" >&2; }

for tool in hyperfine strace rsync dd cp truncate; do
  command -v "$tool" >/dev/null || { say "bench: $tool is missing (apt-get install $tool)"; exit 1; }
done
[ -x /usr/bin/time ] || { say "bench: /usr/bin/time is missing (apt-get install time)"; exit 1; }

say "bench: building the release binary"
(cd "$root" && cmake --workflow --preset release) >&2
bin=$root/build/release/zobret
[ -x "$bin" ] || { say "bench: $bin was not built"; exit 1; }

work=$(mktemp -d "$base/zobret-bench.XXXXXX")
log=$root/build/bench.log
: >"$log"
bg_pids=()
mounts=()
cleanup() {
  local m p
  for m in "${mounts[@]}"; do fusermount3 -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
  for p in "${bg_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()    # the lines of the table, tab-separated
row() { local IFS=$'\t'; rows+=("$*"); }

# --- timing helpers ---------------------------------------------------------------------
# Commands are registered with add NAME PREPARE COMMAND, then compare TAG runs them all,
# round by round (a first round for warm-up, then $rounds timed ones), each run once per
# round with its own preparation step, and leaves "median min max" per name in stats[].
names=(); preps=(); cmds=()
declare -A stats
add() { names+=("$1"); preps+=("$2"); cmds+=("$3"); }
compare() {
  local tag=$1 r i name_args=() prep_args=() cmd_args=()
  for ((r = 0; r <= rounds; r++)); do
    for i in "${!names[@]}"; do
      if ((r == 0)); then name_args+=(-n "warmup ${names[i]}"); else name_args+=(-n "${names[i]}"); fi
      prep_args+=(--prepare "${preps[i]}")
      cmd_args+=("${cmds[i]}")
    done
  done
  (cd "$work" && hyperfine --runs 1 --style basic --export-csv "$work/$tag.csv" \
    "${name_args[@]}" "${prep_args[@]}" "${cmd_args[@]}") >>"$log" 2>&1 ||
    { say "bench: hyperfine failed for $tag, see $log"; exit 1; }
  local line name med lo hi
  while IFS=$'\t' read -r name med lo hi; do
    stats[$name]="$med $lo $hi"
  done < <(tail -n +2 "$work/$tag.csv" | awk -F, '$1 !~ /^warmup / { print $1 "\t" $2 }' |
    sort -t$'\t' -k1,1 -k2,2g |
    awk -F'\t' '
      function flush() { if (n) printf "%s\t%.4f\t%.4f\t%.4f\n", key, (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2), v[1], v[n] }
      $1 != key { flush(); key = $1; n = 0 }
      { v[++n] = $2 }
      END { flush() }')
  names=(); preps=(); cmds=()
}
med() { set -- ${stats[$1]}; echo "$1"; }
# timing row: scenario, name, and the ratio to a yardstick name (or "-")
timing_row() {
  local scen=$1 name=$2 yard=$3 m lo hi ratio=-
  read -r m lo hi <<<"${stats[$name]}"
  [ "$yard" = - ] || ratio=$(awk -v a="$m" -v b="$(med "$yard")" 'BEGIN { printf "%.3f", a / b }')
  row "$scen" "$name" "$(printf '%.3f s' "$m")" "$(printf '%.3f-%.3f' "$lo" "$hi")" "$ratio"
}
# check row: what, measured value, target text, and PASS/FAIL from an awk condition
check_row() {
  local what=$1 value=$2 target=$3 cond=$4 verdict
  verdict=$(awk -v x="$value" "BEGIN { print (($cond) ? \"PASS\" : \"FAIL\") }")
  row check "$what" "$value" "$target" "$verdict"
}
ratio_of() { awk -v a="$(med "$1")" -v b="$(med "$2")" 'BEGIN { printf "%.3f", a / b }'; }

# --- test files -------------------------------------------------------------------------
say "bench: writing a 1 GiB source of random bytes under $work"
head -c "$gib" /dev/urandom >"$work/src.bin"
sync "$work/src.bin"
cat "$work/src.bin" >/dev/null   # the source stays in the page cache from here on

# --- 1: fresh copy from the page cache to the same filesystem --------------------------
say "bench: scenario 1 (fresh 1 GiB copy, $rounds rounds)"
fresh_prep='rm -f dst.bin && sync'
add "zobret" "$fresh_prep" "'$bin' src.bin dst.bin >progress.txt 2>errors.txt"
add "dd bs=1M conv=fsync" "$fresh_prep" "dd if=src.bin of=dst.bin bs=1M conv=fsync status=none"
add "cp + sync" "$fresh_prep" "cp src.bin dst.bin && sync dst.bin"
add "dd bs=1M (no sync)" "$fresh_prep" "dd if=src.bin of=dst.bin bs=1M status=none"
add "cp (no sync)" "$fresh_prep" "cp src.bin dst.bin"
compare s1
cmp -s "$work/src.bin" "$work/dst.bin" || { say "bench: the last copy of scenario 1 differs"; exit 1; }
timing_row 1 "zobret" "dd bs=1M conv=fsync"
timing_row 1 "dd bs=1M conv=fsync" "dd bs=1M conv=fsync"
timing_row 1 "cp + sync" "dd bs=1M conv=fsync"
timing_row 1 "dd bs=1M (no sync)" "dd bs=1M conv=fsync"
timing_row 1 "cp (no sync)" "dd bs=1M conv=fsync"
rm -f "$work/dst.bin"

# --- 2: resume with the last MiB missing ------------------------------------------------
say "bench: scenario 2 (resume of the last MiB, $rounds rounds)"
cp "$work/src.bin" "$work/part.bin"
cp "$work/src.bin" "$work/part-rsync.bin"
sync
short=$((gib - mib))
add "zobret resume" "truncate -s $short part.bin && sync" "'$bin' src.bin part.bin >progress.txt 2>errors.txt"
add "zobret fresh" "rm -f dst.bin && sync" "'$bin' src.bin dst.bin >progress.txt 2>errors.txt"
add "rsync --partial --append-verify" "truncate -s $short part-rsync.bin && sync" \
  "rsync --partial --append-verify src.bin part-rsync.bin"
compare s2
cmp -s "$work/src.bin" "$work/part.bin" || { say "bench: the resumed copy differs"; exit 1; }
cmp -s "$work/src.bin" "$work/part-rsync.bin" || { say "bench: rsync's resumed copy differs"; exit 1; }
timing_row 2 "zobret resume" "zobret fresh"
timing_row 2 "zobret fresh" "zobret fresh"
timing_row 2 "rsync --partial --append-verify" "zobret fresh"
rm -f "$work/part.bin" "$work/part-rsync.bin" "$work/dst.bin"

# --- 3: download from the SMB share of the share lab -----------------------------------
share_ok=0
lab=$root/tools/share-lab
if [ -x "$lab/start" ] && [ -x "$lab/stop" ]; then
  say "bench: scenario 3 needs the share lab, which this script does not drive yet"
fi
if [ "$share_ok" = 0 ]; then
  row 3 "skipped: the share lab (tools/share-lab) is not on this branch" - - -
fi

# --- 4: memory, system calls, writes to standard output ---------------------------------
say "bench: scenario 4 (peak memory and system calls)"
peak_kib() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }
/usr/bin/time -v -o "$work/time1.txt" "$bin" "$work/src.bin" "$work/dst.bin" >"$work/out1.txt" 2>&1
rss_1g=$(peak_kib "$work/time1.txt")
rm -f "$work/dst.bin"
truncate -s $((16 * gib)) "$work/sparse.bin"
/usr/bin/time -v -o "$work/time16.txt" "$bin" "$work/sparse.bin" /dev/null >"$work/out16.txt" 2>&1
rss_16g=$(peak_kib "$work/time16.txt")
rm -f "$work/sparse.bin"
grep -q ' Complete\.$' "$work/out16.txt" || { say "bench: the 16 GiB copy to /dev/null did not complete"; exit 1; }
row 4 "peak RSS, 1 GiB file to a file" "$rss_1g KiB" - -
row 4 "peak RSS, sparse 16 GiB to /dev/null" "$rss_16g KiB" - -

strace -f -qq -o "$work/trace.txt" -e trace=write,writev "$bin" "$work/src.bin" "$work/dst.bin" >"$work/out2.txt" 2>&1
stdout_writes=$(grep -cE '^([0-9]+ +)?writev?\(1,' "$work/trace.txt" || true)
rm -f "$work/dst.bin" "$work/trace.txt"
strace -f -c -o "$work/calls.txt" "$bin" "$work/src.bin" "$work/dst.bin" >"$work/out3.txt" 2>&1
calls() { awk -v c="$1" '$NF == c { print $4; found = 1 } END { if (!found) print 0 }' "$work/calls.txt"; }
all_calls=$(calls total)
blocks=$(($(calls read) + $(calls copy_file_range)))   # one source call per block, and a few reads at start-up
{ echo "strace -c of a 1 GiB copy:"; cat "$work/calls.txt"; } >>"$log"
rm -f "$work/dst.bin"
row 4 "write calls to stdout per GiB" "$stdout_writes" - -
row 4 "read + copy_file_range calls per GiB" "$blocks" - -
row 4 "system calls per GiB, all" "$all_calls" - -

# --- throttled source: dots at least once a second at 100 KB/s --------------------------
# A pipe cannot stand in for the slow source: the tool measures the source's size before it
# copies, and a pipe has none. So a real file is served through sshfs, whose sftp stream
# passes through throttle.pl at 100,000 bytes per second: a slow network share in miniature.
sftp_server=
for f in /usr/lib/openssh/sftp-server /usr/libexec/openssh/sftp-server /usr/lib/sftp-server; do
  [ -x "$f" ] && { sftp_server=$f; break; }
done
if command -v sshfs >/dev/null && command -v fusermount3 >/dev/null && [ -n "$sftp_server" ] && [ -e /dev/fuse ]; then
  say "bench: throttled source (1,000,000 bytes at 100 KB/s, about 10 s)"
  mkdir "$work/slow-src" "$work/slow-mnt"
  head -c 1000000 /dev/urandom >"$work/slow-src/slow.bin"
  mkfifo "$work/to-server" "$work/to-client"
  "$sftp_server" <"$work/to-server" | perl "$here/throttle.pl" 100000 >"$work/to-client" &
  bg_pids+=($!)
  sshfs -f -o passive,ro ":$work/slow-src" "$work/slow-mnt" <"$work/to-client" >"$work/to-server" &
  bg_pids+=($!)
  mounts+=("$work/slow-mnt")
  for _ in $(seq 50); do mountpoint -q "$work/slow-mnt" && break; sleep 0.1; done
  strace -ttt -qq -o "$work/slow-trace.txt" -e trace=write "$bin" "$work/slow-mnt/slow.bin" "$work/slow.bin" \
    >"$work/slow-out.txt" 2>&1 || true
  cmp -s "$work/slow-src/slow.bin" "$work/slow.bin" || say "bench: the throttled copy differs"
  # the gaps between writes to stdout, from the progress header to the last mark
  read -r gap writes span < <(awk '
    /^[0-9.]+ write\(1, .*00000000K > / { on = 1; t = s0 = $1; next }
    on && /^[0-9.]+ write\(1,/ { if ($1 - t > g) g = $1 - t; t = $1; n++ }
    END { printf "%.2f %d %.1f\n", g, n, t - s0 }' "$work/slow-trace.txt")
  fusermount3 -u "$work/slow-mnt"; mounts=()
  wait "${bg_pids[@]}" 2>/dev/null || true; bg_pids=()
  check_row "throttled source: longest wait between progress writes, s ($writes writes in $span s)" "$gap" "<= 1.0" "x <= 1.0"
else
  row check "throttled source: skipped (needs sshfs, fusermount3 and sftp-server)" - - -
fi

# --- targets ------------------------------------------------------------------------------
check_row "1: zobret / dd bs=1M conv=fsync" "$(ratio_of "zobret" "dd bs=1M conv=fsync")" "<= 1.10" "x <= 1.10"
check_row "1: zobret / cp + sync" "$(ratio_of "zobret" "cp + sync")" "<= 1.00" "x <= 1.00"
check_row "2: zobret resume / zobret fresh" "$(ratio_of "zobret resume" "zobret fresh")" "< 0.02" "x < 0.02"
check_row "2: zobret resume / rsync" "$(ratio_of "zobret resume" "rsync --partial --append-verify")" "< 1.00" "x < 1.00"
check_row "4: peak RSS, 1 GiB (KiB)" "$rss_1g" "< 4096" "x < 4096"
check_row "4: peak RSS, 16 GiB (KiB)" "$rss_16g" "< 4096" "x < 4096"
check_row "4: stdout writes per block" "$(awk -v a="$stdout_writes" -v b="$blocks" 'BEGIN { printf "%.3f", a / b }')" "<= 1" "x <= 1.0"

# --- the table --------------------------------------------------------------------------
load_end=$(cut -d' ' -f1-3 /proc/loadavg)
{
  printf '# zobret benchmark, %s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')"
  printf '# machine: %s cores (%s), %s GiB RAM, kernel %s, %s on %s\n' "$(nproc)" \
    "$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)" \
    "$(awk '/MemTotal/ { printf "%d", $2 / 1048576 + 0.5 }' /proc/meminfo)" "$(uname -r)" \
    "$(findmnt -no FSTYPE -T "$work" 2>/dev/null || echo '?')" "$base"
  printf '# load average (1/5/15 min): %s at start, %s at end; %s timed rounds after 1 warm-up\n' \
    "$load_start" "$load_end" "$rounds"
  printf '%s\n' "scenario	command	median	min-max	ratio"
  printf '%s\n' "${rows[@]}" | grep -v '^check'
  printf '%s\n' "target	measure	value	goal	result"
  printf '%s\n' "${rows[@]}" | grep '^check' | cut -f2-
} | column -t -s $'\t'
say "bench: hyperfine's report and the strace summary are in $log"
