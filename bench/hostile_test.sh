#!/bin/bash
# The main window opening hostile squad pages, served by lighttpd on
# 127.0.0.1 and shown by a real main window (bench/HostileBench, offscreen
# unless QT_QPA_PLATFORM says otherwise):
#   logo     a progressive greyscale logo of 8192 x 8192 with 704 scans
#   empty    a 63 MB page of empty <member/> elements
#   members  a page of 100,000 members, within the page budget
#   flat     a page of 499,000 empty members, just within the page budget
#   entities a 930 KB page that declares one entity of 30,000 characters and
#            uses it in the nick and id of 30,000 members
# Each runs in a process of its own and reports the time from Details to
# "Ready", the worst event-loop lateness meanwhile (the goal: under 100 ms),
# the time of selecting the squad node again, and the peak memory (the goal:
# under 300 MB).
#
# Then hostile directories, each the directory of a window of its own, from
# its start to "Ready" (worst lateness, peak memory, squads listed, messages;
# the goal: under 0.5 s of lateness and 600 MB, or a refusal with a message):
#   direntities  829 KB: the same entity in the nick of 29,600 entries
#   dir60mb      60 MB: twelve million empty elements
#
#   bench/hostile_test.sh [BUILD_DIR]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

BUILD_DIR=${1:-build}
BENCH="$(cd "$BUILD_DIR" && pwd)/bench/HostileBench"
PYTHON=/usr/bin/python3
[ -x "$BENCH" ] || { echo "missing $BENCH: build the HostileBench target first" >&2; exit 1; }
need lighttpd curl

WORK=$work
mkdir -p "$WORK/www" "$WORK/run" "$WORK/cwd"
chmod 700 "$WORK/run"
export XDG_RUNTIME_DIR="$WORK/run"
# The windows keep their offline copies here, not in the user's cache.
export XDG_CACHE_HOME="$WORK/cache"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

PORT=$(free_port)
BASE="http://127.0.0.1:$PORT"

# The files are written before the server starts: it caches what it knows of
# a file, and a file rewritten under it may be served with its old length.
"$BENCH" --make-jpeg "$WORK/www/hostile.jpg" 8192 704
"$PYTHON" - "$WORK/www" "$BASE" <<'PY'
import sys
root, base = sys.argv[1], sys.argv[2]
head = '<?xml version="1.0" encoding="UTF-8"?>\n<squad nick="%s">\n  <name>The %s squad</name>\n'
with open(root + "/logo.xml", "w") as f:
    f.write(head % ("LOGO", "logo") + '  <picture>%s/hostile.jpg</picture>\n</squad>\n' % base)
with open(root + "/empty.xml", "w") as f:
    f.write(head % ("EMPTY", "empty"))
    f.write("<member/>" * (63 * 1024 * 1024 // 9))
    f.write("</squad>\n")
with open(root + "/members.xml", "w") as f:
    f.write(head % ("MEMBERS", "members"))
    for n in range(100000):
        f.write('  <member nick="m%d" id="%d"><name>Member %d</name></member>\n' % (n, n, n))
    f.write("</squad>\n")
with open(root + "/flat.xml", "w") as f:
    f.write(head % ("FLAT", "flat"))
    f.write("<member/>" * 499000)
    f.write("</squad>\n")
entity = '<!DOCTYPE squad [<!ENTITY a "%s">]>\n' % ("a" * 30000)
with open(root + "/entities.xml", "w") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n' + entity)
    f.write('<squad nick="ENTITIES">\n  <name>The entities squad</name>\n')
    f.write('<member nick="&a;" id="&a;"/>' * 30000)
    f.write("</squad>\n")
with open(root + "/direntities.xml", "w") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n' + entity.replace("squad [", "squads [") + "<squads>\n")
    f.write('<squad nick="&a;" web=""/>\n' * 29600)
    f.write("</squads>\n")
with open(root + "/dir60mb.xml", "w") as f:
    f.write("<squads>")
    f.write("<sq/>" * 12000000)
    f.write("</squads>\n")
with open(root + "/corvanet.xml", "w") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<squads>\n')
    for page in ("logo", "empty", "members", "flat", "entities"):
        f.write('  <squad nick="%s" web="%s/%s.xml"/>\n' % (page, base, page))
    f.write("</squads>\n")
PY
start_lighttpd "$WORK/www" --port "$PORT" \
    'mimetype.assign = ( ".xml" => "application/xml", ".jpg" => "image/jpeg" )'

printf 'logo: %s bytes, 704 scans of 8192 x 8192; pages: empty %s bytes, members %s bytes, flat %s bytes, entities %s bytes\n' \
    "$(stat -c %s "$WORK/www/hostile.jpg")" "$(stat -c %s "$WORK/www/empty.xml")" \
    "$(stat -c %s "$WORK/www/members.xml")" "$(stat -c %s "$WORK/www/flat.xml")" \
    "$(stat -c %s "$WORK/www/entities.xml")"
printf '%-8s %10s %18s %12s %12s %9s\n' page open_ms worst_lateness_ms reselect_ms peak_rss_mb messages
for page in logo empty members flat entities; do
    output=$(cd "$WORK/cwd" && "$BENCH" "$BASE/corvanet.xml" "$BASE/$page.xml" 2>"$WORK/bench.err") || {
        echo "HostileBench failed on $page: $output" >&2
        cat "$WORK/bench.err" >&2
        exit 1
    }
    value() { echo "$output" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
    printf '%-8s %10s %18s %12s %12s %9s\n' "$page" "$(value open_ms)" "$(value worst_lateness_ms)" \
        "$(value reselect_ms)" "$(( $(value peak_rss_kb) / 1024 ))" "$(value messages)"
done

printf '\ndirectories: direntities %s bytes, dir60mb %s bytes\n' \
    "$(stat -c %s "$WORK/www/direntities.xml")" "$(stat -c %s "$WORK/www/dir60mb.xml")"
printf '%-12s %10s %18s %12s %12s %9s\n' directory open_ms worst_lateness_ms listed peak_rss_mb messages
for directory in direntities dir60mb; do
    output=$(cd "$WORK/cwd" && "$BENCH" --directory "$BASE/$directory.xml" 2>"$WORK/bench.err") || {
        echo "HostileBench failed on $directory: $output" >&2
        cat "$WORK/bench.err" >&2
        exit 1
    }
    value() { echo "$output" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
    printf '%-12s %10s %18s %12s %12s %9s\n' "$directory" "$(value open_ms)" "$(value worst_lateness_ms)" \
        "$(value listed)" "$(( $(value peak_rss_kb) / 1024 ))" "$(value messages)"
done
