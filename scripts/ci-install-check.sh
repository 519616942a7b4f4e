#!/usr/bin/env bash
# What an administrator does after installing, checked on a built tree:
#   1. install the build into a temporary prefix and check what it put there;
#   2. run the installed agent on the installed example configuration (its
#      exports and servers replaced by temporary exports and a loopback
#      address), as root with only the capabilities the systemd unit leaves
#      it; learn its session address from its advertisement with the
#      installed grfsclient, list and back up an export, verify the backup,
#      check that the password and the write protection hold, restore the
#      backup into a second export and compare it with the source, and stop
#      the agent with SIGTERM;
#   3. build the Debian package and check its files and control data, and
#      its install, upgrade, remove and purge in a scratch dpkg root.
# Usage: scripts/ci-install-check.sh [BUILD_DIR]   (default: build)
# All traffic stays on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-${BUILD:-build}}
[ -f "$build/CMakeCache.txt" ] || { echo "FAIL: $build is not a configured build directory" >&2; exit 1; }
build=$(cd "$build" && pwd)

work=$(mktemp -d /tmp/vestrel-install-check.XXXXXX)
agent_pid=""
adverts_pid=""
cleanup() {
    set +e
    [ -n "$adverts_pid" ] && kill -KILL "$adverts_pid" 2>/dev/null
    if [ -n "$agent_pid" ]; then
        # The listener leads a process group of its own, with the
        # advertisement and session processes in it.
        kill -KILL -- "-$agent_pid" 2>/dev/null
        kill -KILL "$agent_pid" 2>/dev/null
    fi
    rm -rf "$work"
    return 0
}
trap cleanup EXIT

step() { echo "== $*"; }
die() {
    echo "FAIL: $*" >&2
    local log
    for log in "$work"/*.out "$work"/*.err; do
        [ -s "$log" ] && { echo "--- $log" >&2; tail -n 40 "$log" >&2; }
    done
    exit 1
}
# wait_for FILE TEXT SECONDS [PID]: until FILE contains TEXT; fails early
# when PID ends first.
wait_for() {
    local file=$1 text=$2 seconds=$3 pid=${4:-} i
    for ((i = 0; i < seconds * 10; i++)); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            grep -qF -- "$text" "$file" 2>/dev/null && return 0
            return 1
        fi
        sleep 0.1
    done
    return 1
}
# Processes whose process group is $1 (the listener leads its own group).
group_members() {
    local group=$1 stat rest fields
    for stat in /proc/[0-9]*/stat; do
        rest=$(cat "$stat" 2>/dev/null) || continue
        # Fields after the command name: state, parent, process group, ...
        read -r -a fields <<<"${rest##*) }"
        if [ "${fields[2]:-}" = "$group" ]; then
            stat=${stat#/proc/}
            echo "${stat%/stat}"
        fi
    done
    return 0
}

# grfsclient is built only where its source is in the tree.
has_client=0
if grep -q '/client/CMakeFiles/grfsclient\.dir$' "$build/CMakeFiles/TargetDirectories.txt" 2>/dev/null; then
    has_client=1
fi

# --- 1. installation ----------------------------------------------------------
prefix=$work/prefix
step "cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.out" 2>&1 || die "cmake --install failed"
expected=(
    sbin/agent
    lib/systemd/system/vestrel-agent.service
    share/man/man8/agent.8.gz
    share/man/man5/agent.cfg.5.gz
    share/man/man1/grfsclient.1.gz
    share/doc/vestrel-agent/README.md
    share/doc/vestrel-agent/admin-guide.md
    share/doc/vestrel-agent/copyright
    share/doc/vestrel-agent/lxat-stream.md
    share/doc/vestrel-agent/linux-metadata-stream.md
    share/doc/vestrel-agent/wire-depth-limit.md
    share/doc/vestrel-agent/acl-stream.md
    share/doc/vestrel-agent/agent.cfg.example
)
[ "$has_client" = 1 ] && expected+=(bin/grfsclient)
[ -f docs/archive-format.md ] && expected+=(share/doc/vestrel-agent/archive-format.md)
for f in "${expected[@]}"; do
    [ -e "$prefix/$f" ] || die "the installation lacks $f"
done
(cd "$prefix" && find . -type f | sed 's|^\./||' | sort) >"$work/installed.txt"
printf '%s\n' "${expected[@]}" | sort >"$work/expected.txt"
diff -u "$work/expected.txt" "$work/installed.txt" >"$work/files.err" || die "unexpected installed files"
[ -x "$prefix/sbin/agent" ] || die "the installed agent is not executable"
unit=$prefix/lib/systemd/system/vestrel-agent.service
grep -qxF "ExecStart=$prefix/sbin/agent -c $prefix/etc/vestrel/agent.cfg" "$unit" ||
    die "the installed unit does not run the installed agent on $prefix/etc/vestrel/agent.cfg"
if command -v man >/dev/null 2>&1; then
    for page in "$prefix"/share/man/man*/*.gz; do
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -P cat -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || die "installed page $page renders with warnings: $warnings"
    done
fi
echo "installed: ${#expected[@]} files, as expected"

# A second installation must leave an administrator's agent.cfg alone.
mkdir -p "$prefix/etc/vestrel"
echo "# the administrator's own" >"$prefix/etc/vestrel/agent.cfg"
cmake --install "$build" --prefix "$prefix" >"$work/install.out" 2>&1 || die "second cmake --install failed"
grep -qxF "# the administrator's own" "$prefix/etc/vestrel/agent.cfg" || die "installing overwrote agent.cfg"

# --- 2. the installed agent and grfsclient -------------------------------------
# One line per object below $1: type, permission bits, owner, group, size,
# modification time, link count, device numbers, link target. Directory
# sizes and link times are left out: restores do not carry them.
describe_tree() {
    (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do
        if [ -L "$p" ]; then
            stat -c '%n link %u %g' "$p" | tr '\n' ' '
            readlink "$p"
        elif [ -d "$p" ]; then
            stat -c '%n dir %a %u %g %Y' "$p"
        else
            stat -c '%n %F %a %u %g %s %Y %h %t:%T' "$p"
        fi
    done)
}

if [ "$has_client" = 1 ]; then
    client=$prefix/bin/grfsclient
    export_dir=$work/export
    scratch_dir=$work/scratch
    mkdir -p "$export_dir/docs/deeper" "$scratch_dir"
    echo "hello" >"$export_dir/hello.txt"
    : >"$export_dir/empty"
    head -c 300000 /dev/urandom >"$export_dir/docs/deeper/blob.bin"
    ln -s ../hello.txt "$export_dir/docs/link"
    touch -d '2001-02-03 04:05:06' "$export_dir/docs/deeper/blob.bin"
    if [ "$(id -u)" -eq 0 ]; then
        # What only root can read and restore: other owners, set-id bits, a
        # file nobody may read, a device node, a FIFO, a hard-linked pair.
        echo "set-user-id" >"$export_dir/docs/suid"
        chown 1234:2345 "$export_dir/docs/suid"
        chmod 4750 "$export_dir/docs/suid"
        ln "$export_dir/docs/suid" "$export_dir/suid-link"
        echo "nobody reads this" >"$export_dir/locked"
        chown 1234:1234 "$export_dir/locked"
        chmod 000 "$export_dir/locked"
        chgrp 2345 "$export_dir/docs/deeper"
        chmod 2775 "$export_dir/docs/deeper"
        mknod "$export_dir/null-device" c 1 3
        mkfifo "$export_dir/fifo"
        chown -h 1234:1234 "$export_dir/docs/link"
    fi
    before=$(describe_tree "$export_dir")

    # A loopback address of its own for the advertisements, so that nothing
    # else on this host is listening there.
    tell_ip=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
    cfg=$prefix/etc/vestrel/agent.cfg
    {
        grep -v -e '^export[[:space:]]' -e '^tell[[:space:]]' -e '^force_address[[:space:]]' \
            "$prefix/share/doc/vestrel-agent/agent.cfg.example"
        echo "export $export_dir as DATA password s3cret write_protect"
        echo "export $scratch_dir as SCRATCH password s3cret"
        echo "tell $tell_ip"
        # Sessions on loopback only.
        echo "force_address 127.0.0.1"
    } >"$cfg"
    chmod 600 "$cfg"

    # Run the agent with no more capabilities than the unit leaves it, and
    # without new privileges, as the service runs.
    confine=()
    caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
    if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1 && [ -n "$caps" ]; then
        bounding=-all
        for cap in $caps; do
            cap=${cap,,}
            bounding+=",+${cap#cap_}"
        done
        confine=(setpriv --no-new-privs --bounding-set "$bounding")
        echo "the agent runs with the unit's capabilities: $caps"
    else
        echo "SKIP: the unit's capability set is not applied (needs root and setpriv)"
    fi

    step "grfsclient adverts on $tell_ip"
    "$client" adverts --listen "$tell_ip:6101" --count 1 --timeout 60 >"$work/adverts.out" 2>"$work/adverts.err" &
    adverts_pid=$!
    wait_for "$work/adverts.err" "listening on" 10 "$adverts_pid" || die "grfsclient adverts did not start"

    step "start the installed agent"
    (cd "$work" && exec "${confine[@]}" "$prefix/sbin/agent" -c "$cfg") >"$work/agent.out" 2>"$work/agent.err" &
    agent_pid=$!
    wait_for "$work/agent.err" "Vestrel Agent ready to service requests." 30 "$agent_pid" ||
        die "the installed agent did not get ready"
    grep -qF "Agent configuration OK." "$work/agent.err" || die "no 'Agent configuration OK.'"

    wait "$adverts_pid" || die "no advertisement received"
    adverts_pid=""
    advert=$(head -n 1 "$work/adverts.out")
    echo "$advert"
    session=$(sed -n 's/.* session=\([^ ]*\) .*/\1/p' <<<"$advert")
    workstation=$(sed -n 's/.* workstation=\([^ ]*\) .*/\1/p' <<<"$advert")
    [[ "$advert" == resource=2044* ]] || die "the resource name does not start with 2044 (no workstation password)"
    [[ "$session" == 127.0.0.1:* ]] || die "advertised session address '$session' is not on 127.0.0.1"
    [ -n "$workstation" ] || die "no workstation name in the advertisement"
    grep -qF "Workstation Name: \"$workstation\"" "$work/agent.err" ||
        die "advertised workstation '$workstation' differs from the one the agent printed"
    sess=(--workstation "$workstation" --password s3cret)

    step "grfsclient ls $session"
    "$client" ls "$session" --workstation "$workstation" >"$work/ls.out" 2>"$work/ls.err" || die "grfsclient ls failed"
    grep -Eq '^DATA +password read-only$' "$work/ls.out" || die "export DATA not listed as password, read-only"
    grep -Eq '^SCRATCH +password writable$' "$work/ls.out" || die "export SCRATCH not listed as password, writable"

    step "grfsclient ls with a wrong password is refused"
    if "$client" ls "$session" DATA --workstation "$workstation" --password wrong >"$work/wrong.out" 2>"$work/wrong.err"; then
        die "a wrong export password was accepted"
    fi
    grep -qF -- "-507" "$work/wrong.err" || die "the wrong password was not refused with -507"

    step "grfsclient backup $session DATA"
    "$client" backup "$session" DATA "$work/data.grfs" "${sess[@]}" >"$work/backup.out" 2>"$work/backup.err" ||
        die "grfsclient backup failed"
    cat "$work/backup.out"
    grep -qF "3 directories" "$work/backup.out" || die "backup did not see the 3 directories (the root included)"
    [ "$(stat -c %s "$work/data.grfs")" -gt 300000 ] || die "the archive is smaller than the data"

    step "grfsclient verify"
    "$client" verify "$work/data.grfs" "$session" DATA "${sess[@]}" >"$work/verify.out" 2>"$work/verify.err" ||
        die "grfsclient verify found differences"
    grep -qxF "no differences" "$work/verify.out" || die "verify did not report 'no differences'"

    step "grfsclient restore into the write-protected export is refused"
    if "$client" restore "$work/data.grfs" "$session" DATA --to restored "${sess[@]}" \
        >"$work/refused.out" 2>"$work/refused.err"; then
        die "a restore into a write_protect export succeeded"
    fi
    [ "$(describe_tree "$export_dir")" = "$before" ] || die "the write-protected export changed"

    step "grfsclient restore into SCRATCH, then verify it"
    "$client" restore "$work/data.grfs" "$session" SCRATCH --to copy "${sess[@]}" \
        >"$work/restore.out" 2>"$work/restore.err" || die "grfsclient restore failed"
    tail -n 1 "$work/restore.out"
    "$client" verify "$work/data.grfs" "$session" SCRATCH --to copy "${sess[@]}" \
        >"$work/verify-copy.out" 2>"$work/verify-copy.err" || die "the restored copy differs from the backup"
    describe_tree "$scratch_dir/copy" >"$work/copy-tree.txt"
    echo "$before" >"$work/source-tree.txt"
    diff -u "$work/source-tree.txt" "$work/copy-tree.txt" >"$work/tree-diff.err" ||
        die "the restored copy differs from the source on disk"
    echo "the restored copy equals the source: $(wc -l <"$work/copy-tree.txt") objects"

    step "stop the agent with SIGTERM"
    kill -TERM "$agent_pid"
    status=0
    wait "$agent_pid" || status=$?
    group=$agent_pid
    agent_pid=""
    [ "$status" -eq 0 ] || die "the agent ended with status $status after SIGTERM, not 0"
    for ((i = 0; i < 50; i++)); do
        [ -z "$(group_members "$group")" ] && break
        sleep 0.1
    done
    left=$(group_members "$group")
    [ -z "$left" ] || die "processes of the agent left after SIGTERM: $left"
    echo "agent stopped with status 0, no process left"
else
    echo "SKIP: grfsclient is not built in this tree; the installed agent was not exercised"
fi

# --- 3. the Debian package ----------------------------------------------------
step "cpack -G DEB"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.out" 2>&1 || die "cpack failed"
deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || die "cpack made no .deb"
echo "package: $(basename "$deb")"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/deb-files.txt"
{
    echo usr/sbin/agent
    echo usr/lib/systemd/system/vestrel-agent.service
    echo usr/share/man/man8/agent.8.gz
    echo usr/share/man/man5/agent.cfg.5.gz
    echo usr/share/man/man1/grfsclient.1.gz
    echo usr/share/doc/vestrel-agent/README.md
    echo usr/share/doc/vestrel-agent/admin-guide.md
    echo usr/share/doc/vestrel-agent/copyright
    echo usr/share/doc/vestrel-agent/lxat-stream.md
    echo usr/share/doc/vestrel-agent/linux-metadata-stream.md
    echo usr/share/doc/vestrel-agent/wire-depth-limit.md
    echo usr/share/doc/vestrel-agent/acl-stream.md
    echo usr/share/doc/vestrel-agent/agent.cfg.example
    [ "$has_client" = 1 ] && echo usr/bin/grfsclient
    [ -f docs/archive-format.md ] && echo usr/share/doc/vestrel-agent/archive-format.md
    true
} | sort >"$work/deb-expected.txt"
diff -u "$work/deb-expected.txt" "$work/deb-files.txt" >"$work/deb-files.err" || die "the package's file list differs"
dpkg-deb -f "$deb" Package | grep -qx vestrel-agent || die "package name is not vestrel-agent"
dpkg-deb -f "$deb" Depends | grep -q libc6 || die "the package does not depend on libc6"
dpkg-deb -f "$deb" Maintainer | grep -q . || die "the package has no maintainer"
mkdir -p "$work/control"
dpkg-deb -e "$deb" "$work/control"
# The configuration is the administrator's: the package has no conffile.
[ ! -s "$work/control/conffiles" ] || die "the package has conffiles: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || die "the package's $script is missing or not executable"
    sh -n "$work/control/$script" || die "the package's $script is not valid sh"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/vestrel-agent.service >"$work/deb-unit.txt"
grep -qxF "ExecStart=/usr/sbin/agent -c /etc/vestrel/agent.cfg" "$work/deb-unit.txt" ||
    die "the packaged unit does not run /usr/sbin/agent -c /etc/vestrel/agent.cfg"
echo "package: $(wc -l <"$work/deb-files.txt") files, as expected"

step "the package installed, upgraded, removed and purged in a scratch dpkg root"
tests/ops/check_package_lifecycle.sh "$build" "$deb" >"$work/lifecycle.out" 2>&1
case $? in
    0) tail -n 5 "$work/lifecycle.out" ;;
    77) cat "$work/lifecycle.out" ;;
    *) die "package lifecycle: $(cat "$work/lifecycle.out")" ;;
esac

echo "install check: passed"
