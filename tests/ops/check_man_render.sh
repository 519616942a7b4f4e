#!/usr/bin/env bash
# Renders one manual page the way man shows it and fails on any warning
# from man or groff. Exit 77 (skipped) where man is not installed.
set -u
page="$1"
if ! command -v man >/dev/null 2>&1; then
    echo "SKIP: man is not installed (Debian package man-db)"
    exit 77
fi
if [ ! -r "$page" ]; then
    echo "FAIL: no manual page $page"
    exit 1
fi
err=$(mktemp)
out=$(mktemp)
trap 'rm -f "$err" "$out"' EXIT
# A fixed width and locale keep the line breaking, and so the warnings, the
# same everywhere.
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -P cat -l "$page" >"$out" 2>"$err"
status=$?
if [ "$status" -ne 0 ] || [ -s "$err" ]; then
    echo "FAIL: man --warnings -l $page (exit status $status):"
    cat "$err"
    exit 1
fi
if [ ! -s "$out" ]; then
    echo "FAIL: $page renders to nothing"
    exit 1
fi
echo "OK: $page renders without warnings ($(wc -l <"$out") lines)"
