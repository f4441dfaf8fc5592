#!/bin/bash
# Several writers at once against each FTP server: CLIENTS separate "squadnet
# add" processes publish ADDS squads each into one directory, then CLIENTS
# processes remove REMOVES entries each. In the adds, one client is killed
# (SIGKILL) and one paused (SIGSTOP for PAUSE seconds, then SIGCONT) in the
# middle of a publish: each starts its publish while the lock is free and is
# hit once the lock folder is on the server. The squad pages are served by
# lighttpd.
#
# Servers: Debian's vsftpd, ProFTPD (as Debian ships it; proftpd-appe: with
# AllowStoreRestart on) and Pure-FTPd, run by RealFtpServerMain from the
# tests' unpacked packages, and pyftpdlib (tests/support/ftpserver.py).
#
# Printed per server: lost adds (asked for, not in the directory at the end),
# resurrected removals (asked for, there at the end), both without the killed
# publish and without those that failed saying nothing was published; the
# publishes that reported success but whose change is not in the directory at
# the end; failed commands (and their commonest errors); what is left
# on the account besides the directory and its history, and the time of one
# publish (median and worst; the killed and paused ones apart). Exits 1 when
# any server lost an add, resurrected a removal or lost a reported success.
# Last, bench/history_bench.sh: 200 publishes with the history and without.
#
# usage: bench/publish_bench.sh [--server NAME|all] [--lease SECONDS] [--pause SECONDS] [--tls]
#                               [BUILD_DIR] [CLIENTS] [ADDS] [REMOVES]
#   NAME: vsftpd, proftpd, proftpd-appe, pure-ftpd, pyftpdlib; all (default) runs each in turn.
#   --lease: the lock's lease (default 60 s, as shipped); --pause default 90 s.
#   --tls: FTPS required on the real servers (pyftpdlib too).
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

servers=all lease=60 pause=90 tls=0
positional=()
while (( $# )); do
    case $1 in
        --server) servers=$2; shift 2 ;;
        --lease) lease=$2; shift 2 ;;
        --pause) pause=$2; shift 2 ;;
        --tls) tls=1; shift ;;
        *) positional+=("$1"); shift ;;
    esac
done
build=${positional[0]:-$repo/build}
clients=${positional[1]:-8}
adds=${positional[2]:-25}
removes=${positional[3]:-5}
[[ $servers == all ]] && servers="vsftpd proftpd proftpd-appe pure-ftpd pyftpdlib"
squadnet=$build/tools/squadnet
[ -x "$squadnet" ] || { echo "no squadnet at $squadnet (build first)" >&2; exit 1; }
need lighttpd curl

# The squad pages, on the web.
mkdir -p "$work/www/pages"
for c in $(seq "$clients"); do
    for a in $(seq "$adds"); do
        echo "<squad nick=\"s$c-$a\"><name>Squad $c-$a</name></squad>" >"$work/www/pages/$c-$a.xml"
    done
done
start_lighttpd "$work/www" 'mimetype.assign = ( ".xml" => "text/xml" )'
web_port=$lighttpd_port
printf 'squadup\n' >"$work/password"

tls_args=(--tls off)
if (( tls )); then
    make_test_ca "$work/certs" >/dev/null
    tls_args=(--tls required)
fi

# Starts server NAME; sets ftp_port, ftp_user, account.
start_server() {
    local name=$1 run=$2
    if [[ $name == pyftpdlib ]]; then
        account=$run/account
        mkdir -p "$account"
        local cert=()
        (( tls )) && cert=("$work/certs/good.pem")
        start_ftpserver "$account" corvanet squadup "${cert[@]}" || return 1
        ftp_user=corvanet
    else
        local args=("${name%-appe}")
        [[ $name == *-appe ]] && args+=(--append-allowed)
        (( tls )) && args+=(--tls "$work/certs")
        start_real_ftpserver "$build" "$run" "${args[@]}" || return 1
        account=$ftp_account
    fi
    [ -n "${ftp_port:-}" ] || { echo "$name did not start" >&2; return 1; }
}

stop_server() { # NAME
    if [[ $1 == pyftpdlib ]]; then
        stop_ftpserver
    else
        stop_real_ftpserver
    fi
}

# One publish, timed; its outcome goes to the results: "COMMAND URL RC".
publish() { # RUN CLIENT COMMAND URL [victim: kill|pause]
    local run=$1 command=$3 url=$4 victim=${5:-}
    local common=(--host 127.0.0.1 --port "$ftp_port" --user "$ftp_user" --password-file "$work/password"
                  --directory "http://127.0.0.1:$web_port/corvanet.xml" --lease "$lease" "${tls_args[@]}")
    local lock=$account/corvanet.xml.lock start end rc=0
    if [[ -n $victim ]]; then
        # Start while the lock is free, strike once it is on the server.
        for _ in $(seq 6000); do [ -e "$lock" ] || break; sleep 0.01; done
    fi
    start=$(now)
    "$squadnet" "$command" "${common[@]}" "$url" >>"$run/output" 2>>"$run/errors" &
    local pid=$!
    if [[ -n $victim ]]; then
        for _ in $(seq 6000); do { [ -e "$lock" ] || ! kill -0 "$pid" 2>/dev/null; } && break; sleep 0.005; done
        if [[ $victim == kill ]]; then
            kill -KILL "$pid" 2>/dev/null || true
        else
            kill -STOP "$pid" 2>/dev/null || true
            sleep "$pause"
            kill -CONT "$pid" 2>/dev/null || true
        fi
    fi
    { wait "$pid"; } 2>/dev/null || rc=$?
    end=$(now)
    if [[ $victim == kill ]]; then
        echo "$command $url killed" >>"$run/results"
        return
    fi
    # A failure that says nothing was published is a clean refusal.
    [[ $rc != 0 ]] && tail -n1 "$run/errors" | grep -q 'nothing was published' && rc=clean
    echo "$command $url $rc" >>"$run/results"
    awk "BEGIN { print $end - $start }" >>"$run/times${victim:+-$victim}"
}

client() { # RUN CLIENT COMMAND URL...
    local run=$1 c=$2 command=$3
    shift 3
    local i=0 mid=$(( ($# + 1) / 2 ))
    for url in "$@"; do
        i=$((i + 1))
        local victim=
        if [[ $command == add && $i == "$mid" ]]; then
            [[ $c == 1 ]] && victim='kill'
            [[ $c == 2 ]] && victim='pause'
        fi
        publish "$run" "$c" "$command" "$url" "$victim"
    done
}

stats() { # FILE
    [ -s "$1" ] || { echo "none"; return; }
    sort -n "$1" | awk '{ t[NR] = $1 } END { printf "%d publishes, median %.3f s, max %.3f s", NR, t[int((NR + 1) / 2)], t[NR] }'
}

bad=0
run_server() { # NAME
    local name=$1 run=$work/run-$1
    mkdir -p "$run"
    : >"$run/results"
    start_server "$name" "$run" || { bad=1; return; }
    # The directory: one entry to remove for every removal of phase 2.
    {
        echo '<?xml version="1.0"?>'
        echo '<squads>'
        for c in $(seq "$clients"); do
            for r in $(seq "$removes"); do
                echo "<squad nick=\"old $c-$r\" web=\"http://old.example/$c-$r.xml\"/>"
            done
        done
        echo '</squads>'
    } >"$account/corvanet.xml"
    chmod 0666 "$account/corvanet.xml"

    local started
    started=$(now)
    local phase=()
    for c in $(seq "$clients"); do
        mapfile -t targets < <(for a in $(seq "$adds"); do echo "http://127.0.0.1:$web_port/pages/$c-$a.xml"; done)
        client "$run" "$c" add "${targets[@]}" &
        phase+=($!)
    done
    wait "${phase[@]}"
    phase=()
    for c in $(seq "$clients"); do
        mapfile -t targets < <(for r in $(seq "$removes"); do echo "http://old.example/$c-$r.xml"; done)
        client "$run" "$c" remove "${targets[@]}" &
        phase+=($!)
    done
    wait "${phase[@]}"
    local took
    took=$(awk "BEGIN { printf \"%.0f\", $(now) - $started }")

    local final=$account/corvanet.xml lost=0 resurrected=0 missing=0 failed=0
    while read -r command url rc; do
        local present=0
        grep -qF "web=\"$url\"" "$final" && present=1
        [[ $rc == killed ]] && continue
        [[ $rc != 0 ]] && failed=$((failed + 1))
        [[ $rc == clean ]] && continue
        if [[ $command == add ]]; then
            (( present )) || lost=$((lost + 1))
            [[ $rc == 0 ]] && (( ! present )) && missing=$((missing + 1))
        else
            (( present )) && resurrected=$((resurrected + 1))
            [[ $rc == 0 ]] && (( present )) && missing=$((missing + 1))
        fi
    done <"$run/results"
    local left
    left=$(find "$account" -mindepth 1 -maxdepth 1 ! -name corvanet.xml ! -name corvanet.xml.history -printf '%f ')
    printf '%-13s lost adds %d, resurrected removals %d, reported success but missing %d, failed commands %d, in %s s\n' \
        "$name:" "$lost" "$resurrected" "$missing" "$failed" "$took"
    printf '%-13s left on the account: %s\n' "" "${left:-nothing}"
    kept=$(find "$account/corvanet.xml.history" -type f 2>/dev/null | wc -l)
    printf '%-13s versions in the history: %d (bench/history_bench.sh measures their cost)\n' "" "$kept"
    printf '%-13s per publish: %s; the paused one: %s\n' "" "$(stats "$run/times")" \
        "$(awk '{ printf "%.1f s", $1 }' "$run/times-pause" 2>/dev/null || echo -)"
    if [ -s "$run/errors" ]; then
        printf '%-13s errors: %s\n' "" "$(sort "$run/errors" | uniq -c | sort -rn | head -3 | tr -s ' ' | paste -sd ';')"
    fi
    (( lost + resurrected + missing == 0 )) || bad=1
    stop_server "$name"
}

echo "squadnet add/remove: $clients clients x $adds adds (one killed, one paused ${pause} s), then" \
     "$clients x $removes removals; lease ${lease} s; $([ "$tls" = 1 ] && echo FTPS || echo plain FTP) on loopback"
for name in $servers; do
    run_server "$name"
done
# And what the history costs one publish: 200 with it and without.
echo
bash "$repo/bench/history_bench.sh" "$build" 200 300 || bad=1
exit $bad
