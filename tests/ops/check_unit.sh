#!/usr/bin/env bash
# Lets systemd-analyze verify check the agent's unit, with the program path
# pointed at the built agent (verify wants the program to exist). Any
# complaint about the unit fails the test. Exit 77 (skipped) where
# systemd-analyze is not installed.
set -u
template="$1"
agent="$2"
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
    exit 77
fi
if [ ! -x "$agent" ]; then
    echo "FAIL: no agent program at $agent"
    exit 1
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
: >"$dir/agent.cfg"
unit="$dir/vestrel-agent.service"
sed -e "s|@AGENT_SBINDIR@|$(dirname "$agent")|g" \
    -e "s|@AGENT_CONFIG_FILE@|$dir/agent.cfg|g" \
    -e "s|/agent -|/$(basename "$agent") -|" "$template" >"$unit"
if grep -q '@[A-Z_]*@' "$unit"; then
    echo "FAIL: placeholders left in the unit:"
    grep -n '@[A-Z_]*@' "$unit"
    exit 1
fi
out=$(SYSTEMD_LOG_COLOR=0 systemd-analyze verify --man=no "$unit" 2>&1)
status=$?
# Complaints about other units on this host are not ours.
ours=$(printf '%s\n' "$out" | grep -F -e "vestrel-agent.service" -e "$dir" || true)
if [ "$status" -ne 0 ] || [ -n "$ours" ]; then
    echo "FAIL: systemd-analyze verify (exit status $status):"
    printf '%s\n' "$out"
    exit 1
fi
echo "OK: systemd-analyze verify accepts the unit"
