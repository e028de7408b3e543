#!/usr/bin/env bash
# Shows what the monitor can do so far, in a machine root of its own under build/.
# Usage: demo/demo.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
export VLZT_ROOT=${VLZT_DEMO_ROOT:-$(pwd)/build/demo-root}
rm -rf "$VLZT_ROOT"
home="$VLZT_ROOT/home"
key='HKLM\Software\Orvane\Velmora Tavish Log Monitor\CurrentVersion'

step() { printf '\n== %s\n' "$*"; }
wait_state() {  # NAME STATE: wait up to 60 s for the service to reach STATE
  for _ in $(seq 600); do
    "$bin/vlsc" query "$1" | grep -q "STATE *: [0-9]  $2" && return 0
    sleep 0.1
  done
  echo "the service did not reach $2" >&2
  return 1
}

step "A new machine root is created on first use: $VLZT_ROOT"
"$bin/vlreg" query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog'

step "Import the monitor's configuration from a .reg file"
sed "s|@HOME@|$home|g" "$here/monitor.reg" > "$VLZT_ROOT/monitor.reg"
"$bin/vlreg" import "$VLZT_ROOT/monitor.reg"
"$bin/vlreg" query "$key"

step "A malformed file is refused with its line, and nothing of it is imported"
printf 'Windows Registry Editor Version 5.00\n\n[%s]\n"Good"="yes"\n"Bad"=dword:nothex\n' \
  "${key/HKLM/HKEY_LOCAL_MACHINE}" > "$VLZT_ROOT/bad.reg"
"$bin/vlreg" import "$VLZT_ROOT/bad.reg" || true
"$bin/vlreg" query "$key" /v Good || true

step "Register the monitor as a service and start it"
mkdir -p "$home"
echo "disk error logged before the monitor started (never alerted)" > "$home/app.log"
"$bin/vlZTEventLog" /register
"$bin/vlsc" start vlZTEventLog
wait_state vlZTEventLog RUNNING
"$bin/vlsc" query vlZTEventLog

step "Lines appended to the watched file $home/app.log"
sleep 2
printf '%s\n' "kernel: disk sda reports I/O error at sector 42" \
  "disk error during a test only run (excluded)" "all is well" | tee -a "$home/app.log"
for _ in $(seq 100); do [ -s "$home/data/AlertLog.txt" ] && break; sleep 0.1; done
sleep 1
step "The alert it raised: the stored message and the alert log"
cat "$home/data/LOG1.err"
echo
cat "$home/data/AlertLog.txt"
step "Channels that are not configured or not built yet are named, not counted as sent"
grep -h 'channel is not available\|No e-mail\|not sent' "$VLZT_ROOT/log/VLMZT.LOG" | sed 's/^.*: //' | sort -u || true

step "Stop it"
"$bin/vlsc" stop vlZTEventLog
wait_state vlZTEventLog STOPPED
"$bin/vlsc" query vlZTEventLog

step "What it wrote to the program log ($VLZT_ROOT/log/VLMZT.LOG)"
cat "$VLZT_ROOT/log/VLMZT.LOG"

step "Remove the service"
"$bin/vlZTEventLog" /unregister

printf '\nDemo finished. The demo machine root is %s\n' "$VLZT_ROOT"
