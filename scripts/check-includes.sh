#!/usr/bin/env bash
# Reads the #include "..." lines of the source folders and fails, naming the
# file and line, on an include that runs upward between the layers or on a
# circle of includes between files. Inside unixfs/ a source and the header of
# the same name count as one unit, so that a call back into a file that
# includes the caller closes a circle too. tests/, bench/ and fuzz/ may
# include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each folder and the folders it may include besides itself, lowest first.
# Inside unixfs/ the order is the one unixfs/README.md gives.
LAYERS='
util:
grfs: util
nrl: util
mount: util
unixfs/host: util grfs nrl mount
unixfs/session: util grfs nrl mount unixfs/host
unixfs/tree: util grfs nrl mount unixfs/host unixfs/session
unixfs/object: util grfs nrl mount unixfs/host unixfs/session unixfs/tree
unixfs/requests: util grfs nrl mount unixfs/host unixfs/session unixfs/tree unixfs/object
agent: util grfs nrl mount unixfs/host unixfs/session unixfs/tree unixfs/object unixfs/requests
client: util grfs nrl mount
'
folders=$(printf '%s\n' "$LAYERS" | awk -F: 'NF { print $1 }' | sed 's#/.*##' | sort -u)

find $folders \( -name '*.cpp' -o -name '*.h' \) -print | sort |
    xargs grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
    awk -v layers="$LAYERS" '
    function folder_of(path,   f, n, parts) {
        # The longest folder of the table that holds path.
        best = ""
        for (f in may) if (index(path, f "/") == 1 && length(f) > length(best)) best = f
        return best
    }
    function unit_of(path) {
        if (index(path, "unixfs/") == 1) sub(/\.(cpp|h)$/, "", path)
        return path
    }
    function visit(u,   v, i, n, list) {
        state[u] = 1
        stack[++depth] = u
        n = split(edges[u], list, " ")
        for (i = 1; i <= n; i++) {
            v = list[i]
            if (v == "") continue
            if (state[v] == 1) {
                circle = v
                for (j = depth; j >= 1 && stack[j] != v; j--) circle = stack[j] " -> " circle
                circle = v " -> " circle
                printf "%s: circle of includes: %s\n", where[u SUBSEP v], circle
                bad = 1
            } else if (state[v] == 0) {
                visit(v)
            }
        }
        depth--
        state[u] = 2
    }
    BEGIN {
        n = split(layers, rows, "\n")
        for (i = 1; i <= n; i++) {
            if (rows[i] == "") continue
            split(rows[i], kv, ":")
            may[kv[1]] = " " kv[1] " " kv[2] " "
        }
    }
    {
        # file:line:#include "target"
        file = $0; sub(/:.*/, "", file)
        rest = substr($0, length(file) + 2)
        line = rest; sub(/:.*/, "", line)
        target = rest; sub(/^[^"]*"/, "", target); sub(/".*/, "", target)
        from = folder_of(file)
        to = folder_of(target)
        if (from == "" || to == "") next
        if (index(may[from], " " to " ") == 0) {
            allowed = may[from]; gsub(/ +/, " ", allowed); sub(/^ /, "", allowed); sub(/ $/, "", allowed)
            printf "%s:%s: upward include of %s (%s may include only %s)\n", file, line, target, from, allowed
            bad = 1
        }
        u = unit_of(file); v = unit_of(target)
        if (u != v && !((u SUBSEP v) in where)) {
            where[u SUBSEP v] = file ":" line
            edges[u] = edges[u] " " v
            units[u] = 1; units[v] = 1
        }
    }
    END {
        for (u in units) state[u] = 0
        for (u in units) if (state[u] == 0) visit(u)
        exit bad
    }'
echo "includes: every layer includes only those below it, and no circle"
