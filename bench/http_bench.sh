#!/bin/bash
# Measures "squadnet get" against curl on loopback:
#  1. a 256 MiB file from lighttpd, downloaded alternately by both clients
#     (3 rounds each): wall time and CPU time (user + system), with ratios;
#  2. a slow download (one byte every 100 ms for 5 s) from a small python
#     server: the CPU share of squadnet get while it mostly waits.
# Usage: bench/http_bench.sh [path/to/squadnet]   (default: build/tools/squadnet)
# Everything runs on 127.0.0.1 with ports the system picks; all files live in
# a temporary directory that is removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
squadnet=$(realpath "${1:-$here/build/tools/squadnet}")
rounds=${ROUNDS:-3}
size_mib=${SIZE_MIB:-256}
[ -x "$squadnet" ] || { echo "no squadnet at $squadnet" >&2; exit 2; }
command -v lighttpd >/dev/null || PATH=$PATH:/usr/sbin
command -v lighttpd >/dev/null || { echo "lighttpd is needed" >&2; exit 2; }

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

wait_for_port() {
    for _ in $(seq 100); do
        if /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1)" 2>/dev/null; then
            return 0
        fi
        sleep 0.05
    done
    echo "server on port $1 did not start" >&2
    exit 1
}

# --- 1. bulk download ------------------------------------------------------
mkdir -p "$work/www"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
port=$(free_port)
cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$work/www"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/lighttpd.log"
server.max-keep-alive-requests = 0
mimetype.assign = ( "" => "application/octet-stream" )
CONF
lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)
wait_for_port "$port"
url="http://127.0.0.1:$port/big.bin"

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

: >"$work/results.txt"
printf "%-8s %-6s %10s %10s\n" client round wall_s cpu_s
for round in $(seq "$rounds"); do
    read -r w c < <(measure "$squadnet" get "$url" --body "$work/ours.bin" --header "$work/head.txt")
    printf "%-8s %-6s %10s %10s\n" squadnet "$round" "$w" "$c"
    echo "squadnet $w $c" >>"$work/results.txt"
    cmp -s "$work/ours.bin" "$work/www/big.bin" || { echo "squadnet download differs" >&2; exit 1; }

    read -r w c < <(measure curl -s -0 -o "$work/curl.bin" "$url")
    printf "%-8s %-6s %10s %10s\n" curl "$round" "$w" "$c"
    echo "curl $w $c" >>"$work/results.txt"
    rm -f "$work/ours.bin" "$work/curl.bin"
done
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
pids+=($SLOW_PID)
read -r slow_port <&"${SLOW[0]}"
read -r w c < <(measure "$squadnet" get "http://127.0.0.1:$slow_port/slow" --body "$work/slow.bin" --header "$work/slow.txt")
echo "slow download (1 byte / 100 ms, 5 s):"
awk -v w="$w" -v c="$c" 'BEGIN { printf "  wall %.4f s  cpu %.4f s  share %.2f %% (goal < 2 %%)\n", w, c, (w > 0 ? 100 * c / w : 0) }'
[ "$(stat -c %s "$work/slow.bin")" = 50 ] || echo "  (slow download is not 50 bytes)" >&2
