#!/usr/bin/env bash
# bench/resume.sh - what a resume's first look costs through a distant share: a zobret from
# before and one from after the change that made it judge whether the destination is the
# source's prefix (the time stamps, 16 sampled blocks, the last MiB, as before the
# zero-ending pages of the last 16 MiB), timed in the same rounds, taking turns. For each
# mount and direction (download: the source on the share, the destination local; upload:
# the other way round), at one round trip:
#
#   first new byte    a 1 GiB source whose first 768 MiB the destination holds byte for
#                     byte, the source's mtime an hour old (the time stamps say nothing):
#                     the seconds from launch to the first "." after the resume's commas,
#                     read by bench/first-mark.pl, which then ends the tool
#   rerun             the same source over a complete copy: the whole run
#   whole comparison  the after binary alone, on a smaller file (256 MiB) whose complete
#                     destination is older than the source, so that it compares it whole
#   fresh copy        the after binary, the same file with no destination
#
# Mounts: ssh and smb are the share lab's sshfs and smbnetfs on this host (tools/share-lab,
# the delay made by its proxy); cifs and nfs4 are the kernel's clients in the qemu guest of
# tools/vm-lab (no network device; netem delays its loopback, checked with ping), one boot
# per mount. Run from anywhere in a clone:
#
#   ZOBRET_RESUME_BEFORE=/tmp/zobret-before ZOBRET_RESUME_AFTER=/tmp/zobret-after \
#     sudo -E bench/resume.sh            # ssh on the host, then cifs in the guest: 5 rounds,
#                                        # about 35 minutes (ssh 10, cifs 25)
#   ... bench/resume.sh --host           # only the host's mounts of the list
#   ... bench/resume.sh --vm             # only the guest's
#   ZOBRET_RESUME_MIB=64 ZOBRET_RESUME_COMPARE_MIB=32 ZOBRET_RESUME_ROUNDS=1 ... # a quick try
#
# Every run gets files of a new name, made on the server's side of the share (its export
# folder): a download's source is a new hard link to the one source, a destination is a new
# copy (or none, for the fresh copy): no client has anything of them cached. Before each
# run: sync, and in the guest a dropped page cache. After each: a run that ends must exit 0
# with " Complete." and a destination equal to the source; a run ended at its first new byte
# must leave a destination that is still the source's prefix; only the whole comparison may
# log "comparing all". A failed check ends the bench. Untimed runs come first: each way, a
# first new byte by each binary and a whole comparison (the connection learns the delay, the
# guest's emulated CPU translates the code's paths: without them the first timed run of a
# boot took twice as long as the same run later). Prints a table per mount (median of the
# rounds, min-max) and a summary; the times of every run and the guest's output stay in
# ZOBRET_RESUME_OUT.
#
# Environment: ZOBRET_RESUME_BEFORE (required) and ZOBRET_RESUME_AFTER (default: the release
# preset's binary, built first): the two binaries; ZOBRET_RESUME_ROUNDS (5);
# ZOBRET_RESUME_MOUNTS ("ssh cifs"); ZOBRET_RESUME_RTT (the round trip in ms, 50);
# ZOBRET_RESUME_MIB (the source, 1024); ZOBRET_RESUME_THERE_MIB (what the destination of the
# first new byte holds, 3/4 of the source); ZOBRET_RESUME_COMPARE_MIB (the file of the whole
# comparison and the fresh copy, 256; smbnetfs moves about 2 MB/s at 50 ms: give it less);
# ZOBRET_RESUME_OUT (build/resume in the clone); ZOBRET_BENCH_DIR (the host's work folder,
# /var/tmp); ZOBRET_RESUME_VM_TIMEOUT (seconds per boot, 5400); ZOBRET_VM_DISK (the guest's
# data disk, 8G here); SHARE_LAB_PORT. The host's mounts need root and the share lab's
# packages (samba smbnetfs sshfs openssh-server openssh-client fuse3 perl); the guest's need
# tools/vm-lab's image. Also needs perl and bsdextrautils (column). Progress goes to stderr,
# the tables to stdout.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"                 # in the guest too: its vm-lab run takes it along
me=resume
mib=$((1024 * 1024))
declare -A bin=()

# --- the runs, on the host and in the guest alike -----------------------------------------
# Set by the caller: mount, rtt, ping, rounds, src_mib, there_mib, cmp_mib, near (a folder
# on the local disk), share (the mount's folder), served (the folder the server exports),
# out_dir (times.tsv and the last run's log), reader (first-mark.pl), bin[before|after],
# settle (a function run before each timed run).

fail() {
  say "resume: $*"
  [[ -r $out_dir/run.log ]] && tail -n 5 "$out_dir/run.log" | cut -c1-200 >&2
  exit 1
}

# age FILE MINUTES: FILE's modification time MINUTES ago.
age() { touch -d "@$(($(date +%s) - $2 * 60))" "$1"; }

# place NAME MASTER DIRECTION: the paths of one run. Sets from and to (the tool's
# arguments) and dst (the destination as the local disk or the server's side shows it).
place() {
  if [[ $3 == download ]]; then
    ln "$2" "$served/$1-src.bin"
    from=$share/$1-src.bin to=$near/$1.bin dst=$near/$1.bin
  else
    from=$2 to=$share/$1.bin dst=$served/$1.bin
  fi
}

# run MEASURE TOOL DIRECTION ROUND: prepares, times and checks one run; a line into times.tsv.
run() {
  local measure=$1 tool=$2 direction=$3 r=$4 name=$1-$2-$3-$4 master=$near/src.bin
  local size=$src_mib there t t0 rc have log=$out_dir/run.log
  case $measure in compare | fresh) master=$near/cmp-src.bin size=$cmp_mib ;; esac
  place "$name" "$master" "$direction"
  case $measure in
    first) there=$there_mib; dd if="$master" of="$dst" bs=1M count="$there" status=none ;;
    rerun) there=$size; cp "$master" "$dst" ;;
    compare) there=$size; cp "$master" "$dst"; age "$dst" 120 ;;  # older than the source
    fresh) there=0 ;;
  esac
  $settle
  if [[ $measure == first ]]; then
    t=$(perl "$reader" "$log" 600 "${bin[$tool]}" "$from" "$to") ||
      fail "$tool, $direction: no first new byte"
    have=$(stat -c %s "$dst")
    if ((have < there * mib)) || ! cmp -s -n "$have" "$master" "$dst"; then
      fail "$tool, $direction: the destination is no longer the source's prefix"
    fi
  else
    t0=$EPOCHREALTIME rc=0
    "${bin[$tool]}" "$from" "$to" >"$log" 2>&1 || rc=$?
    t=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }')
    ((rc == 0)) || fail "$measure by $tool, $direction: exit status $rc"
    grep -q ' Complete\.$' "$log" || fail "$measure by $tool, $direction: no \" Complete.\""
    cmp -s "$master" "$dst" || fail "$measure by $tool, $direction: the destination differs"
  fi
  if [[ $measure == compare ]]; then
    grep -q 'comparing all' "$log" || fail "$tool, $direction: the destination was not compared"
  elif grep -q 'comparing all' "$log"; then
    fail "$measure by $tool, $direction: the destination, the source's prefix, was compared whole"
  fi
  rm -f "$dst" "$served/$name-src.bin"
  say "resume:   round $r, $direction, $measure by $tool: $t s"
  [[ $r == warm-up ]] && return 0
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$mount" "$rtt" "$ping" "$direction" \
    "$measure" "$tool" "$r" "$t" "$size" "$there" >>"$out_dir/times.tsv"
}

# warm_up: untimed, each way, a first new byte by each binary and a whole comparison.
warm_up() {
  local direction tool
  for direction in download upload; do
    for tool in before after; do run first "$tool" "$direction" warm-up; done
    run compare after "$direction" warm-up
  done
}

# bench_mount: the sources, the warm-up, then every round of both directions; in round r the
# binaries take turns (the after binary first in odd rounds), and so do the comparison and
# the fresh copy.
bench_mount() {
  local direction r tool began=$SECONDS
  local -a pair
  say "resume: $mount, round trip $rtt ms (ping $ping ms): $src_mib MiB, $there_mib of them" \
    "there; $cmp_mib MiB compared"
  : >"$out_dir/times.tsv"
  head -c $((src_mib * mib)) /dev/urandom >"$near/src.bin"
  head -c $((cmp_mib * mib)) /dev/urandom >"$near/cmp-src.bin"
  age "$near/src.bin" 60
  age "$near/cmp-src.bin" 60
  warm_up
  for direction in download upload; do
    for ((r = 0; r < rounds; r++)); do
      say "resume: $mount $direction, round $r of $rounds ($((SECONDS - began)) s in this part)"
      pair=(before after)
      ((r % 2 == 0)) || pair=(after before)
      for tool in "${pair[@]}"; do run first "$tool" "$direction" "$r"; done
      for tool in "${pair[@]}"; do run rerun "$tool" "$direction" "$r"; done
      if ((r % 2 == 0)); then
        run compare after "$direction" "$r"; run fresh after "$direction" "$r"
      else
        run fresh after "$direction" "$r"; run compare after "$direction" "$r"
      fi
    done
  done
  rm -f "$near/src.bin" "$near/cmp-src.bin"
}

# --- in the guest of tools/vm-lab ------------------------------------------------------------

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }  # nothing of any file cached

# --guest MOUNT ROUNDS RTT SRC_MIB THERE_MIB CMP_MIB
if [[ ${1:-} == --guest ]]; then
  mount=$2 rounds=$3 rtt=$4 src_mib=$5 there_mib=$6 cmp_mib=$7
  near=$LAB_LOCAL out_dir=$LAB_OUT reader=$LAB_IN/first-mark.pl settle=drop_caches
  bin[before]=$LAB_IN/zobret-before bin[after]=$LAB_IN/zobret-after
  share=$(lab mount "$mount")
  served=$(lab export "$mount")
  lab delay $((rtt / 2))                   # on the way out and back: the round trip
  ping=$(ping -c 5 -i 0.2 -q 127.0.0.1 | awk -F/ '/^rtt/ { printf "%.1f", $5 }')
  bench_mount
  lab delay 0
  exit
fi

# --- on the host -----------------------------------------------------------------------------

sync_host() { sync -f "$near"; }           # the last run's bytes on disk, not in the next

root=$(cd "$here/.." && pwd)
lab=$root/tools/share-lab
rounds=${ZOBRET_RESUME_ROUNDS:-5}
mounts=${ZOBRET_RESUME_MOUNTS:-ssh cifs}
rtt=${ZOBRET_RESUME_RTT:-50}
src_mib=${ZOBRET_RESUME_MIB:-1024}
there_mib=${ZOBRET_RESUME_THERE_MIB:-$((src_mib * 3 / 4))}
cmp_mib=${ZOBRET_RESUME_COMPARE_MIB:-256}
out=${ZOBRET_RESUME_OUT:-$root/build/resume}
reader=$here/first-mark.pl

host_mounts=() vm_mounts=()
for m in $mounts; do
  case $m in
    ssh | smb) [[ ${1:-} == --vm ]] || host_mounts+=("$m") ;;
    cifs | nfs4) [[ ${1:-} == --host ]] || vm_mounts+=("$m") ;;
    *) say "resume: unknown mount $m (ssh smb cifs nfs4)"; exit 2 ;;
  esac
done
case ${1:-} in '' | --host | --vm) ;; *) say "usage: bench/resume.sh [--host | --vm]"; exit 2 ;; esac
((there_mib > 0 && there_mib < src_mib)) ||
  { say "resume: ZOBRET_RESUME_THERE_MIB must lie between 0 and ZOBRET_RESUME_MIB"; exit 2; }
((${#host_mounts[@]} == 0 || EUID == 0)) ||
  die "must run as root (the share lab mounts FUSE file systems)"
for tool in column cmp perl; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done

before=${ZOBRET_RESUME_BEFORE:-}
after=${ZOBRET_RESUME_AFTER:-}
[[ -n $before ]] || { say "resume: set ZOBRET_RESUME_BEFORE to the binary before the change"; exit 2; }
if [[ -z $after ]]; then
  say "resume: building the release binary"
  (cd "$root" && CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} cmake --workflow --preset release) >&2
  after=$root/build/release/zobret
fi
for b in "$before" "$after"; do [[ -x $b ]] || die "no program at $b"; done

bench_work resume
# the binaries under fixed names, which the guest's runs use too
cp "$before" "$work/zobret-before"
cp "$after" "$work/zobret-after"
bin[before]=$work/zobret-before bin[after]=$work/zobret-after

rm -rf "$out"
mkdir -p "$out"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$SECONDS

for mount in "${host_mounts[@]}"; do
  say "resume: bringing up the share lab for $mount ($((SECONDS - started)) s so far)"
  # the delay is one way: half the round trip
  share=$(SHARE_LAB_DELAY_MS=$((rtt / 2)) "$lab" up "$mount" "$work/lab") ||
    die "the share lab did not come up"
  served=$("$lab" export "$work/lab")
  near=$work/near out_dir=$out/$mount ping=- settle=sync_host
  mkdir -p "$near" "$out_dir"
  bench_mount
  "$lab" down "$work/lab"
  rm -rf "$work/lab" "$near"
done

for mount in "${vm_mounts[@]}"; do
  say "resume: booting the guest for $mount ($((SECONDS - started)) s so far)"
  # the guest's output is its progress: to stderr
  ZOBRET_VM_TIMEOUT=${ZOBRET_RESUME_VM_TIMEOUT:-5400} ZOBRET_VM_DISK=${ZOBRET_VM_DISK:-8G} \
    "$root/tools/vm-lab" run -f "$here/lib.sh" -f "$root/tools/common.sh" -f "${bin[before]}" \
    -f "${bin[after]}" -f "$reader" \
    -o "$out/$mount" "$here/resume.sh" --guest "$mount" "$rounds" "$rtt" "$src_mib" "$there_mib" \
    "$cmp_mib" >&2 ||
    die "the guest's run for $mount failed; its output is in $out/$mount"
done

# --- the tables ------------------------------------------------------------------------------

# report MODE: from the times of every run (out/MOUNT/times.tsv: mount, rtt, ping,
# direction, measure, tool, round, seconds, MiB, MiB there), a tab-separated table: with
# MODE a mount, that mount's rows; with MODE "summary", a row per mount and direction.
report() {
  local m
  for m in "${host_mounts[@]}" "${vm_mounts[@]}"; do cat "$out/$m/times.tsv"; done | awk -F'\t' -v mode="$1" -v mib="$mib" '
    function stats(key,   n, v, i, j, t) {       # sets med, lo, hi; 0 when there is no run
      if (!(key in times)) return 0
      n = split(times[key], v, " ")
      for (i = 2; i <= n; i++)                   # insertion sort: a few rounds
        for (j = i; j > 1 && v[j] + 0 < v[j - 1] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
      med = n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
      lo = v[1]; hi = v[n]
      return 1
    }
    function median(key) { return stats(key) ? med : 0 }
    function mbs(key, t) { t = median(key); return t > 0 ? sprintf("%.1f", size[key] * mib / t / 1e6) : "-" }
    function delta(a, b) { return a > 0 && b > 0 ? sprintf("%+.3f", a - b) : "-" }
    function ratio(a, b) { return a > 0 && b > 0 ? sprintf("%.2f", a / b) : "-" }
    function sec(t) { return t > 0 ? sprintf("%.3f", t) : "-" }
    {
      key = $1 SUBSEP $4 SUBSEP $5 SUBSEP $6
      times[key] = times[key] " " $8
      size[key] = $9; there[key] = $10
      if (!($1 in rtt)) { mounts[++nmounts] = $1; rtt[$1] = $2; ping[$1] = $3 }
    }
    END {
      split("first rerun compare fresh", measures, " ")
      label["first"] = "first new byte"; label["rerun"] = "rerun, complete"
      label["compare"] = "whole comparison"; label["fresh"] = "fresh copy"
      split("download upload", dirs, " ")
      split("before after", tools, " ")
      if (mode != "summary") {
        print "measure\tdirection\tbinary\tMiB there/of\ts median\tmin-max\tMB/s\tafter-before s\tafter/before"
        for (i = 1; i <= 4; i++) for (d = 1; d <= 2; d++) for (k = 1; k <= 2; k++) {
          m = measures[i]; key = mode SUBSEP dirs[d] SUBSEP m SUBSEP tools[k]
          if (!stats(key)) continue
          rate = m == "compare" || m == "fresh" ? mbs(key) : "-"
          vs = "-\t-"
          if (tools[k] == "after" && (m == "first" || m == "rerun")) {
            b = median(mode SUBSEP dirs[d] SUBSEP m SUBSEP "before")
            stats(key)
            vs = delta(med, b) "\t" ratio(med, b)
          }
          printf "%s\t%s\t%s\t%s/%s\t%.3f\t%.3f-%.3f\t%s\t%s\n", label[m], dirs[d], tools[k],
            there[key], size[key], med, lo, hi, rate, vs
        }
        exit
      }
      print "mount\trtt ms\tping ms\tdirection\tfirst byte s: before\tafter\tafter-before" \
        "\trerun s: before\tafter\tafter-before\tcomparison MB/s\tfresh copy MB/s\tcomparison/fresh"
      for (n = 1; n <= nmounts; n++) for (d = 1; d <= 2; d++) {
        p = mounts[n] SUBSEP dirs[d] SUBSEP
        fb = median(p "first" SUBSEP "before"); fa = median(p "first" SUBSEP "after")
        rb = median(p "rerun" SUBSEP "before"); ra = median(p "rerun" SUBSEP "after")
        c = mbs(p "compare" SUBSEP "after"); f = mbs(p "fresh" SUBSEP "after")
        printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", mounts[n], rtt[mounts[n]],
          ping[mounts[n]], dirs[d], sec(fb), sec(fa), delta(fa, fb), sec(rb), sec(ra), delta(ra, rb),
          c, f, c != "-" && f != "-" ? sprintf("%.2f", c / f) : "-"
      }
    }'
}

printf '# zobret resume benchmark, %s, rounds: %s, %d s\n' \
  "$(date -u '+%Y-%m-%d %H:%M UTC')" "$rounds" "$((SECONDS - started))"
printf '# host: %s cores, kernel %s; load average (1/5/15 min) %s at start, %s at end\n' \
  "$(nproc)" "$(uname -r)" "$load_start" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '# before: %s (sha256 %.12s); after: %s (sha256 %.12s)\n' "$before" \
  "$(sha256sum <"$before")" "$after" "$(sha256sum <"$after")"
printf '# first new byte: launch to the first new "." of a resume, %s of %s MiB there; rerun: a\n' \
  "$there_mib" "$src_mib"
printf '# whole run over a complete copy; the comparison and the fresh copy (after binary, %s MiB):\n' \
  "$cmp_mib"
printf '# MB/s of the file. Medians of the rounds; the times of every run: %s\n' "$out"
for mount in "${host_mounts[@]}" "${vm_mounts[@]}"; do
  echo
  printf '## %s, round trip %s ms\n' "$mount" "$rtt"
  report "$mount" | column -t -s $'\t'
done
echo
echo "## summary (medians)"
report summary | column -t -s $'\t'
