#!/bin/bash
# Measures "squadnet get" against curl on loopback:
#  1. a 256 MiB file from lighttpd, downloaded alternately by both clients
#     (3 rounds each): wall time and CPU time (user + system), with ratios;
#  2. a slow download (one byte every 100 ms for 5 s) from a small python
#     server: the CPU share of squadnet get while it mostly waits.
# With --tls only the first, over https from lighttpd with mod_openssl and a
# certificate from a test CA made for the run: each round's wall time and the
# ratio squadnet/curl, the goal a ratio of at most 1.2.
# Usage: bench/http_bench.sh [--tls] [path/to/squadnet]   (default: build/tools/squadnet)
# ROUNDS and SIZE_MIB in the environment change the defaults.
# Everything runs on 127.0.0.1 with ports the system picks; all files live in
# a temporary directory that is removed at the end.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

tls=0
[[ ${1:-} == --tls ]] && { tls=1; shift; }
squadnet=$(realpath "${1:-$repo/build/tools/squadnet}")
rounds=${ROUNDS:-3}
size_mib=${SIZE_MIB:-256}
[ -x "$squadnet" ] || { echo "no squadnet at $squadnet" >&2; exit 2; }
need lighttpd curl

# --- 1. bulk download ------------------------------------------------------
mkdir -p "$work/www"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
config=('server.max-keep-alive-requests = 0' 'mimetype.assign = ( "" => "application/octet-stream" )')
if (( tls )); then
    make_test_ca "$work/certs"
    start_lighttpd "$work/www" --tls "$work/certs/good.pem" "${config[@]}"
    url="https://127.0.0.1:$lighttpd_port/big.bin"
else
    start_lighttpd "$work/www" "${config[@]}"
    url="http://127.0.0.1:$lighttpd_port/big.bin"
fi

# Prints "wall user+system" of one command, in seconds (microsecond
# resolution, from the child's resource usage).
measure() {
    /usr/bin/python3 -c '
import os, sys, time
start = time.monotonic()
pid = os.fork()
if pid == 0:
    fd = os.open(os.devnull, os.O_WRONLY)
    os.dup2(fd, 1)
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
wall = time.monotonic() - start
print("%.4f %.4f" % (wall, usage.ru_utime + usage.ru_stime))
if status != 0:
    print("%s failed (status %d)" % (sys.argv[1], status), file=sys.stderr)
' "$@"
}

# One line of the table: CLIENT ROUND WALL CPU (CPU left out with --tls).
row() {
    if (( tls )); then
        printf "%-8s %-6s %10s\n" "$1" "$2" "$3"
    else
        printf "%-8s %-6s %10s %10s\n" "$1" "$2" "$3" "$4"
    fi
}

curl_tls=()
(( tls )) && curl_tls=(--cacert "$SSL_CERT_FILE")
: >"$work/results.txt"
row client round wall_s cpu_s
for round in $(seq "$rounds"); do
    read -r w c < <(measure "$squadnet" get "$url" --body "$work/ours.bin" --header "$work/head.txt")
    row squadnet "$round" "$w" "$c"
    echo "squadnet $w $c" >>"$work/results.txt"
    cmp -s "$work/ours.bin" "$work/www/big.bin" || { echo "squadnet download differs" >&2; exit 1; }

    read -r w c < <(measure curl -s -0 "${curl_tls[@]}" -o "$work/curl.bin" "$url")
    row curl "$round" "$w" "$c"
    echo "curl $w $c" >>"$work/results.txt"
    if (( tls )); then
        cmp -s "$work/curl.bin" "$work/www/big.bin" || { echo "curl download differs" >&2; exit 1; }
    fi
    rm -f "$work/ours.bin" "$work/curl.bin"
done
if (( tls )); then
    echo "https, ${size_mib} MiB, $rounds rounds each:"
    awk '
        { wall[$1] += $2 }
        END {
            printf "  wall  squadnet %.4f s  curl %.4f s  ratio %.2f (goal <= 1.2)\n", wall["squadnet"], wall["curl"], (wall["curl"] > 0 ? wall["squadnet"] / wall["curl"] : 0)
        }' "$work/results.txt"
    exit 0
fi
echo "${size_mib} MiB, $rounds rounds each:"
awk '
    { wall[$1] += $2; cpu[$1] += $3 }
    function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "n/a" }
    END {
        printf "  wall  squadnet %.4f s  curl %.4f s  ratio %s (goal <= 1.1)\n", wall["squadnet"], wall["curl"], ratio(wall["squadnet"], wall["curl"])
        printf "  cpu   squadnet %.4f s  curl %.4f s  ratio %s (goal <= 1.5)\n", cpu["squadnet"], cpu["curl"], ratio(cpu["squadnet"], cpu["curl"])
    }' "$work/results.txt"

# --- 2. slow download ------------------------------------------------------
cat >"$work/slow.py" <<'PY'
import socket, sys, time
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 0))
server.listen(1)
print(server.getsockname()[1], flush=True)
conn, _ = server.accept()
conn.recv(65536)
conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")
for _ in range(50):
    time.sleep(0.1)
    conn.sendall(b"x")
conn.close()
PY
coproc SLOW { /usr/bin/python3 "$work/slow.py"; }
on_exit stop_pid "$SLOW_PID"
read -r slow_port <&"${SLOW[0]}"
read -r w c < <(measure "$squadnet" get "http://127.0.0.1:$slow_port/slow" --body "$work/slow.bin" --header "$work/slow.txt")
echo "slow download (1 byte / 100 ms, 5 s):"
awk -v w="$w" -v c="$c" 'BEGIN { printf "  wall %.4f s  cpu %.4f s  share %.2f %% (goal < 2 %%)\n", w, c, (w > 0 ? 100 * c / w : 0) }'
[ "$(stat -c %s "$work/slow.bin")" = 50 ] || echo "  (slow download is not 50 bytes)" >&2
