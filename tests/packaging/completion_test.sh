#!/usr/bin/env bash
# The bash completion of odu-upgrade: options from the program's --help, port
# names from its --list-ports (a stand-in program prints them here), files
# after --image and --log.
#   completion_test.sh COMPLETION_SCRIPT ODU_UPGRADE
set -uo pipefail
completion=$1
program=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ports=$scratch/odu-upgrade
cat >"$ports" <<'PROGRAM'
#!/bin/sh
[ "$1" = --list-ports ] && printf '%s\n' /dev/ttyS0 /dev/ttyUSB0 /dev/ttyUSB1 'COM7' '/dev/odd name' '/dev/odd$HOME'
PROGRAM
chmod +x "$ports"
source "$completion"

failed=0
# expect PROGRAM WORD... -- WANTED...: completes the last WORD.
expect() {
  local words=() wanted
  while [[ $1 != -- ]]; do words+=("$1"); shift; done
  shift
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMPREPLY=()
  _odu_upgrade
  # Word by word, so that a name with a space cannot pass for two.
  local got
  got=$(printf '[%s]' "${COMPREPLY[@]}")
  wanted=$(printf '[%s]' "$@")
  if [[ $got != "$wanted" ]]; then
    echo "FAILED: ${words[*]:1}: got $got, wanted $wanted"
    failed=1
  fi
}

expect "$program" --ver -- --verbose --version
expect "$program" --check -- --check-image
expect "$program" --simulate --tr -- --trace
expect "$program" --jsonx --
expect "$ports" --port "" -- /dev/ttyS0 /dev/ttyUSB0 /dev/ttyUSB1 COM7 '/dev/odd\ name' '/dev/odd\$HOME'
expect "$ports" --all --port /dev/ttyU -- /dev/ttyUSB0 /dev/ttyUSB1
expect "$ports" --port = /dev/ttyS -- /dev/ttyS0
# The program as the user typed it, from the home folder.
HOME=$scratch expect '~/odu-upgrade' --port C -- COM7
expect "$program" --image "" --
expect "$program" --log up --
exit $failed
