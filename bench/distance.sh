#!/usr/bin/env bash
# bench/distance.sh - zobret against cp and dd bs=1M through a distant share: downloads and
# uploads over the share lab's Samba (smbnetfs) and sshfs mounts, with round trips of 0, 10,
# 50, 150, 300 and 600 ms made by the lab's delay proxy (tools/share-lab, SHARE_LAB_DELAY_MS)
# (the kernel clients with --vm: up to 300 ms). Prints
# MB/s and the ratio to cp for every cell, then the targets. Run from anywhere in a clone:
#
#   sudo bench/distance.sh                 # 3 rounds per cell, about 70 minutes
#   ZOBRET_DISTANCE_ROUNDS=5 ZOBRET_DISTANCE_RTTS="50 150" ZOBRET_DISTANCE_MOUNTS=ssh \
#     sudo -E bench/distance.sh            # a part of the table, more rounds
#   sudo bench/distance.sh --vm            # the kernel's cifs and NFS 4.2 clients in the
#                                          # qemu guest of tools/vm-lab, about 40 minutes
#
# Each cell (mount, round trip, direction) times zobret, cp, dd bs=1M and, for the same
# guarantee as zobret's " Complete.", cp followed by a sync of the copy: alternately, round
# by round, each run after its own preparation (the old copy removed, then sync); the table
# shows the median of the rounds. The file size grows with the share's speed, so that each run takes
# a few seconds. Environment: ZOBRET_DISTANCE_BIN (a zobret to time instead of building the
# release preset), ZOBRET_DISTANCE_ALSO (LABEL=PROGRAM: one more zobret in the same rounds,
# e.g. an older build; with --vm several, separated by spaces), ZOBRET_BENCH_DIR (where the work folder goes, default /var/tmp);
# SHARE_LAB_PORT reaches the lab. Needs root, the share lab's packages (samba smbnetfs sshfs
# openssh-server openssh-client fuse3 perl) and bsdextrautils (column). Progress goes to
# stderr, the table to stdout.
#
# --vm: the same cells through the kernel's own clients, cifs (SMB 3.1.1, the default mount)
# and NFS 4.2, in the qemu guest of tools/vm-lab (no network device; its servers listen on
# the guest's loopback, which netem delays by half the round trip, checked with ping). One
# boot per mount: the guest's emulated CPU runs up to 30% faster or slower from one boot to
# the next, so only the ratios of tools timed in the same boot mean something. Every copy
# starts from a dropped page cache (echo 3 >/proc/sys/vm/drop_caches in the guest) and
# writes a file of a new name, so the client has nothing cached, and is compared with its
# source; the tools take turns, each round starting one tool later. The binaries, the
# source and the logs stay on the guest's own disk. The guest's own output (the table of
# each boot and the times of every round) lands in a folder named at the end. Environment:
# ZOBRET_DISTANCE_VM_MOUNTS ("cifs nfs4"), ZOBRET_DISTANCE_VM_TOOLS (the tools to time
# besides the ALSO programs, "zobret cp cpsync dd"), ZOBRET_DISTANCE_VM_TIMEOUT (seconds per
# boot, 5400), ZOBRET_DISTANCE_VM_MIB (one file size for every cell, in MiB),
# ZOBRET_DISTANCE_VM_OUT (the folder for the guest's output, build/distance-vm
# in the clone), and the ROUNDS, RTTS, BIN and ALSO settings above.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"                 # in the guest too: vm_bench takes it along
me=distance
root=$(cd "$here/.." && pwd)
lab=$root/tools/share-lab
rounds=${ZOBRET_DISTANCE_ROUNDS:-3}
rtts=${ZOBRET_DISTANCE_RTTS:-0 10 50 150 300 600}
mounts=${ZOBRET_DISTANCE_MOUNTS:-smb ssh}
mib=$((1024 * 1024))

# --- in the guest of tools/vm-lab (--vm) ---------------------------------------------

# vm_size MOUNT DIRECTION RTT: the file for a cell, so that cp takes about 5 to 10 s in the
# guest (cp moved 40 MB/s near and 5 to 12 MB/s at 150 ms, NFS downloads the slowest).
vm_size() {
  case $1-$2-$3 in
    *-0 | *-10) echo 208 ;;
    cifs-*-50) echo 160 ;;
    cifs-*-150) echo 96 ;;
    nfs4-download-50) echo 96 ;;
    nfs4-download-150) echo 32 ;;
    nfs4-upload-50) echo 128 ;;
    nfs4-upload-150) echo 64 ;;
    *) echo $((4800 / $3 + 16)) ;;
  esac
}

# vm_copy NAME FROM TO: one copy by the tool NAME (zobret and the ALSO programs lie in
# $LAB_IN, the guest's disk).
vm_copy() {
  case $1 in
    cp) cp "$2" "$3" ;;
    cpsync) cp "$2" "$3" && sync "$3" ;;
    dd) dd if="$2" of="$3" bs=1M status=none ;;
    *) "$LAB_IN/${program[$1]}" "$2" "$3" ;;
  esac
}

# vm_rtt: the round trip on the guest's loopback in ms, the average of five pings.
vm_rtt() { ping -c 5 -i 0.2 -q 127.0.0.1 | awk -F/ '/^rtt/ { printf "%.1f", $5 }'; }

# vm_cell MOUNT DIRECTION RTT PING: times every tool on one file, ROUNDS times, the tools
# taking turns (round r starts with the r-th), each copy from a dropped cache to a new
# name and compared with its source; a line per copy into $LAB_OUT/times.tsv.
vm_cell() {
  local m=$1 direction=$2 rtt=$3 ping=$4 size from to check_in r j name file t0 rc
  local src=$LAB_LOCAL/src.bin
  size=$fixed_mib
  [[ $size != - ]] || size=$(vm_size "$m" "$direction" "$rtt")
  say "distance: $m $direction, round trip $rtt ms (ping $ping ms), $size MiB"
  head -c $((size * mib)) /dev/urandom >"$src"
  if [[ $direction == download ]]; then
    cp "$src" "$served/src.bin"
    from=$share/src.bin to=$LAB_LOCAL/ check_in=$LAB_LOCAL/
  else
    from=$src to=$share/ check_in=$served/
  fi
  # One copy untimed: the first after a new delay runs while the connection still learns
  # it (it took twice as long at 150 ms), which would slow whichever tool came first.
  cp "$from" "${to}warm-up.bin" && rm -f "${check_in}warm-up.bin"
  for ((r = 0; r < rounds; r++)); do
    for ((j = 0; j < ${#names[@]}; j++)); do
      name=${names[(r + j) % ${#names[@]}]}
      file=$name-$rtt-$direction-$r.bin
      sync
      echo 3 >/proc/sys/vm/drop_caches           # nothing of either file in any cache
      t0=$EPOCHREALTIME
      rc=0
      vm_copy "$name" "$from" "$to$file" >"$LAB_OUT/copy.out" 2>&1 || rc=$?
      t0=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }')
      if ((rc != 0)); then
        say "distance: $name failed ($rc):"; tail -n 5 "$LAB_OUT/copy.out" >&2; return 1
      fi
      cmp -s "$src" "$check_in$file" || { say "distance: the copy by $name differs"; return 1; }
      rm -f "$check_in$file"
      printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$m" "$direction" "$rtt" "$ping" "$size" \
        "$name" "$r" "$t0" >>"$LAB_OUT/times.tsv"
      say "distance:   $name: $t0 s"
    done
  done
  rm -f "$src" "$served/src.bin"
}

# vm_warm_up: every tool once each way on 32 MiB, untimed. The guest's emulated CPU
# translates each path through its kernel the first time it runs: the first copy of a boot
# took 2 to 3 s longer than the same copy after it.
vm_warm_up() {
  local name
  head -c $((32 * mib)) /dev/urandom >"$LAB_LOCAL/warm.bin"
  cp "$LAB_LOCAL/warm.bin" "$served/warm.bin"
  for name in "${names[@]}"; do
    if ! vm_copy "$name" "$share/warm.bin" "$LAB_LOCAL/warm-$name.bin" >/dev/null 2>&1 ||
       ! vm_copy "$name" "$LAB_LOCAL/warm.bin" "$share/warm-$name.bin" >/dev/null 2>&1; then
      say "distance: the warm-up copy by $name failed"
    fi
    rm -f "$LAB_LOCAL/warm-$name.bin" "$served/warm-$name.bin"
  done
  rm -f "$LAB_LOCAL/warm.bin" "$served/warm.bin"
}

# vm_guest MOUNT ROUNDS RTTS TOOLS MIB NAME=PROGRAM...: the cells of one mount in this
# boot (MIB: one size for every cell, or - for vm_size's).
vm_guest() {
  local m=$1 rtt ping direction pair
  rounds=$2 rtts=$3 fixed_mib=$5
  read -r -a names <<<"$4"
  shift 5
  declare -gA program=()
  for pair; do program[${pair%%=*}]=${pair#*=}; done
  share=$(lab mount "$m") || return 1
  served=$(lab export "$m")
  : >"$LAB_OUT/times.tsv"
  vm_warm_up
  for rtt in $rtts; do
    lab delay $((rtt / 2)) || return 1           # on the way out and back: the round trip
    ping=$(vm_rtt)
    for direction in download upload; do
      vm_cell "$m" "$direction" "$rtt" "$ping" || return 1
    done
  done
  lab delay 0
}

if [[ ${1:-} == --guest ]]; then
  shift
  vm_guest "$@"
  exit
fi

# --- on the host ----------------------------------------------------------------------

# The guest runs without root once its image is built (tools/vm-lab image, as root).
((EUID == 0)) || [[ ${1:-} == --vm ]] ||
  die "must run as root (the share lab mounts FUSE file systems)"
for tool in column cmp dd cp; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done

bin=${ZOBRET_DISTANCE_BIN:-}
if [[ -z $bin ]]; then
  say "distance: building the release binary"
  (cd "$root" && CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} cmake --workflow --preset release) >&2
  bin=$root/build/release/zobret
fi
[[ -x $bin ]] || die "no zobret at $bin"
also=${ZOBRET_DISTANCE_ALSO:-}
also_label=${also%%=*} also_bin=${also#*=}
if [[ -n $also && ${1:-} != --vm && ! -x $also_bin ]]; then
  die "no program at $also_bin"
fi

bench_work distance

# vm_report DIR: the table and the targets from the times of every boot (DIR/MOUNT/times.tsv):
# for each cell the median time of each tool, as MB/s and as a speed over cp's.
vm_report() {
  local labels
  labels=$(printf '%s ' "${also_labels[@]}")
  cat "$1"/*/times.tsv | awk -F'\t' -v mib="$mib" -v extra="$labels" '
    function median(key,   n, v, i, j, t) {
      if (!(key in times)) return 0                # a tool left out (ZOBRET_DISTANCE_VM_TOOLS)
      n = split(times[key], v, " ")
      for (i = 2; i <= n; i++)                   # insertion sort: a few rounds
        for (j = i; j > 1 && v[j] + 0 < v[j - 1] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    function mbs(t) { return t > 0 ? sprintf("%.2f", size[cell] * mib / t / 1e6) : "-" }
    function ratio(t, base) { return t > 0 && base > 0 ? sprintf("%.2f", base / t) : "-" }
    function check(what, value, goal) {
      checks[++nchecks] = what "\t" value "\t>= " goal "\t" (value + 0 >= goal ? "PASS" : "FAIL")
    }
    {
      cell = $1 "\t" $2 "\t" $3
      if (!(cell in size)) { order[++ncells] = cell; size[cell] = $5; ping[cell] = $4 }
      times[cell SUBSEP $6] = times[cell SUBSEP $6] " " $8
    }
    END {
      nx = split(extra, x, " ")
      head = "mount\tdirection\trtt(ms)\tping(ms)\tMiB\tzobret(MB/s)\tcp(MB/s)\tdd(MB/s)\tzobret/cp"
      head = head "\tdd/cp\tcp+sync(MB/s)\tzobret/(cp+sync)"
      for (i = 1; i <= nx; i++) head = head "\t" x[i] "(MB/s)\t" x[i] "/cp"
      print head
      for (c = 1; c <= ncells; c++) {
        cell = order[c]
        z = median(cell SUBSEP "zobret"); cp = median(cell SUBSEP "cp")
        dd = median(cell SUBSEP "dd"); cs = median(cell SUBSEP "cpsync")
        split(cell, k, "\t")
        line = cell "\t" ping[cell] "\t" size[cell] "\t" mbs(z) "\t" mbs(cp) "\t" mbs(dd)
        line = line "\t" ratio(z, cp) "\t" ratio(dd, cp) "\t" mbs(cs) "\t" ratio(z, cs)
        for (i = 1; i <= nx; i++) { a = median(cell SUBSEP x[i]); line = line "\t" mbs(a) "\t" ratio(a, cp) }
        print line
        what = k[1] " " k[2] " " k[3] " ms: zobret / cp"
        if (k[1] == "nfs4" && k[2] == "download" && k[3] >= 10) check(what, ratio(z, cp), "2.00")
        else check(what, ratio(z, cp), "0.97")
      }
      print ""
      print "target\tmeasured\tgoal\tresult"
      for (i = 1; i <= nchecks; i++) print checks[i]
    }' >"$1/table.tsv"
  # The cells, a blank line, the targets: each part aligned on its own.
  sed '/^$/,$d' "$1/table.tsv" | column -t -s $'\t'
  echo
  sed '1,/^$/d' "$1/table.tsv" | column -t -s $'\t'
}

# vm_bench: one boot of the guest per mount, all its cells in that boot; then the table.
vm_bench() {
  local out=${ZOBRET_DISTANCE_VM_OUT:-$root/build/distance-vm} m entry label program started
  local -a files=(-f "$here/lib.sh" -f "$root/tools/common.sh" -f "$bin") guest_tools=("zobret=$(basename "$bin")")
  local tools=${ZOBRET_DISTANCE_VM_TOOLS:-zobret cp cpsync dd}
  rtts=${ZOBRET_DISTANCE_RTTS:-0 10 50 150 300}  # past 300 ms a guest's cell takes minutes
  also_labels=()
  for entry in $also; do                           # LABEL=PROGRAM, several allowed here
    label=${entry%%=*} program=${entry#*=}
    [[ -x $program ]] || die "no program at $program"
    [[ $(basename "$program") != "$(basename "$bin")" ]] ||
      die "$program has the name of the zobret binary in the guest"
    files+=(-f "$program") guest_tools+=("$label=$(basename "$program")") also_labels+=("$label")
  done
  rm -rf "$out"
  mkdir -p "$out"
  load_start=$(cut -d' ' -f1-3 /proc/loadavg)
  started=$SECONDS
  for m in ${ZOBRET_DISTANCE_VM_MOUNTS:-cifs nfs4}; do
    say "distance: booting the guest for $m ($((SECONDS - started)) s so far)"
    # the guest's output is its progress: to stderr
    ZOBRET_VM_TIMEOUT=${ZOBRET_DISTANCE_VM_TIMEOUT:-5400} "$root/tools/vm-lab" run "${files[@]}" \
      -o "$out/$m" "$here/distance.sh" --guest "$m" "$rounds" "$rtts" "$tools ${also_labels[*]}" \
      "${ZOBRET_DISTANCE_VM_MIB:--}" "${guest_tools[@]}" >&2 ||
      die "the guest's run for $m failed; its output is in $out/$m"
  done
  printf '# zobret distance benchmark, kernel clients in a qemu guest, %s, %s rounds per cell, %d s\n' \
    "$(date -u '+%Y-%m-%d %H:%M UTC')" "$rounds" "$((SECONDS - started))"
  printf '# host: %s cores, kernel %s; load average (1/5/15 min) %s at start, %s at end\n' \
    "$(nproc)" "$(uname -r)" "$load_start" "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf '# one boot per mount; MB/s = file size / median time of the rounds; a ratio is a speed\n'
  printf '# over the speed of cp in the same boot; the times of every round: %s\n' "$out"
  vm_report "$out"
}

if [[ ${1:-} == --vm ]]; then
  vm_bench
  exit
fi

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
      die "the share lab did not come up"
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
        cmp -s "$work/src.bin" "$check_in$name.bin" || die "the copy by $name differs"
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
