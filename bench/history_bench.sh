#!/bin/bash
# What the directory's history costs: COUNT publishes without it and COUNT
# with it (bench/HistoryBench.cpp, taking turns) against one loopback FTP
# server (pyftpdlib, tests/support/ftpserver.py, as bench/publish_bench.sh
# uses), each into a directory of SQUADS entries. DELAY_MS makes every reply
# of the server that much late, as a distant server's would be. The history
# starts full (200 versions), so that every publish with it prunes one, as
# on a busy account. Prints the
# per-publish median and maximum of each, their ratio (the goal: at most
# 1.3) and the number of history files at the end (at most 200).
#
# With --server vsftpd|proftpd|pure-ftpd the same runs against that real
# server (bench/RealFtpServerMain, as bench/publish_bench.sh uses them);
# DELAY_MS applies to pyftpdlib only.
#
# usage: bench/history_bench.sh [--server NAME] [BUILD_DIR] [COUNT] [SQUADS] [DELAY_MS]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

server=pyftpdlib
if [[ ${1:-} == --server ]]; then
    server=$2
    shift 2
fi
build=${1:-$repo/build}
count=${2:-200}
squads=${3:-300}
delay=${4:-0}
bench=$build/bench/HistoryBench
[ -x "$bench" ] || { echo "no HistoryBench at $bench (build first)" >&2; exit 1; }

for folder in plain kept; do
    mkdir -p "$work/root/$folder"
    {
        echo '<?xml version="1.0"?>'
        echo '<squads>'
        for s in $(seq "$squads"); do
            echo "<squad nick=\"Squad number $s\" web=\"http://squads.example.org/pages/squad-$s.xml\"/>"
        done
        echo '</squads>'
    } >"$work/root/$folder/corvanet.xml"
done

# The kept directory's history as a busy account has it: full, so that every
# publish also prunes one version, and its newest entry the live directory.
/usr/bin/python3 - "$work/root/kept" <<'PY'
import datetime, hashlib, os, sys
folder = sys.argv[1]
os.mkdir(folder + "/corvanet.xml.history")
stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
def keep(sequence, content):
    name = "%08d-%s-%s-%d.xml" % (sequence, stamp, hashlib.sha256(content).hexdigest()[:16], len(content))
    with open(folder + "/corvanet.xml.history/" + name, "wb") as f:
        f.write(content)
for sequence in range(1, 200):
    keep(sequence, b"<squads><squad nick=\"old\" web=\"http://old.example/%d.xml\"/></squads>\n" % sequence)
keep(200, open(folder + "/corvanet.xml", "rb").read())
PY

if [[ $server == pyftpdlib ]]; then
    printf 'benchpass\n' >"$work/password"
    options=()
    [ "$delay" -gt 0 ] && options=(--delay "$delay")
    start_ftpserver "$work/root" bench benchpass "${options[@]}"
    port=$ftp_port user=bench
else
    printf 'squadup\n' >"$work/password"
    start_real_ftpserver "$build" "$work" "$server"
    port=$ftp_port user=$ftp_user account=$ftp_account
    cp -r "$work/root/plain" "$work/root/kept" "$account/"
    chmod -R a+rwX "$account/plain" "$account/kept"
    delay=0
fi

echo "history: $count publishes with and without, directory of $squads squads ($(wc -c <"$work/root/kept/corvanet.xml") bytes), $server, reply delay ${delay} ms, loopback"
"$bench" "$port" "$user" "$work/password" "$count"
