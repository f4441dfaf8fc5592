#!/usr/bin/env bash
# Socket layer benchmark, loopback only.
#
#  1. Bulk: a 256 MiB file is sent with SendFile to a peer that discards it,
#     and fetched with CaptureFile from lighttpd; curl fetches the same file
#     from the same lighttpd. Goals: wall time within 1.1x curl's, CPU time
#     within 1.5x curl's.
#  2. Idle: a peer sends one byte every 100 ms for 5 s while CaptureString
#     waits. Goal: CPU time under 2 % of the wall time.
#
# Usage: bench/socket_bench.sh [BUILD_DIR]   (default: ./build)
# The build directory must be configured; the script builds SocketBench in it.
# SIZE_MIB and RUNS override the file size (256) and the runs per figure (3).
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

build=${1:-build}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
py=/usr/bin/python3

cmake --build "$build" --target SocketBench -- -j2 >/dev/null
bench=$(find "$build" -name SocketBench -type f -perm -u+x | head -n1)
[ -n "$bench" ] || { echo "SocketBench not built" >&2; exit 1; }

need lighttpd curl

# A loopback helper server: "discard" reads until the client closes,
# "trickle" sends one byte every 100 ms for 5 s. Prints its port first.
cat >"$work/peer.py" <<'EOF'
import socket, sys, time
mode = sys.argv[1]
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(4)
print(s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept()
    if mode == "discard":
        while c.recv(1 << 20):
            pass
    else:
        for _ in range(50):
            c.sendall(b"x")
            time.sleep(0.1)
    c.close()
EOF

start_peer() { # mode -> sets peer_port
    "$py" -u "$work/peer.py" "$1" >"$work/$1.port" &
    on_exit stop_pid $!
    for _ in $(seq 50); do
        [ -s "$work/$1.port" ] && break
        sleep 0.1
    done
    peer_port=$(head -n1 "$work/$1.port")
}

# Runs a command; prints "wall cpu" of the whole process (user + system).
measure() {
    "$py" - "$@" <<'EOF'
import resource, subprocess, sys, time
t = time.monotonic()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
wall = time.monotonic() - t
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{wall:.3f} {r.ru_utime + r.ru_stime:.3f}")
EOF
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Runs "measure ARGS" $runs times; prints the median wall and median cpu.
median_of_runs() {
    local out=$work/runs.txt
    : >"$out"
    for _ in $(seq "$runs"); do measure "$@" >>"$out"; done
    echo "$(cut -d' ' -f1 "$out" | median) $(cut -d' ' -f2 "$out" | median)"
}

echo "Preparing a ${size_mib} MiB file ..."
mkdir -p "$work/www"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/www/big.bin"

start_lighttpd "$work/www" 'mimetype.assign = ( "" => "application/octet-stream" )'
http_port=$lighttpd_port

url="http://127.0.0.1:$http_port/big.bin"
read -r curl_wall curl_cpu < <(median_of_runs curl -s -o "$work/curl.bin" "$url")
read -r get_wall get_cpu < <(median_of_runs "$bench" get "$http_port" /big.bin "$work/get.bin")
cmp -s "$work/www/big.bin" "$work/get.bin" || { echo "CaptureFile copy differs" >&2; exit 1; }

start_peer discard
read -r send_wall send_cpu < <(median_of_runs "$bench" send "$peer_port" "$work/www/big.bin")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo
echo "Bulk transfer of ${size_mib} MiB over loopback (median of $runs runs, whole process):"
printf "  %-30s wall %7.3f s  cpu %7.3f s\n" "curl download" "$curl_wall" "$curl_cpu"
printf "  %-30s wall %7.3f s  cpu %7.3f s  wall ratio %s (goal <= 1.10)  cpu ratio %s (goal <= 1.50)\n" \
    "CaptureFile download" "$get_wall" "$get_cpu" "$(ratio "$get_wall" "$curl_wall")" "$(ratio "$get_cpu" "$curl_cpu")"
printf "  %-30s wall %7.3f s  cpu %7.3f s  wall ratio %s  cpu ratio %s (against the curl download)\n" \
    "SendFile to a discarding peer" "$send_wall" "$send_cpu" "$(ratio "$send_wall" "$curl_wall")" "$(ratio "$send_cpu" "$curl_cpu")"

start_peer trickle
line=$("$bench" trickle "$peer_port")
wall=$(sed -n 's/.*wall=\([0-9.]*\).*/\1/p' <<<"$line")
cpu=$(sed -n 's/.*cpu=\([0-9.]*\).*/\1/p' <<<"$line")
echo
echo "Idle wait: CaptureString while one byte arrives every 100 ms:"
printf "  wall %.3f s  cpu %.3f s  cpu/wall %s %% (goal < 2 %%)\n" "$wall" "$cpu" \
    "$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "%.2f", 100 * c / w }')"
