#!/bin/bash
# The main window under load: a directory of 100,000 squads and a squad page
# of 10,000 members, served by lighttpd on 127.0.0.1, shown by a real main
# window (bench/LoadBench, offscreen unless QT_QPA_PLATFORM says otherwise).
# Reports the time to show the list and the tree, the time of selecting and
# scrolling in both, of one key typed into the find field (median and worst
# over 104 keys; goal 16 ms and 50 ms), and the peak memory; then runs the same at a tenth of
# the size, and prints how each figure grows with the size: about 10 for
# work that grows with the number of squads or members, about 1 for work
# that does not, and about 100 would mean something quadratic.
#
#   bench/load_test.sh [BUILD_DIR] [SQUADS] [MEMBERS]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

BUILD_DIR=${1:-build}
SQUADS=${2:-100000}
MEMBERS=${3:-10000}
BENCH="$BUILD_DIR/bench/LoadBench"
PYTHON=/usr/bin/python3
[ -x "$BENCH" ] || { echo "missing $BENCH: build the LoadBench target first" >&2; exit 1; }
need lighttpd curl

WORK=$work
mkdir -p "$WORK/www" "$WORK/run" "$WORK/cwd"
chmod 700 "$WORK/run"
export XDG_RUNTIME_DIR="$WORK/run"
export XDG_CACHE_HOME="$WORK/cache" # the window's offline copies; never the user's
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

PORT=$(free_port)
BASE="http://127.0.0.1:$PORT"

# make_data DIR SQUADS MEMBERS: the directory and the big squad's page in
# www/DIR. Written before the server starts: it caches what it knows of a
# file, and a file rewritten under it may be served with its old length.
make_data() {
    mkdir -p "$WORK/www/$1"
    cp "$repo/data/logos/alpha.jpg" "$WORK/www/$1/logo.jpg"
    "$PYTHON" - "$WORK/www/$1" "$BASE/$1" "$2" "$3" <<'PY'
import random, sys
root, base, squads, members = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rnd = random.Random(1)
letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
with open(root + "/corvanet.xml", "w", encoding="utf-8") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<squads>\n')
    for n in range(squads - 1):
        nick = "".join(rnd.choice(letters) for _ in range(rnd.randint(4, 16)))
        f.write('  <squad nick="%s" web="%s/squads/%d.xml"/>\n' % (nick, base, n))
    f.write('  <squad nick="The Big Squad" web="%s/big.xml"/>\n' % base)
    f.write('</squads>\n')
with open(root + "/big.xml", "w", encoding="utf-8") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<squad nick="BIG">\n  <name>The Big Squad</name>\n'
            '  <email>big@corvanet.example</email>\n  <web>%s/</web>\n  <picture>%s/logo.jpg</picture>\n'
            '  <title>[BIG]</title>\n' % (base, base))
    for n in range(members):
        name = "".join(rnd.choice(letters) for _ in range(rnd.randint(5, 12)))
        f.write('  <member nick="%s%d" id="%d"><name>%s %d</name><email>%s@corvanet.example</email>'
                '<icq>%d</icq><remark>Member %d of the big squad.</remark></member>\n'
                % (name, n, 100000 + n, name, n, name.lower(), 1000000 + n, n))
    f.write('</squad>\n')
PY
}

make_data small $((SQUADS / 10)) $((MEMBERS / 10))
make_data full "$SQUADS" "$MEMBERS"
start_lighttpd "$WORK/www" --port "$PORT" \
    'mimetype.assign = ( ".xml" => "application/xml", ".jpg" => "image/jpeg" )'

# run DIR: prints LoadBench's figures, one key=value per line.
run() {
    local output
    output=$(cd "$WORK/cwd" && "$BENCH" "$BASE/$1/corvanet.xml" "$BASE/$1/big.xml" 2>"$WORK/bench.err") || {
        echo "LoadBench failed: $output" >&2
        cat "$WORK/bench.err" >&2
        exit 1
    }
    echo "$output" | tr ' ' '\n' | grep '='
}

small=$(run small)
large=$(run full)
dir_size=$(stat -c %s "$WORK/www/full/corvanet.xml")
page_size=$(stat -c %s "$WORK/www/full/big.xml")

echo "directory: $SQUADS squads, $dir_size bytes; squad page: $MEMBERS members, $page_size bytes"
printf '%-22s %14s %14s %8s\n' figure "1/10 size" "full size" growth
while IFS='=' read -r key value; do
    small_value=$(echo "$small" | sed -n "s/^$key=//p")
    growth=$(awk -v a="$value" -v b="$small_value" 'BEGIN{ if (b > 0) printf "%.1f", a/b; else print "-" }')
    printf '%-22s %14s %14s %8s\n' "$key" "$small_value" "$value" "$growth"
done <<< "$large"
