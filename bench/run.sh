#!/usr/bin/env bash
# bench/run.sh - builds the release binary, times zobret against dd, cp and rsync on the
# same files, and prints one table. Run from anywhere in a clone:
#
#   bench/run.sh            # 5 timed rounds per comparison, after one warm-up round
#   ZOBRET_BENCH_ROUNDS=9 bench/run.sh
#   bench/run.sh 5          # scenario 5 alone (failing reads: seconds, no 4 GiB of test files)
#
# Runs as root (the share lab mounts FUSE file systems). Needs the Debian packages hyperfine,
# strace, time, rsync, perl, bsdextrautils (column), a C compiler (cc, for scenario 5's
# tests/fault/fault_inject.c); the share download needs samba,
# smbnetfs and fuse3 (tools/share-lab), the throttled source sshfs and openssh-sftp-server.
# Test files (about 4 GiB, plus a sparse 16 GiB file, all in the page cache) go to a
# temporary directory under ZOBRET_BENCH_DIR (default /var/tmp), removed at the end.
# Commands run alternately in one hyperfine invocation (round by round), so a slow phase of
# the machine hits every command alike. Progress of the script goes to stderr; the table
# goes to stdout, and hyperfine's own report to the log file named at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"
me=bench
root=$(cd "$here/.." && pwd)
rounds=${ZOBRET_BENCH_ROUNDS:-5}
base=${ZOBRET_BENCH_DIR:-/var/tmp}
gib=$((1024 * 1024 * 1024))
mib=$((1024 * 1024))
only=${1:-}  # "5": that scenario alone

case $only in '' | 5) ;; *) say "usage: bench/run.sh [5]"; exit 2 ;; esac

for tool in hyperfine strace rsync dd cp truncate column perl; do
  command -v "$tool" >/dev/null || die "$tool is missing (apt-get install $tool)"
done
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install time)"

say "bench: building the release binary"
(cd "$root" && CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} cmake --workflow --preset release) >&2
bin=$root/build/release/zobret
[ -x "$bin" ] || die "$bin was not built"

work=$(mktemp -d "$base/zobret-bench.XXXXXX")
log=$root/build/bench.log
: >"$log"
bg_pids=()
mounts=()
labs=()
shm=
cleanup() {
  local m p
  for m in "${labs[@]}"; do "$lab" down "$m" 2>/dev/null || true; done
  for m in "${mounts[@]}"; do fusermount3 -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
  for p in "${bg_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work" ${shm:+"$shm"}
}
trap cleanup EXIT
trap 'exit 130' INT TERM

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()    # the lines of the table, tab-separated
checks=()  # the targets, tab-separated
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
    die "hyperfine failed for $tag, see $log"
  local name med lo hi cpu
  while IFS=$'\t' read -r name med lo hi cpu; do
    stats[$name]="$med $lo $hi $cpu"
  done < <(tail -n +2 "$work/$tag.csv" | awk -F, '$1 !~ /^warmup / { print $1 "\t" $2 "\t" $5 + $6 }' |
    sort -t$'\t' -k1,1 -k2,2g |
    awk -F'\t' '
      function median(a) { return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
      function flush() {
        if (!n) return
        m = split("", c)
        for (j = 1; j <= n; j++) c[j] = u[j]
        for (j = 2; j <= n; j++) for (k = j; k > 1 && c[k - 1] > c[k]; k--) { t = c[k]; c[k] = c[k - 1]; c[k - 1] = t }
        printf "%s\t%.4f\t%.4f\t%.4f\t%.4f\n", key, median(v), v[1], v[n], median(c)
      }
      $1 != key { flush(); key = $1; n = 0 }
      { v[++n] = $2; u[n] = $3 }
      END { flush() }')
  names=(); preps=(); cmds=()
}
med() { local m _; read -r m _ <<<"${stats[$1]}"; echo "$m"; }
# timing row: scenario, name, and the yardstick whose median the ratio divides by
timing_row() {
  local scen=$1 name=$2 yard=$3 m lo hi cpu ratio
  read -r m lo hi cpu <<<"${stats[$name]}"
  ratio=$(awk -v a="$m" -v b="$(med "$yard")" 'BEGIN { printf "%.3f", a / b }')
  row "$scen" "$name" "$(printf '%.3f' "$m")" "$(printf '%.3f-%.3f' "$lo" "$hi")" \
    "$(awk -v a="$hi" -v b="$lo" -v m="$m" 'BEGIN { printf "%.0f%%", 100 * (a - b) / m }')" \
    "$ratio" "$(printf '%.3f' "$cpu")"
}
# check row: what, measured value, target text, and PASS/FAIL from an awk condition
check_row() {
  local what=$1 value=$2 target=$3 cond=$4 verdict
  verdict=$(awk -v x="$value" "BEGIN { print (($cond) ? \"PASS\" : \"FAIL\") }")
  checks+=("$what	$value	$target	$verdict")
}
ratio_of() { awk -v a="$(med "$1")" -v b="$(med "$2")" 'BEGIN { printf "%.3f", a / b }'; }

if [ -z "$only" ]; then  # scenarios 1 to 4, up to the next "fi" at the left margin
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
cmp -s "$work/src.bin" "$work/dst.bin" || die "the last copy of scenario 1 differs"
timing_row 1 "zobret" "dd bs=1M conv=fsync"
timing_row 1 "dd bs=1M conv=fsync" "dd bs=1M conv=fsync"
timing_row 1 "cp + sync" "dd bs=1M conv=fsync"
timing_row 1 "dd bs=1M (no sync)" "dd bs=1M conv=fsync"
timing_row 1 "cp (no sync)" "dd bs=1M conv=fsync"
rm -f "$work/dst.bin"

# --- 2: resume with the last MiB missing, a rerun, a whole comparison --------------------
# The source is an hour older than its copies (as most sources are), so that its time
# stamp says nothing and the first look decides. The comparison: a complete copy whose
# time stamp is older than the source's, compared whole with it.
say "bench: scenario 2 (resume of the last MiB, a rerun, a whole comparison, $rounds rounds)"
touch -d '1 hour ago' "$work/src.bin"
cp "$work/src.bin" "$work/part.bin"
cp "$work/src.bin" "$work/part-rsync.bin"
cp "$work/src.bin" "$work/whole.bin"
cp "$work/src.bin" "$work/stale.bin"
sync
short=$((gib - mib))
add "zobret resume" "truncate -s $short part.bin && sync" "'$bin' src.bin part.bin >progress.txt 2>errors.txt"
add "zobret rerun over a complete copy" "sync" "'$bin' src.bin whole.bin >progress.txt 2>errors.txt"
add "zobret comparison of a complete copy" "touch -d '2 hours ago' stale.bin && sync" \
  "'$bin' src.bin stale.bin >compared.txt 2>errors.txt"
add "zobret fresh" "rm -f dst.bin && sync" "'$bin' src.bin dst.bin >progress.txt 2>errors.txt"
add "rsync --partial --append-verify" "truncate -s $short part-rsync.bin && sync" \
  "rsync --partial --append-verify src.bin part-rsync.bin"
compare s2
for f in part part-rsync whole stale; do
  cmp -s "$work/src.bin" "$work/$f.bin" || die "$f.bin differs from its source"
done
grep -q ' Compared 1073741824 bytes: all of them matched' "$work/compared.txt" ||
  die "the last run did not compare the stale copy whole"
for name in "zobret resume" "zobret rerun over a complete copy" "zobret comparison of a complete copy" "zobret fresh" \
            "rsync --partial --append-verify"; do
  timing_row 2 "$name" "zobret fresh"
done
rm -f "$work/part.bin" "$work/part-rsync.bin" "$work/whole.bin" "$work/stale.bin" "$work/dst.bin"

# --- 3: download from the SMB share of the share lab -----------------------------------
# The lab serves a folder through smbd on 127.0.0.1 and mounts it with a FUSE SMB client.
lab=${ZOBRET_SHARE_LAB:-$root/tools/share-lab}
share=
if [ -x "$lab" ]; then
  say "bench: scenario 3 (download of 1 GiB from the SMB share, $rounds rounds)"
  labs+=("$work/lab")
  share=$("$lab" up smb "$work/lab" 2>>"$log") || { say "bench: the share lab did not come up, see $log"; share=; }
fi
if [ -n "$share" ]; then
  ln "$work/src.bin" "$("$lab" export "$work/lab")/big.bin"
  for _ in $(seq 50); do [ -e "$share/big.bin" ] && break; sleep 0.1; done
  dl_prep='rm -f dl.bin && sync'
  add "zobret from the share" "$dl_prep" "'$bin' '$share/big.bin' dl.bin >progress.txt 2>errors.txt"
  add "cp from the share" "$dl_prep" "cp '$share/big.bin' dl.bin"
  add "cp + sync from the share" "$dl_prep" "cp '$share/big.bin' dl.bin && sync dl.bin"
  compare s3
  cmp -s "$work/src.bin" "$work/dl.bin" || die "the download differs"
  timing_row 3 "zobret from the share" "cp from the share"
  timing_row 3 "cp from the share" "cp from the share"
  timing_row 3 "cp + sync from the share" "cp from the share"
  rm -f "$work/dl.bin"
  "$lab" down "$work/lab" 2>>"$log"
  labs=()
else
  row 3 "skipped: no share lab (tools/share-lab) in this tree" - - - - -
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
grep -q ' Complete\.$' "$work/out16.txt" || die "the 16 GiB copy to /dev/null did not complete"
row 4 "peak RSS, 1 GiB file to a file (KiB)" "$rss_1g" - - - -
row 4 "peak RSS, sparse 16 GiB to /dev/null (KiB)" "$rss_16g" - - - -

# Every write to stdout, and every call that moves source data (the blocks: a read or an
# in-kernel copy of 4 KiB or more; the loader's and libc's own reads are smaller).
strace -f -qq -o "$work/trace.txt" -e trace=write,writev,read,copy_file_range \
  "$bin" "$work/src.bin" "$work/dst.bin" >"$work/out2.txt" 2>&1
read -r stdout_writes mark_writes blocks < <(awk '
  /^([0-9]+ +)?writev?\(1,/ { w++ }
  /^([0-9]+ +)?write\(1, "\./ { m++ }
  /^([0-9]+ +)?(read|copy_file_range)\(/ { if ($NF + 0 >= 4096) b++ }
  END { print w + 0, m + 0, b + 0 }' "$work/trace.txt")
rm -f "$work/dst.bin" "$work/trace.txt"
strace -f -c -o "$work/calls.txt" "$bin" "$work/src.bin" "$work/dst.bin" >"$work/out3.txt" 2>&1
all_calls=$(awk '$NF == "total" { print $4 }' "$work/calls.txt")
{ echo "strace -c of a 1 GiB copy:"; cat "$work/calls.txt"; } >>"$log"
rm -f "$work/dst.bin"
row 4 "write calls to stdout per GiB, all" "$stdout_writes" - - - -
row 4 "write calls to stdout per GiB, progress marks" "$mark_writes" - - - -
row 4 "blocks per GiB (reads or in-kernel copies)" "$blocks" - - - -
row 4 "system calls per GiB, all" "$all_calls" - - - -

# --- throttled source: dots at least once a second at 100 KB/s --------------------------
# A pipe cannot stand in for the slow source: the tool measures the source's size before it
# copies, and a pipe has none. So a real file is served through sshfs, whose sftp stream
# passes through throttle.pl at 100,000 bytes per second: a slow network share in miniature.
sftp_server=
for f in /usr/lib/openssh/sftp-server /usr/libexec/openssh/sftp-server /usr/lib/sftp-server; do
  [ -x "$f" ] && { sftp_server=$f; break; }
done
gap=
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
  cmp -s "$work/slow-src/slow.bin" "$work/slow.bin" || die "the throttled copy differs"
  # the longest wait between writes to stdout, from the progress header to the end
  read -r gap slow_writes span < <(awk '
    /^[0-9.]+ write\(1, .*00000000K > / { on = 1; t = s0 = $1; next }
    on && /^[0-9.]+ write\(1,/ { if ($1 - t > g) g = $1 - t; t = $1; n++ }
    END { printf "%.2f %d %.1f\n", g, n, t - s0 }' "$work/slow-trace.txt")
  fusermount3 -u "$work/slow-mnt"; mounts=()
  wait "${bg_pids[@]}" 2>/dev/null || true; bg_pids=()
  row 4 "throttled source: longest wait for progress, s" "$gap" - - - -
  row 4 "throttled source: writes to stdout in $span s" "$slow_writes" - - - -
else
  row 4 "throttled source: skipped (needs sshfs, fusermount3, sftp-server)" - - - - -
fi

fi

# --- 5: source bytes read per byte of the file while block reads fail ------------------
# Every failure ends the attempt, and the next one reads its way back in; the fault
# library (tests/fault/fault_inject.c) fails each read of the source with a fixed
# probability (seeded, so each run fails the same reads) and counts the bytes read.
say "bench: scenario 5 (64 MiB from /dev/shm with 5% and 20% of block reads failing)"
cc -shared -fPIC -O2 -o "$work/fault_inject.so" "$root/tests/fault/fault_inject.c" -ldl
shm=$(mktemp -d /dev/shm/zobret-bench.XXXXXX)
head -c $((64 * mib)) /dev/urandom >"$shm/src.bin"
declare -A read_ratio
for percent in 5 20; do
  rm -f "$work/retry.bin" "$work/faults.log"
  timeout 600 env FAULT_CALLS=read FAULT_ERRNO=EIO FAULT_PROB="0.$(printf '%02d' "$percent")" \
    FAULT_PATH="$shm/src.bin" FAULT_LOG="$work/faults.log" LD_PRELOAD="$work/fault_inject.so" \
    "$bin" "$shm/src.bin" "$work/retry.bin" >/dev/null 2>&1 || die "the copy with $percent% failing reads did not finish"
  cmp -s "$shm/src.bin" "$work/retry.bin" || die "the copy with $percent% failing reads differs"
  read_ratio[$percent]=$(awk -v n=$((64 * mib)) '/^bytes read / { printf "%.2f", $3 / n }' "$work/faults.log")
  row 5 "source bytes read per byte, $percent% of reads failing ($(grep -c '^injected ' "$work/faults.log") failed)" \
    "${read_ratio[$percent]}" - - - -
done
rm -rf "$shm" "$work/retry.bin"; shm=

# --- targets ------------------------------------------------------------------------------
if [ -z "$only" ]; then
check_row "1: zobret / dd bs=1M conv=fsync" "$(ratio_of "zobret" "dd bs=1M conv=fsync")" "<= 1.10" "x <= 1.10"
check_row "1: zobret / cp + sync" "$(ratio_of "zobret" "cp + sync")" "<= 1.00" "x <= 1.00"
check_row "2: zobret resume / zobret fresh" "$(ratio_of "zobret resume" "zobret fresh")" "< 0.02" "x < 0.02"
check_row "2: zobret resume / rsync" "$(ratio_of "zobret resume" "rsync --partial --append-verify")" "< 1.00" "x < 1.00"
check_row "2: zobret rerun over a complete copy / zobret fresh" "$(ratio_of "zobret rerun over a complete copy" "zobret fresh")" "< 0.02" "x < 0.02"
if [ -n "$share" ]; then
  check_row "3: zobret / cp from the share" "$(ratio_of "zobret from the share" "cp from the share")" "<= 1.05" "x <= 1.05"
  check_row "3: zobret / cp + sync from the share" "$(ratio_of "zobret from the share" "cp + sync from the share")" "<= 1.00" "x <= 1.00"
fi
check_row "4: peak RSS, 1 GiB (KiB)" "$rss_1g" "< 4096" "x < 4096"
check_row "4: peak RSS, 16 GiB (KiB)" "$rss_16g" "< 4096" "x < 4096"
check_row "4: progress writes per block" "$(awk -v a="$mark_writes" -v b="$blocks" 'BEGIN { printf "%.3f", a / b }')" "<= 1" "x <= 1"
[ -z "$gap" ] || check_row "4: longest wait for progress at 100 KB/s (s)" "$gap" "<= 1.0" "x <= 1.0"
fi
check_row "5: source bytes read per byte, 5% failing" "${read_ratio[5]}" "<= 1.2" "x <= 1.2"
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
  printf '# times in seconds: median wall time, its range (min-max) and spread ((max-min)/median),\n'
  printf '# ratio = median / median of the scenario'"'"'s yardstick (the row with 1.000), cpu = median user+sys\n'
  {
    printf '%s\n' "scenario	command	median	min-max	spread	ratio	cpu"
    printf '%s\n' "${rows[@]}"
  } | column -t -s $'\t'
  echo
  {
    printf '%s\n' "target	measured	goal	result"
    printf '%s\n' "${checks[@]}"
  } | column -t -s $'\t'
}
say "bench: hyperfine's report and the strace summary are in $log"
