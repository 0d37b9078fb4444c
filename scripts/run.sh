#!/usr/bin/env bash
# Sets up, builds and runs the updater in this terminal. When no device is attached
# (the device directory is empty), a simulated console is started for the run.
# Arguments go to the updater: "scripts/run.sh ST" runs it in service mode.
# Usage: scripts/run.sh [ST [CEFD]]   (build/linux/kqsfupdt --help: the program's own)
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh linux >/dev/null
export KQUSB_DEVICES="${KQUSB_DEVICES:-/run/kqusb}"
sim_pid=""
if [ -z "$(ls -A "$KQUSB_DEVICES" 2>/dev/null)" ]; then
  export KQUSB_DEVICES="$(mktemp -d /tmp/kqusb.XXXXXX)"
  # A console with a Remote on its KQ-LINK port, and its processor in boot mode for the
  # "Update Console" fallback.
  build/linux/kqsim --dir "$KQUSB_DEVICES" --console --remote --boot --timing=fast >"$KQUSB_DEVICES.log" 2>&1 &
  sim_pid=$!
  echo "No console attached: simulated console in $KQUSB_DEVICES (log: $KQUSB_DEVICES.log)"
  sleep 0.5
fi
workdir="$(mktemp -d /tmp/kqsfupdt.XXXXXX)"
status=0
(cd "$workdir" && "$OLDPWD/build/linux/kqsfupdt" "$@") || status=$?
if [ -n "$sim_pid" ]; then
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rmdir "$KQUSB_DEVICES" 2>/dev/null || true
fi
rm -rf "$workdir"
exit $status
