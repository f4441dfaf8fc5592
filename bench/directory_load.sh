#!/bin/bash
# Measures loading a squad directory of 100,000 entries (about 10 MB) served
# by lighttpd on 127.0.0.1, against the reference of fetching it with curl and
# parsing it with xmllint --noout.
#
#   bench/directory_load.sh [BUILD_DIR] [ENTRIES]
#
# (a) DirectoryLoadBench: the main window loads the directory and its
#     completion handler tests xml() and runs FillSquads;
#     best wall time of three runs in fresh processes, and the largest peak
#     RSS among them.
# (b) curl | xmllint --noout -: best wall time of three runs, and xmllint's
#     peak RSS.
# (c) Refresh of the unchanged directory: DirectoryLoadBench loads it once
#     more with the copy the first load kept; lighttpd's access log tells
#     the bytes of body it sent for that request.
# Goal: (a) within 1.5x of (b) in time and in memory; (c) under 1 KB.
# Each run of (a) starts with an empty cache folder of its own, so that it
# loads the whole directory rather than a copy.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

BUILD_DIR=${1:-build}
ENTRIES=${2:-100000}
BENCH="$BUILD_DIR/bench/DirectoryLoadBench"
PYTHON=/usr/bin/python3
[ -x "$BENCH" ] || { echo "missing $BENCH: build the DirectoryLoadBench target first" >&2; exit 1; }
need lighttpd curl xmllint /usr/bin/time

WORK=$work

mkdir -p "$WORK/www" "$WORK/run"
chmod 700 "$WORK/run"
export XDG_RUNTIME_DIR="$WORK/run"
"$PYTHON" - "$WORK/www/corvanet.xml" "$ENTRIES" <<'PY'
import random, sys
path, count = sys.argv[1], int(sys.argv[2])
rnd = random.Random(1)
with open(path, "w", encoding="utf-8") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<squads>\n')
    for n in range(count):
        nick = "".join(rnd.choice("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(rnd.randint(4, 16)))
        f.write('  <squad nick="%s" web="http://squads.corvanet.example/members/pages/squads/%d.xml"/>\n' % (nick, n))
    f.write('</squads>\n')
PY
SIZE=$(stat -c %s "$WORK/www/corvanet.xml")

start_lighttpd "$WORK/www" \
    'mimetype.assign = ( ".xml" => "application/xml" )' \
    'server.stat-cache-engine = "disable"' \
    'server.modules += ( "mod_accesslog" )' \
    "accesslog.filename = \"$WORK/access.log\"" \
    'accesslog.format = "%r %s %b"'
URL="http://127.0.0.1:$lighttpd_port/corvanet.xml"

echo "directory: $ENTRIES entries, $SIZE bytes, $URL"

# (b) the reference
best_ref=
for _ in 1 2 3; do
    start=$(date +%s%N)
    curl -s "$URL" | xmllint --noout -
    t=$(( ($(date +%s%N) - start) / 1000 )) # microseconds
    if [ -z "$best_ref" ] || [ "$t" -lt "$best_ref" ]; then best_ref=$t; fi
done
curl -s -o "$WORK/copy.xml" "$URL"
ref_rss=$( { /usr/bin/time -f '%M' xmllint --noout "$WORK/copy.xml" ; } 2>&1 | tail -1)

# (a) the document service and the list fill
best_total=; best_line=; our_rss=0
for _ in 1 2 3; do
    rm -rf "$WORK/cache"
    output=$(XDG_CACHE_HOME="$WORK/cache" QT_QPA_PLATFORM=offscreen "$BENCH" "$URL" 1)
    line=$(echo "$output" | grep '^run=')
    rss=$(echo "$output" | sed -n 's/^peak_rss_kb=//p')
    total=$(echo "$line" | sed 's/.*total_ms=\([0-9.]*\).*/\1/')
    if [ -z "$best_total" ] || awk -v a="$total" -v b="$best_total" 'BEGIN{exit !(a<b)}'; then
        best_total=$total; best_line=$line
    fi
    [ "$rss" -gt "$our_rss" ] && our_rss=$rss
done

ref_ms=$(awk -v us="$best_ref" 'BEGIN{printf "%.1f", us/1000}')
echo "reference (curl | xmllint --noout): ${ref_ms} ms, xmllint peak RSS ${ref_rss} kB"
echo "main window load + FillSquads:      ${best_total} ms, peak RSS ${our_rss} kB"
echo "  best run: $best_line"
awk -v a="$best_total" -v b="$ref_ms" 'BEGIN{printf "time ratio:   %.2f (goal < 1.5)\n", a/b}'
awk -v a="$our_rss" -v b="$ref_rss" 'BEGIN{printf "memory ratio: %.2f (goal < 1.5)\n", a/b}'

# (c) two loads in one process: the first keeps its copy, the second (as a
# Refresh does) asks whether the directory changed. Its mtime is moved back
# a minute first, as on a server that last changed it a while ago: a date of
# the second a reply is sent in validates nothing.
touch -d '-1 minute' "$WORK/www/corvanet.xml"
rm -rf "$WORK/cache"
# Its own address (the query is ignored by the server), so that its requests
# stand apart in the access log, which lighttpd writes in batches.
XDG_CACHE_HOME="$WORK/cache" QT_QPA_PLATFORM=offscreen "$BENCH" "$URL?refresh" 2 >"$WORK/refresh.out"
grep '^run=2' "$WORK/refresh.out" | sed 's/^/refresh: /'
for _ in $(seq 50); do
    [ "$(grep -c '^GET /corvanet.xml?refresh' "$WORK/access.log" 2>/dev/null || true)" -ge 2 ] && break
    sleep 0.1
done
last=$(grep '^GET /corvanet.xml?refresh' "$WORK/access.log" | tail -1)
refresh_status=$(echo "$last" | awk '{print $(NF-1)}')
refresh_body=$(echo "$last" | awk '{print ($NF == "-") ? 0 : $NF}')
echo "refresh of the unchanged directory: HTTP $refresh_status, ${refresh_body} bytes of body (goal < 1024)"
