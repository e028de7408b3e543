#!/usr/bin/env bash
# Shows what the monitor can do so far, in a machine root of its own under build/.
# Usage: demo/demo.sh BIN_DIR
set -euo pipefail
bin=${1:-build/bin}
export VLZT_ROOT=${VLZT_DEMO_ROOT:-$(pwd)/build/demo-root}
rm -rf "$VLZT_ROOT"
key='HKLM\Software\Orvane\Velmora Tavish Log Monitor\CurrentVersion'

step() { printf '\n== %s\n' "$*"; }

step "A new machine root is created on first use: $VLZT_ROOT"
"$bin/vlreg" query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog'

step "Configure the monitor with vlreg"
"$bin/vlreg" add "$key" /v Home /d /opt/vlzt /f
"$bin/vlreg" add "$key" /v LogLevel /t REG_DWORD /d 5 /f
"$bin/vlreg" add "$key\\LOGS\\Log1" /v Name /d "Disk errors" /f
"$bin/vlreg" add "$key\\LOGS\\Log1" /v KeywordInclude1 /d "disk [AND] error" /f
"$bin/vlreg" query "$key" /s

step "Save the configuration to a .reg file"
"$bin/vlreg" export "$key" "$VLZT_ROOT/config.reg" /y
cat "$VLZT_ROOT/config.reg"

step "Delete it, then restore it from the file"
"$bin/vlreg" delete "$key" /f
"$bin/vlreg" query "$key" || true
"$bin/vlreg" import "$VLZT_ROOT/config.reg"
"$bin/vlreg" query "$key\\LOGS\\Log1"

step "A malformed file is refused with its line, and nothing of it is imported"
printf 'Windows Registry Editor Version 5.00\n\n[%s]\n"Good"="yes"\n"Bad"=dword:nothex\n' "${key/HKLM/HKEY_LOCAL_MACHINE}" > "$VLZT_ROOT/bad.reg"
"$bin/vlreg" import "$VLZT_ROOT/bad.reg" || true
"$bin/vlreg" query "$key" /v Good || true

printf '\nDemo finished. The demo machine root is %s\n' "$VLZT_ROOT"
