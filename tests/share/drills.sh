#!/usr/bin/env bash
# drills.sh - zobret through real network shares whose server goes away mid-copy.
#
#   tests/share/drills.sh ZOBRET [WORKDIR]
#
# On a Samba share (smbnetfs) and an sshfs mount that tools/share-lab brings up on 127.0.0.1,
# each drill of the table below copies one random file (256 MiB unless SHARE_DRILL_MIB says
# otherwise) and must end with " Complete.", exit status 0, a destination byte-identical to
# the source (to the new one where the source was replaced) and every event mid-copy. No
# copy outruns its events: the tool writes its marks as it copies, into a pipe of one page
# read by a gate (gate.pl) that stops the tool (SIGSTOP) once the destination has passed
# the next mark, and the tool blocks while a page of marks (a few MiB of copy) is unread,
# however late the gate runs. The lab drops or hangs the server while the tool stands
# still; the tool then goes on while the server stays away. The table at the end shows the
# attempts, the longest time between two attempts (without the time the tool stood still),
# the lines per second while the share was away and the time against a plain cp.
#
# Exit status: 0 all passed, 1 a drill failed, 77 skipped (not root, no FUSE, no packages).
# Environment: SHARE_DRILL_MIB (file size, 32 or more), SHARE_DRILL_MOUNTS ("smb ssh"),
# SHARE_DRILL_DOWN (seconds a dropped server stays down, 4: twice the time smbnetfs waits for
# a server before a read fails, so that the drop is seen), SHARE_DRILL_HANG (seconds a hung
# server stays stopped, 8), SHARE_DRILL_BUDGET (seconds for the whole run, 280),
# SHARE_DRILL_OUTAGE (seconds a server stays away in the outage rows; unset: no such rows),
# SHARE_DRILL_ONLY (a pattern for the drills to run, e.g. "ssh-download"), SHARE_DRILL_KEEP
# (keep a destination that came out wrong, as LOG.dest in WORKDIR/logs). The lab's own
# settings (SHARE_LAB_*, such as SHARE_LAB_DELAY_MS) reach it unchanged.
set -uo pipefail
# shellcheck source=drill_lib.sh
source "$(dirname "$0")/drill_lib.sh"

# The drills: direction, event (drop: the server killed and restored, hang: stopped and
# continued, kill: the tool killed and started again, replace: the server killed, the
# source renamed over by another file of its size in the export, the server restored),
# what the output must show (read: a read error, any: some error, -: nothing asked), the
# quarters of the file where it happens.
# An outage (the server killed for SHARE_DRILL_OUTAGE seconds, where set) also shows what the
# tool wrote and spent while the server was away.
drills=("download drop read 1 2 3" "upload drop any 1 2 3" "download hang - 1" "download kill - 2"
        "download replace - 2" "download outage any 2" "upload outage any 2")
declare -A undo=([drop]=restore [hang]=resume [outage]=restore)   # what ends an event
declare -A take=([drop]=drop [hang]=hang [outage]=drop)           # what begins it

skip() { echo "SKIP: $*"; exit 77; }
skip_row() { [[ $2 == outage ]] && ((away[outage] == 0)); }

if [[ $# -lt 1 || ! -x $1 ]]; then
  echo "usage: $0 ZOBRET [WORKDIR]" >&2
  exit 2
fi
zobret=$(realpath "$1")
lab=$(cd "$(dirname "$0")/../../tools" && pwd)/share-lab
work=${2:-${TMPDIR:-/tmp}/zobret-share-drills}
mib=${SHARE_DRILL_MIB:-256}
mounts=${SHARE_DRILL_MOUNTS:-smb ssh}
declare -A away=([drop]=${SHARE_DRILL_DOWN:-4} [hang]=${SHARE_DRILL_HANG:-8} [outage]=${SHARE_DRILL_OUTAGE:-0})
set_budget "${SHARE_DRILL_BUDGET:-280}"
fifo=$work/out.pipe source_file=$work/source.bin keep_wrong=${SHARE_DRILL_KEEP:-}

((EUID == 0)) || skip "the share drills need root (they run smbd and sshd and mount FUSE file systems)"
[[ -c /dev/fuse ]] || skip "no /dev/fuse, so no FUSE mounts here"
for prog in smbd smbnetfs sshfs /usr/sbin/sshd ssh ssh-keygen fusermount mountpoint setsid timeout perl; do
  command -v "$prog" >/dev/null ||
    skip "$prog is missing (apt-get install samba smbnetfs sshfs openssh-server openssh-client fuse3)"
done

labs_down() { local m; for m in smb ssh; do [[ ! -r $work/$m/lab.conf ]] || "$lab" down "$work/$m"; done; }

cleanup() {
  reap KILL
  wait 2>/dev/null
  labs_down
  rm -f "$work"/*.bin "$work"/*/export/*.bin "$work"/local/*.bin
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# describe SOURCE COPY: the stretches where COPY differs from SOURCE (the first 8 and the
# last 4), whether the copy holds zeros there, and how far each ends before the next point
# an attempt resumed at.
describe() {
  local resumes
  resumes=$(sed -n 's/.*Destination file: .* (\([0-9]*\) of .*/\1/p' "${logs[@]/%/.out}" | sort -n | tr '\n' ' ')
  cmp -l "$1" "$2" 2>&1 | awk -v resumes="$resumes" '
    function flush() {
      if (!n) return
      t = sprintf("%d bytes differ in [%d, %d)%s", n, first - 1, last, nonzero ? "" : ", zeros in the copy")
      for (r = 1; r <= nr; r++) if (k[r] + 0 >= last) {
        t = t sprintf(", %d bytes before a resume at %d", k[r] - last, k[r]); break }
      told[++stretches] = t; n = nonzero = 0
    }
    BEGIN { nr = split(resumes, k, " ") }
    n && $1 > last + 4096 { flush() }
    { if (!n) first = $1; last = $1; n++; if ($3 != 0) nonzero++ }
    END {
      flush()
      for (i = 1; i <= stretches; i++) {
        if (i == 9 && stretches > 13) { s = s "; ... " stretches - 12 " more ..."; i = stretches - 4; continue }
        s = s (i > 1 ? "; " : "") told[i]
      }
      print stretches + 0 " stretch(es): " s
    }'
}

lab_do() { "$lab" "$1" "$d" || fail "the lab could not $1 the server"; }

at_stop() {                                    # the tool stands still at a mark
  events+=" $event@$(mib_of "$1")MiB"
  (($1 < total)) || fail "the copy was complete before the $event"
  case $event in
    kill) reap KILL ;;
    replace) outage drop restore "${away[drop]}" replace_source "$served" "$name" ;;
    *) outage "${take[$event]}" "${undo[$event]}" "${away[$event]}" ;;
  esac
}

# drill MOUNT DIRECTION EVENT SHOWS QUARTER...: one row of the table on one mount.
drill() {
  local m=$1 dir=$2 event=$3 shows=$4 q
  shift 4
  local d=$work/$m name=$dir-$event share served src dst watch log expected=$source_file
  local -a marks=() logs=()
  for q; do marks+=($((q * total / 4))); done
  share=$("$lab" path "$d") served=$("$lab" export "$d")
  log=$work/logs/$m-$name
  if [[ $dir == download ]]; then
    ln -f "$source_file" "$served/$name.bin"     # a new name: nothing of it is cached yet
    src=$share/$name.bin dst=$work/local/$name.bin watch=$dst
  else
    src=$source_file dst=$share/$name.bin watch=$served/$name.bin
  fi
  rm -f "$dst" "$watch"
  [[ $event != replace ]] || { new_source "$served" "$name" && expected=$served/$name.bin; }

  local limit=$(($(now) + (100 + away[outage]) * 1000000)) t0 t1 late=0 hits=0 attempts=0 gap=0
  local down_us=0 down_lines=0 down_bytes=0 down_cpu=0 problem='' events='' again=''
  ((limit > deadline)) && limit=$deadline
  [[ $event == kill ]] && again=rerun
  t0=$(now)
  run_tool "$limit" "$again" "$src" "$dst" "$watch" "${marks[@]}"
  t1=$(now)

  # the verdict
  the_end "$expected" "$watch"
  ((hits == ${#marks[@]})) || fail "only $hits of ${#marks[@]} ${event}s happened before the copy ended"
  [[ $event != drop ]] || ((attempts > hits)) || fail "$hits drops but only $attempts attempts"
  [[ $shows != read ]] || grep -qF " ERROR: An erorr occured while reading the file $src." "$log.err" ||
    fail "the output shows no read error"
  [[ $shows != any ]] || grep -q ' ERROR: ' "$log.err" || fail "the output shows no error"

  local rate='-' away_text=''
  ((down_us > 0)) && rate=$((down_lines * 1000000 / down_us)) &&
    away_text="; $down_lines lines ($down_bytes bytes) and $(secs "$down_cpu") s of CPU in $(secs "$down_us") s while away"
  report "$m" "$name" 4 "$(printf '%8d %9s %9s %9s %9s' "$attempts" "$(secs "$gap")" "$rate" \
    "$(secs $((t1 - t0)))" "$(secs "${cp_time[$m-$dir]}")")" "events:${events:- none}$away_text"
  rm -f "$served/$name.bin" "$served/$name-new.bin" "$work/local/$name.bin"
}

# --- the run --------------------------------------------------------------------------

labs_down                                   # the labs of an earlier run that was killed
rm -rf "$work/logs" "$work/local" "$fifo"
mkdir -p "$work/logs" "$work/local" && mkfifo "$fifo" || exit 1
total=$((mib * 1024 * 1024))
echo "zobret share drills: $zobret, a $mib MiB file, work in $work"
head -c "$total" /dev/urandom >"$source_file" || exit 1

for m in $mounts; do
  if ! share=$("$lab" up "$m" "$work/$m"); then
    echo "[$m] FAIL: the share lab did not come up; its logs:"
    tail -n 20 "$work/$m"/log/* 2>/dev/null
    failures=$((failures + 1))
    continue
  fi
  echo "[$m] share at $share"
  yardstick "$m" "$share" "$("$lab" export "$work/$m")" "$work/local" ln -f
  each_row "$m" "${SHARE_DRILL_ONLY:-.}" "$m"
  "$lab" down "$work/$m"
done

table "mount drill            result attempts  gap(s)  lines/s  total(s)    cp(s)"
