# shellcheck shell=bash
# smb-conf.sh - the smbd configuration of both labs: tools/share-lab sources it beside
# itself, the guest of tools/vm-lab (where it comes beside vm-lab-guest) at boot.
#
# smb_conf SHARE INTERFACES PORT LOG [GLOBAL...] [-- SHARE_LINE...]: on standard output,
# an smb.conf for a standalone server on INTERFACES only (bound to them), on PORT, no
# NetBIOS, no printing, logging to LOG, with one writable share "share" at the folder SHARE
# whose files are root's; each GLOBAL or SHARE_LINE ("name = value") is added to [global]
# or to [share].
smb_conf() {
  local line to=global
  local -a global=("server role = standalone server" "interfaces = $2" "bind interfaces only = yes"
    "smb ports = $3" "disable netbios = yes" "log file = $4" "load printers = no"
    "printing = bsd" "printcap name = /dev/null" "disable spoolss = yes")
  local -a share=("path = $1" "read only = no" "force user = root")
  shift 4
  for line; do
    if [[ $line == -- ]]; then to=share
    elif [[ $to == global ]]; then global+=("$line")
    else share+=("$line"); fi
  done
  printf '[global]\n'
  printf '  %s\n' "${global[@]}"
  printf '[share]\n'
  printf '  %s\n' "${share[@]}"
}
