#!/usr/bin/env bash
# bench/distance.sh - zobret against cp and dd bs=1M through a distant share: downloads and
# uploads over the share lab's Samba (smbnetfs) and sshfs mounts, with round trips of 0, 10,
# 50 and 150 ms made by the lab's delay proxy (tools/share-lab, SHARE_LAB_DELAY_MS). Prints
# MB/s and the ratio to cp for every cell, then the targets. Run from anywhere in a clone:
#
#   sudo bench/distance.sh                 # 3 rounds per cell, about 25 minutes
#   ZOBRET_DISTANCE_ROUNDS=5 ZOBRET_DISTANCE_RTTS="50 150" ZOBRET_DISTANCE_MOUNTS=ssh \
#     sudo -E bench/distance.sh            # a part of the table, more rounds
#
# Each cell (mount, round trip, direction) times zobret, cp, dd bs=1M and, for the same
# guarantee as zobret's " Complete.", cp followed by a sync of the copy: alternately, round
# by round, each run after its own preparation (the old copy removed, then sync); the table
# shows the median of the rounds. The file size grows with the share's speed, so that each run takes
# a few seconds. Environment: ZOBRET_DISTANCE_BIN (a zobret to time instead of building the
# release preset), ZOBRET_DISTANCE_ALSO (LABEL=PROGRAM: one more zobret in the same rounds,
# e.g. an older build), ZOBRET_BENCH_DIR (where the work folder goes, default /var/tmp);
# SHARE_LAB_PORT reaches the lab. Needs root, the share lab's packages (samba smbnetfs sshfs
# openssh-server openssh-client fuse3 perl) and bsdextrautils (column). Progress goes to
# stderr, the table to stdout.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
lab=$root/tools/share-lab
rounds=${ZOBRET_DISTANCE_ROUNDS:-3}
rtts=${ZOBRET_DISTANCE_RTTS:-0 10 50 150}
mounts=${ZOBRET_DISTANCE_MOUNTS:-smb ssh}
mib=$((1024 * 1024))

say() { printf '%s\n' "$*" >&2; }
((EUID == 0)) || { say "distance: must run as root (the share lab mounts FUSE file systems)"; exit 1; }
for tool in column cmp dd cp; do
  command -v "$tool" >/dev/null || { say "distance: $tool is missing"; exit 1; }
done

bin=${ZOBRET_DISTANCE_BIN:-}
if [[ -z $bin ]]; then
  say "distance: building the release binary"
  (cd "$root" && CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} cmake --workflow --preset release) >&2
  bin=$root/build/release/zobret
fi
[[ -x $bin ]] || { say "distance: no zobret at $bin"; exit 1; }
also=${ZOBRET_DISTANCE_ALSO:-}
also_label=${also%%=*} also_bin=${also#*=}
if [[ -n $also && ! -x $also_bin ]]; then
  say "distance: no program at $also_bin"; exit 1
fi

work=$(mktemp -d "${ZOBRET_BENCH_DIR:-/var/tmp}/zobret-distance.XXXXXX")
cleanup() {
  [[ -r $work/lab/lab.conf ]] && "$lab" down "$work/lab" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# size_mib MOUNT DIRECTION RTT: the file for a cell, so that cp takes about 3 to 15 s (an
# upload through sshfs is several times faster than a download with cp).
size_mib() {
  case $1-$2-$3 in
    ssh-upload-0) echo 1024 ;;
    *-0) echo 512 ;;
    smb-*-10) echo 64 ;;
    smb-*-50) echo 32 ;;
    smb-*-150) echo 12 ;;
    ssh-download-10) echo 128 ;;
    ssh-download-50) echo 64 ;;
    ssh-download-150) echo 24 ;;
    ssh-upload-10) echo 512 ;;
    ssh-upload-50) echo 256 ;;
    ssh-upload-150) echo 96 ;;
    smb-*) echo $((1200 / $3 + 4)) ;;  # other round trips: about 128 KiB per round trip
    *) echo $((4000 / $3 + 8)) ;;
  esac
}

# time_cell NAME...: runs the commands cmd_NAME round by round, each after removing its
# destination ($to NAME.bin), and sets median[NAME] (seconds).
declare -A median
time_cell() {
  local name r t0 rc
  local -A times=()
  for ((r = 1; r <= rounds; r++)); do
    for name in "$@"; do
      rm -f "$to$name.bin"
      sync -f "$work"                       # the last run's bytes on disk, not in this one
      t0=$EPOCHREALTIME
      rc=0
      "cmd_$name" >"$work/out.txt" 2>&1 || rc=$?
      ((rc == 0)) || { say "distance: $name failed ($rc):"; tail -n 5 "$work/out.txt" >&2; exit 1; }
      times[$name]+="$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }') "
    done
  done
  for name in "$@"; do
    median[$name]=$(tr ' ' '\n' <<<"${times[$name]}" | grep . | sort -g |
      awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
    say "distance:   $name: ${times[$name]}s"
  done
}

rows=()
checks=()
mbs() { awk -v b="$bytes" -v t="$1" 'BEGIN { printf "%.2f", b / t / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }  # speed of a over b: time b / time a
check() {  # check WHAT VALUE GOAL: the goal is a lower bound
  checks+=("$1	$2	>= $3	$(awk -v x="$2" -v g="$3" 'BEGIN { print (x >= g ? "PASS" : "FAIL") }')")
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$SECONDS
names=(zobret cp dd cpsync)
[[ -n $also ]] && names+=(also)
for m in $mounts; do
  for rtt in $rtts; do
    # the delay is one way: half the round trip, rounded down to whole milliseconds
    share=$(SHARE_LAB_DELAY_MS=$((rtt / 2)) "$lab" up "$m" "$work/lab") ||
      { say "distance: the share lab did not come up"; exit 1; }
    served=$("$lab" export "$work/lab")
    for direction in download upload; do
      size=$(size_mib "$m" "$direction" "$rtt")
      bytes=$((size * mib))
      say "distance: $m $direction, round trip $rtt ms, $size MiB ($((SECONDS - started)) s so far)"
      head -c "$bytes" /dev/urandom >"$work/src.bin"
      if [[ $direction == download ]]; then
        ln "$work/src.bin" "$served/src.bin"
        for _ in $(seq 50); do [[ -e $share/src.bin ]] && break; sleep 0.1; done
        from=$share/src.bin to=$work/dl- check_in=$work/dl-
      else
        rm -f "$served/src.bin"
        from=$work/src.bin to=$share/up- check_in=$served/up-
      fi
      cmd_zobret() { "$bin" "$from" "${to}zobret.bin"; }
      cmd_cp() { cp "$from" "${to}cp.bin"; }
      cmd_dd() { dd if="$from" of="${to}dd.bin" bs=1M status=none; }
      # cp, then a sync of the copy: the guarantee zobret gives before " Complete."
      cmd_cpsync() { cp "$from" "${to}cpsync.bin" && sync "${to}cpsync.bin"; }
      cmd_also() { "$also_bin" "$from" "${to}also.bin"; }
      time_cell "${names[@]}"
      for name in "${names[@]}"; do
        cmp -s "$work/src.bin" "$check_in$name.bin" || { say "distance: the copy by $name differs"; exit 1; }
        rm -f "$to$name.bin"
      done
      row="$m	$direction	$rtt	$size	$(mbs "${median[zobret]}")	$(mbs "${median[cp]}")"
      row+="	$(mbs "${median[dd]}")	$(ratio "${median[zobret]}" "${median[cp]}")"
      row+="	$(ratio "${median[dd]}" "${median[cp]}")	$(mbs "${median[cpsync]}")"
      row+="	$(ratio "${median[zobret]}" "${median[cpsync]}")"
      [[ -n $also ]] &&
        row+="	$(mbs "${median[also]}")	$(ratio "${median[also]}" "${median[cp]}")"
      rows+=("$row")
      z=$(ratio "${median[zobret]}" "${median[cp]}")
      if [[ $m == smb && $direction == upload ]]; then
        check "$m $direction $rtt ms: zobret / cp" "$z" 1.00
      elif [[ $m == ssh && $direction == download && $rtt == 50 ]]; then
        check "$m $direction $rtt ms: zobret / cp" "$z" 3.00
      else
        check "$m $direction $rtt ms: zobret / cp" "$z" 0.95
      fi
    done
    "$lab" down "$work/lab"
    rm -rf "$work/lab"
  done
done

header="mount	direction	rtt(ms)	MiB	zobret(MB/s)	cp(MB/s)	dd(MB/s)	zobret/cp	dd/cp"
header+="	cp+sync(MB/s)	zobret/(cp+sync)"
[[ -n $also ]] && header+="	$also_label(MB/s)	$also_label/cp"
printf '# zobret distance benchmark, %s, %s rounds per cell, %d s\n' \
  "$(date -u '+%Y-%m-%d %H:%M UTC')" "$rounds" "$((SECONDS - started))"
printf '# machine: %s cores, kernel %s; load average (1/5/15 min) %s at start, %s at end\n' \
  "$(nproc)" "$(uname -r)" "$load_start" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '# MB/s = file size / median time of the rounds; a ratio is a speed over the speed of cp\n'
{ echo "$header"; printf '%s\n' "${rows[@]}"; } | column -t -s $'\t'
echo
{ echo "target	measured	goal	result"; printf '%s\n' "${checks[@]}"; } | column -t -s $'\t'
