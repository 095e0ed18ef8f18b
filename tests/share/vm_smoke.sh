#!/usr/bin/env bash
# vm_smoke.sh - zobret through the kernel's own cifs and NFS clients in the qemu guest of
# tools/vm-lab: proof that the lab works, before any drill.
#
#   tests/share/vm_smoke.sh ZOBRET [OUTDIR]
#
# On the host it boots the guest with ZOBRET (and itself) inside; in the guest it mounts
# cifs (SMB 3.1.1), NFS 4.2 and NFS 3 over 127.0.0.1 and copies a random file (64 MiB, or
# VM_SMOKE_MIB) with zobret and with cp in both directions on each: download from the share
# to the guest's disk, upload from that disk to the share. Each copy must be byte-identical
# (cmp). Then it checks the lab's own commands: a delay on loopback (ping), and each server
# stopped, killed, hung or cut off and brought back, with a mount that answers afterwards.
# Prints a table of the copy times. The guest's logs land in OUTDIR when given.
# Exit status: 0 passed, 1 failed, 77 skipped (no root to build the guest image, no qemu).
set -uo pipefail

now() { echo "${EPOCHREALTIME/./}"; }                      # microseconds
secs() { printf '%d.%02d' $(($1 / 1000000)) $(($1 % 1000000 / 10000)); }

# --- on the host: start the guest with the binary and this script ---------------------

if [[ -z ${LAB_IN:-} ]]; then
  if [[ $# -lt 1 || ! -x $1 ]]; then
    echo "usage: $0 ZOBRET [OUTDIR]" >&2
    exit 2
  fi
  lab=$(cd "$(dirname "$0")/../../tools" && pwd)/vm-lab
  if ((EUID != 0)) && ! { "$lab" path && command -v qemu-system-x86_64; } >/dev/null; then
    echo "SKIP: no guest image or no qemu, and making them needs root (tools/vm-lab image)"
    exit 77
  fi
  out=()
  [[ -n ${2:-} ]] && out=(-o "$2")
  exec "$lab" run "${out[@]}" -f "$1" "$0" "$(basename "$1")" "${VM_SMOKE_MIB:-64}"
fi

# --- in the guest ---------------------------------------------------------------------

zobret=$LAB_IN/$1
mib=${2:-64}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# timed NAME CMD...: run CMD, record its time in t[NAME]; a failure is reported.
declare -A t=()
timed() {
  local name=$1 t0 rc
  shift
  sync; echo 3 >/proc/sys/vm/drop_caches                 # every copy starts from the disk
  t0=$(now)
  "$@" >"$LAB_OUT/$name.out" 2>&1
  rc=$?
  t[$name]=$(($(now) - t0))
  ((rc == 0)) || { fail "$name: exit status $rc"; tail -n 3 "$LAB_OUT/$name.out"; }
}

same() { cmp -s "$1" "$2" || fail "$3: the copy differs from the source"; }

source_file=$LAB_LOCAL/source.bin
head -c $((mib << 20)) /dev/urandom >"$source_file" || exit 1
echo "vm smoke: $mib MiB, guest up for $(cut -d' ' -f1 /proc/uptime) s"

t0=$(now)
for kind in cifs nfs4 nfs3; do
  lab mount "$kind" >/dev/null || fail "$kind: no mount"
done
echo "mounts ready in $(secs $(($(now) - t0))) s"
grep -E ' (cifs|nfs|nfs4) ' /proc/self/mounts | cut -d' ' -f1-4 | cut -c1-160

for kind in cifs nfs4 nfs3; do
  share=$(lab path "$kind") served=$(lab export "$kind")
  cp "$source_file" "$served/$kind.bin"
  for tool in zobret cp; do
    prog=$zobret
    [[ $tool == cp ]] && prog=$(command -v cp)
    rm -f "$LAB_LOCAL/down.bin" "$served/up.bin"
    timed "$kind-$tool-download" "$prog" "$share/$kind.bin" "$LAB_LOCAL/down.bin"
    same "$source_file" "$LAB_LOCAL/down.bin" "$kind $tool download"
    timed "$kind-$tool-upload" "$prog" "$source_file" "$share/up.bin"
    same "$source_file" "$served/up.bin" "$kind $tool upload"
  done
  rm -f "$served/$kind.bin" "$served/up.bin" "$LAB_LOCAL/down.bin"
done
grep -q ' Complete\.$' "$LAB_OUT/cifs-zobret-download.out" ||
  fail "zobret did not say it was complete: $(tail -n 1 "$LAB_OUT/cifs-zobret-download.out")"

echo
echo "mount  direction   zobret(s)   cp(s)"
for kind in cifs nfs4 nfs3; do
  for dir in download upload; do
    printf '%-6s %-9s %9s %7s\n' "$kind" "$dir" "$(secs "${t[$kind-zobret-$dir]}")" \
      "$(secs "${t[$kind-cp-$dir]}")"
  done
done
echo

# The round trip on loopback with 5 ms each way: at least 10 ms.
lab delay 5
rtt=$(ping -c 3 -i 0.2 127.0.0.1 | awk -F/ '/^rtt/ { print int($5) }')
lab delay 0
echo "ping through a 5 ms delay: ${rtt:-?} ms average round trip"
((${rtt:-0} >= 10)) || fail "the delay did not show in ping (${rtt:-no} ms)"

# answers KIND SECONDS WHAT: the mount answers again within SECONDS after WHAT.
answers() {
  local t0
  t0=$(now)
  if lab ready "$1" "$2" 2>/dev/null; then
    echo "$1 answers $(secs $(($(now) - t0))) s after $3"
  else
    fail "$1 does not answer within $2 s after $3"
  fi
}

# away KIND HOW BACK SHOWS: take the server away with `lab HOW`, which `lab status` must
# show (SHOWS, a pattern), bring it back with `lab BACK`; the mount must answer again.
away() {
  local kind=$1 how=$2 back=$3 shows=$4
  # shellcheck disable=SC2086 # the lab's command and its argument
  if ! lab $how; then fail "lab $how failed"; return; fi
  grep -q "$shows" <<<"$(lab status)" || fail "after lab $how the status shows no \"$shows\""
  # shellcheck disable=SC2086
  if ! lab $back; then fail "lab $back failed"; return; fi
  answers "$kind" 60 "lab $how, lab $back"
}
away cifs "stop smb" "start smb" "smb: not running"
away cifs "kill smb" "start smb" "smb: not running"
away cifs "hang smb" "resume smb" "smb: .*(hung)"
away cifs "drop all" "undrop all" "smb: packets dropped"
away nfs4 "stop nfs" "start nfs" "nfs: 0 nfsd threads"
answers nfs3 60 "lab stop nfs, lab start nfs"
status=$(lab status)
grep -qE 'dropped|hung|netem|: 0 nfsd|not running' <<<"$status" && fail "the lab is not back: $status"
# A written file after the restart: NFSv4 grants the open once its grace period is over.
t0=$(now)
if timeout -k 5 60 sh -c "echo after >$(lab path nfs4)/after.txt"; then
  echo "nfs4 took a new file $(secs $(($(now) - t0))) s after the start"
else
  fail "nfs4 took no new file within 60 s of the start"
fi

((failures == 0)) && echo "PASS" || echo "FAILED: $failures"
((failures == 0))
