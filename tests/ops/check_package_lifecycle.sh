#!/usr/bin/env bash
# The Debian package through an administrator's year, in a scratch dpkg root
# (no network, nothing outside the scratch directory changes): install, the
# administrator's configuration and enabling, an upgrade with a valid and
# with a broken configuration, remove and purge. systemctl, as the package's
# scripts call it, is a stand-in that records its calls and says the service
# is running.
# Usage: check_package_lifecycle.sh BUILD_DIR [DEB]   (the .deb is made with
# cpack when not given). Exit 77 (skipped) without root, dpkg or cpack.
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR [DEB]}
deb=${2:-}
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root (dpkg)"; exit 77; fi
for tool in dpkg dpkg-deb; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d /tmp/vestrel-package-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    for log in "$work"/*.out; do
        [ -s "$log" ] && { echo "--- $log"; tail -n 30 "$log"; }
    done
    exit 1
}

if [ -z "$deb" ]; then
    command -v cpack >/dev/null 2>&1 || { echo "SKIP: cpack is not installed"; exit 77; }
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.out" 2>&1 || fail "cpack failed"
    deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || fail "cpack made no .deb"
fi

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers" \
         "$root/run/systemd/system" "$root/etc/systemd/system"
: >"$root/var/lib/dpkg/status"
: >"$root/var/lib/dpkg/available"

# The stand-in systemctl: records every call; "is-active" says running.
mkdir -p "$work/bin"
cat >"$work/bin/systemctl" <<STUB
#!/bin/sh
echo "\$*" >>"$work/systemctl.calls"
[ "\$1" = "is-active" ] && exit 0
exit 0
STUB
chmod 755 "$work/bin/systemctl"
: >"$work/systemctl.calls"

# Maintainer scripts run outside a chroot, told the root by DPKG_ROOT.
pkg() {
    PATH="$work/bin:$PATH" dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless \
        --force-depends --force-unsafe-io "$@"
}
calls() { cat "$work/systemctl.calls"; }
unit=vestrel-agent.service
wants=$root/etc/systemd/system/multi-user.target.wants/$unit

# --- install -------------------------------------------------------------------
pkg -i "$deb" >"$work/install.out" 2>&1 || fail "dpkg -i failed"
[ -f "$root/usr/share/doc/vestrel-agent/agent.cfg.example" ] || fail "no example under /usr/share/doc"
[ ! -e "$root/etc/vestrel/agent.cfg.example" ] || fail "an example in /etc/vestrel"
[ ! -s "$root/var/lib/dpkg/info/vestrel-agent.conffiles" ] || fail "the package has conffiles"
[ -d "$root/etc/vestrel" ] || fail "no /etc/vestrel for the configuration"
[ -z "$(ls -A "$root/etc/vestrel")" ] || fail "the installation put something into /etc/vestrel"
grep -qxF "ConditionPathExists=/etc/vestrel/agent.cfg" "$root/usr/lib/systemd/system/$unit" ||
    fail "the unit does not wait for /etc/vestrel/agent.cfg"
! grep -Eq '^(start|restart|try-restart|reload-or-restart|enable)' "$work/systemctl.calls" ||
    fail "the installation started or enabled the service: $(calls)"
echo "install: example in /usr/share/doc, no conffile, nothing started"

# --- the administrator configures and enables ------------------------------------
mkdir -p "$root/srv/data"
cat >"$root/etc/vestrel/agent.cfg" <<CFG
export $root/srv/data as DATA password s3cret
tell 127.0.0.1
CFG
chmod 600 "$root/etc/vestrel/agent.cfg"
mkdir -p "$(dirname "$wants")"
ln -s "/usr/lib/systemd/system/$unit" "$wants"

# --- upgrade -------------------------------------------------------------------
: >"$work/systemctl.calls"
pkg -i "$deb" >"$work/upgrade.out" 2>&1 || fail "the upgrade failed"
! grep -Eq '^(stop|restart|try-restart|reload-or-restart|kill|disable)' "$work/systemctl.calls" ||
    fail "the upgrade stopped or restarted the agent: $(calls)"
grep -qF "agent.cfg checked with the new agent (agent -t): valid." "$work/upgrade.out" ||
    fail "the upgrade did not report the -t check of the configuration"
grep -qF "systemctl restart $unit" "$work/upgrade.out" || fail "the upgrade did not say how to restart"
grep -qxF "export $root/srv/data as DATA password s3cret" "$root/etc/vestrel/agent.cfg" ||
    fail "the upgrade changed agent.cfg"
[ -L "$wants" ] || fail "the upgrade disabled the service"
echo "upgrade: configuration checked with agent -t, agent not restarted"

echo "export $root/srv/missing as GONE" >>"$root/etc/vestrel/agent.cfg"
pkg -i "$deb" >"$work/upgrade-broken.out" 2>&1 || fail "an upgrade with a broken configuration failed"
grep -qF "Unable to access exported directory" "$work/upgrade-broken.out" ||
    fail "the upgrade did not show the agent's reasons"
grep -qF "the new agent does not accept /etc/vestrel/agent.cfg" "$work/upgrade-broken.out" ||
    fail "the upgrade did not say that the configuration fails"
echo "upgrade: a configuration the new agent refuses is reported, the upgrade goes on"

# --- remove --------------------------------------------------------------------
: >"$work/systemctl.calls"
pkg -r vestrel-agent >"$work/remove.out" 2>&1 || fail "dpkg -r failed"
grep -qx "stop $unit" "$work/systemctl.calls" || fail "remove did not stop the agent: $(calls)"
! grep -q '^disable' "$work/systemctl.calls" || fail "remove disabled the service"
[ -L "$wants" ] || fail "remove forgot that the service was enabled"
[ -f "$root/etc/vestrel/agent.cfg" ] || fail "remove deleted agent.cfg"
[ ! -e "$root/usr/sbin/agent" ] || fail "remove left the program"
echo "remove: agent stopped, enablement and configuration kept"

# --- purge ---------------------------------------------------------------------
pkg -P vestrel-agent >"$work/purge.out" 2>&1 || fail "dpkg -P failed"
[ ! -e "$root/etc/vestrel" ] || fail "purge left /etc/vestrel"
[ ! -L "$wants" ] || fail "purge left the service enabled"
! grep -qi "not empty" "$work/purge.out" || fail "dpkg warned on purge: $(cat "$work/purge.out")"
dpkg --root="$root" -s vestrel-agent >/dev/null 2>&1 && fail "the package is still known after purge"
echo "purge: /etc/vestrel removed, enablement forgotten"
echo "package lifecycle: passed"
