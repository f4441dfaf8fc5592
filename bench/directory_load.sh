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
# Goal: (a) within 3x of (b) in time, under 2.5x in memory.
set -euo pipefail

BUILD_DIR=${1:-build}
ENTRIES=${2:-100000}
BENCH="$BUILD_DIR/bench/DirectoryLoadBench"
PYTHON=/usr/bin/python3
[ -x "$BENCH" ] || { echo "missing $BENCH: build the DirectoryLoadBench target first" >&2; exit 1; }
for tool in lighttpd curl xmllint /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

WORK=$(mktemp -d)
LIGHTTPD_PID=
cleanup() {
    if [ -n "$LIGHTTPD_PID" ]; then kill "$LIGHTTPD_PID" 2>/dev/null || true; wait "$LIGHTTPD_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

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

# A free port: bound to 0 and released again for lighttpd to take.
PORT=$("$PYTHON" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
cat > "$WORK/lighttpd.conf" <<CONF
server.document-root = "$WORK/www"
server.bind = "127.0.0.1"
server.port = $PORT
server.errorlog = "$WORK/error.log"
server.pid-file = "$WORK/lighttpd.pid"
mimetype.assign = ( ".xml" => "application/xml" )
CONF
lighttpd -D -f "$WORK/lighttpd.conf" &
LIGHTTPD_PID=$!
URL="http://127.0.0.1:$PORT/corvanet.xml"
for _ in $(seq 50); do
    curl -sf -o /dev/null "$URL" && break
    sleep 0.1
done
curl -sf -o /dev/null "$URL" || { echo "lighttpd did not come up" >&2; exit 1; }

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
    output=$(QT_QPA_PLATFORM=offscreen "$BENCH" "$URL" 1)
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
awk -v a="$best_total" -v b="$ref_ms" 'BEGIN{printf "time ratio:   %.2f (goal < 3)\n", a/b}'
awk -v a="$our_rss" -v b="$ref_rss" 'BEGIN{printf "memory ratio: %.2f (goal < 2.5)\n", a/b}'
