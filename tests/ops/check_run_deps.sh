#!/usr/bin/env bash
# `make run` installs the build tools only, never the test suite's packages
# (GoogleTest, man-db): scripts/ensure-deps.sh is run with stand-ins for
# dpkg-query (nothing installed) and apt-get (records what it is asked for),
# so nothing is installed and no network is used.
# Usage: check_run_deps.sh SOURCE_DIR
set -uo pipefail
src=${1:?usage: $0 SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir "$work/bin"
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho "$*" >>"%s/apt.calls"\n' "$work" >"$work/bin/apt-get"
printf '#!/bin/sh\n"$@"\n' >"$work/bin/sudo"
chmod 755 "$work/bin/"*

# What make run runs first: the dependency step of its recipe.
recipe=$(make -s -n -C "$src" run 2>/dev/null) || fail "make -n run failed"
step=$(grep -m1 'ensure-deps' <<<"$recipe") || fail "make run does not check its packages"
PATH="$work/bin:$PATH" bash -c "cd '$src' && $step" >/dev/null 2>&1 || fail "'$step' failed"
asked=$(grep 'install' "$work/apt.calls" 2>/dev/null)
[ -n "$asked" ] || fail "'$step' installed nothing with nothing present"
for pkg in cmake g++ make; do
    grep -qw -- "$pkg" <<<"$asked" || fail "make run does not install $pkg: $asked"
done
for pkg in libgtest-dev libgmock-dev man-db groff-base; do
    ! grep -qw -- "$pkg" <<<"$asked" || fail "make run installs the test package $pkg: $asked"
done
echo "make run installs only: ${asked#*-qq }"
