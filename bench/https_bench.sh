#!/bin/bash
# Measures "squadnet get" against curl over https on loopback: a 256 MiB file
# from lighttpd with mod_openssl, downloaded alternately by both clients
# (3 rounds each), with a certificate from a test CA made for the run.
# Prints each round's wall time and the ratio squadnet/curl; the goal is a
# ratio of at most 1.2.
#
# usage: bench/https_bench.sh [path/to/squadnet]   (default: build/tools/squadnet)
# ROUNDS and SIZE_MIB in the environment change the defaults.
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

/usr/bin/python3 "$here/tests/support/testca.py" "$work/certs"
mkdir -p "$work/www"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
port=$(free_port)
cat >"$work/lighttpd.conf" <<CONF
server.modules += ( "mod_openssl" )
server.document-root = "$work/www"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/lighttpd.log"
server.max-keep-alive-requests = 0
ssl.engine = "enable"
ssl.pemfile = "$work/certs/good.pem"
mimetype.assign = ( "" => "application/octet-stream" )
CONF
lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)
wait_for_port "$port"
url="https://127.0.0.1:$port/big.bin"
export SSL_CERT_FILE=$work/certs/ca.pem

# Prints the wall time of one command in seconds.
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
print("%.4f" % (time.monotonic() - start))
if status != 0:
    print("%s failed (status %d)" % (sys.argv[1], status), file=sys.stderr)
' "$@"
}

: >"$work/results.txt"
printf "%-8s %-6s %10s\n" client round wall_s
for round in $(seq "$rounds"); do
    w=$(measure "$squadnet" get "$url" --body "$work/ours.bin" --header "$work/head.txt")
    printf "%-8s %-6s %10s\n" squadnet "$round" "$w"
    echo "squadnet $w" >>"$work/results.txt"
    cmp -s "$work/ours.bin" "$work/www/big.bin" || { echo "squadnet download differs" >&2; exit 1; }

    w=$(measure curl -s -0 --cacert "$SSL_CERT_FILE" -o "$work/curl.bin" "$url")
    printf "%-8s %-6s %10s\n" curl "$round" "$w"
    echo "curl $w" >>"$work/results.txt"
    cmp -s "$work/curl.bin" "$work/www/big.bin" || { echo "curl download differs" >&2; exit 1; }
    rm -f "$work/ours.bin" "$work/curl.bin"
done
echo "https, ${size_mib} MiB, $rounds rounds each:"
awk '
    { wall[$1] += $2 }
    END {
        printf "  wall  squadnet %.4f s  curl %.4f s  ratio %.2f (goal <= 1.2)\n", wall["squadnet"], wall["curl"], (wall["curl"] > 0 ? wall["squadnet"] / wall["curl"] : 0)
    }' "$work/results.txt"
