#!/bin/bash
# Several writers at once: CLIENTS separate "squadnet add" processes publish
# ADDS squads each into one directory on a loopback FTP server (pyftpdlib),
# the squad pages served by lighttpd; then CLIENTS processes remove REMOVES
# entries each; then one client alone adds ADDS squads, for comparison.
# Prints the lost adds and the resurrected removals (both must be 0) and the
# time of one publish (median and worst) in each phase.
#
# usage: bench/publish_bench.sh [BUILD_DIR] [CLIENTS] [ADDS] [REMOVES]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
clients=${2:-8}
adds=${3:-25}
removes=${4:-5}
squadnet=$build/tools/squadnet
[ -x "$squadnet" ] || { echo "no squadnet at $squadnet (build first)" >&2; exit 1; }
command -v lighttpd >/dev/null || PATH=$PATH:/usr/sbin
command -v lighttpd >/dev/null || { echo "lighttpd is needed" >&2; exit 2; }

work=$(mktemp -d)
pids=()
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# The directory: one entry to remove for every removal of phase 2.
mkdir -p "$work/root/pages"
{
    echo '<?xml version="1.0"?>'
    echo '<squads>'
    for c in $(seq "$clients"); do
        for r in $(seq "$removes"); do
            echo "<squad nick=\"old $c-$r\" web=\"http://old.example/$c-$r.xml\"/>"
        done
    done
    echo '</squads>'
} >"$work/root/corvanet.xml"
for c in $(seq 0 "$clients"); do
    for a in $(seq "$adds"); do
        echo "<squad nick=\"s$c-$a\"><name>Squad $c-$a</name></squad>" >"$work/root/pages/$c-$a.xml"
    done
done

web_port=$(free_port)
cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$work/root"
server.bind = "127.0.0.1"
server.port = $web_port
server.errorlog = "$work/lighttpd.log"
mimetype.assign = ( ".xml" => "text/xml" )
CONF
lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)

printf 'benchpass\n' >"$work/password"
mkfifo "$work/stdin"
/usr/bin/python3 "$here/tests/support/ftpserver.py" "$work/root" bench \
    <"$work/stdin" >"$work/port" 2>"$work/ftp.log" &
pids+=($!)
exec 3>"$work/stdin"
printf 'benchpass\n' >&3
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
ftp_port=$(head -n1 "$work/port")
[ -n "$ftp_port" ] || { echo "FTP server did not start" >&2; exit 1; }
sleep 0.2

common=(--host 127.0.0.1 --port "$ftp_port" --user bench --password-file "$work/password"
        --directory "http://127.0.0.1:$web_port/corvanet.xml")
now() { date +%s.%N; }

# One client: runs its commands one after another, each timed.
client() { # NAME COMMAND ARG...
    local name=$1 command=$2
    shift 2
    for target in "$@"; do
        local start end
        start=$(now)
        "$squadnet" "$command" "${common[@]}" "$target" >/dev/null 2>>"$work/errors" || echo fail >>"$work/failures"
        end=$(now)
        awk "BEGIN { print $end - $start }" >>"$work/times-$name"
    done
}

stats() { # FILE...
    cat "$@" | sort -n | awk '{ t[NR] = $1 } END { printf "%d publishes, median %.3f s, worst %.3f s", NR, t[int((NR + 1) / 2)], t[NR] }'
}

run_phase() { # NAME COMMAND TARGET-MAKER
    local name=$1 command=$2 maker=$3
    local start
    start=$(now)
    local phase_pids=()
    for c in $(seq "$clients"); do
        mapfile -t targets < <("$maker" "$c")
        client "$name-$c" "$command" "${targets[@]}" &
        phase_pids+=($!)
    done
    wait "${phase_pids[@]}"
    printf '%-28s %s, all in %.1f s\n' "$name ($clients clients):" "$(stats "$work"/times-"$name"-*)" \
        "$(awk "BEGIN { print $(now) - $start }")"
}

add_targets() { for a in $(seq "$adds"); do echo "http://127.0.0.1:$web_port/pages/$1-$a.xml"; done; }
remove_targets() { for r in $(seq "$removes"); do echo "http://old.example/$1-$r.xml"; done; }

echo "squadnet add/remove: $clients clients x $adds adds, then $clients x $removes removals, loopback"
run_phase adds add add_targets
run_phase removals remove remove_targets
mapfile -t alone < <(add_targets 0)
client alone add "${alone[@]}"
printf '%-28s %s\n' "one client alone:" "$(stats "$work"/times-alone)"

# What the directory holds now.
lost=0
for c in $(seq 0 "$clients"); do
    for a in $(seq "$adds"); do
        grep -q "pages/$c-$a.xml\"" "$work/root/corvanet.xml" || lost=$((lost + 1))
    done
done
resurrected=$(grep -c 'old.example' "$work/root/corvanet.xml" || true)
failures=$( [ -f "$work/failures" ] && wc -l <"$work/failures" || echo 0)
printf 'lost adds: %d   resurrected removals: %d   failed commands: %d\n' "$lost" "$resurrected" "$failures"
[ -f "$work/errors" ] && head -5 "$work/errors"
left=$(find "$work/root" -maxdepth 1 -name 'corvanet.xml.*' ! -name 'corvanet.xml.history' | wc -l)
printf 'left on the server besides the directory and its history: %d\n' "$left"
kept=$(find "$work/root/corvanet.xml.history" -type f 2>/dev/null | wc -l)
printf 'versions in the history: %d (bench/history_bench.sh measures what it costs)\n' "$kept"
[ "$lost" -eq 0 ] && [ "$resurrected" -eq 0 ] && [ "$failures" -eq 0 ]
