#!/bin/bash
# Upload speed over explicit FTPS: "squadnet upload --tls required" against
# "curl --ssl-reqd -T", both storing the same file in ASCII type (curl -B;
# squadnet sends no TYPE, so the server's default ASCII type applies) to one
# loopback pyftpdlib server that requires TLS on control and data connections,
# alternating, passive mode, with a certificate from a test CA made for the
# run. Prints each round's wall times and the ratio squadnet/curl; the goal is
# a ratio of at most 1.2.
#
# usage: bench/ftps_bench.sh [BUILD_DIR] [SIZE_MIB] [ROUNDS]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
size_mib=${2:-256}
rounds=${3:-3}
squadnet=$build/tools/squadnet
[ -x "$squadnet" ] || { echo "no squadnet at $squadnet (build first)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }

work=$(mktemp -d)
server_pid=
cleanup() {
    exec 3>&- 2>/dev/null || true
    [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/root"
user=bench
password=benchpass
printf '%s\n' "$password" > "$work/password"

# Text-like content without CR, so that ASCII type stores it unchanged.
head -c "${size_mib}M" /dev/urandom | tr '\r' '\n' > "$work/source.dat"

/usr/bin/python3 "$here/tests/support/testca.py" "$work/certs"
export SSL_CERT_FILE=$work/certs/ca.pem

mkfifo "$work/stdin"
/usr/bin/python3 "$here/tests/support/ftpserver.py" "$work/root" "$user" "$work/certs/good.pem" \
    < "$work/stdin" > "$work/port" 2>"$work/server.log" &
server_pid=$!
exec 3>"$work/stdin"
printf '%s\n' "$password" >&3
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(head -n1 "$work/port")
[ -n "$port" ] || { echo "FTP server did not start" >&2; cat "$work/server.log" >&2; exit 1; }

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
elapsed() { calc "$2 - $1"; }

printf 'FTPS, file %d MiB, server 127.0.0.1:%s, %d rounds\n' "$size_mib" "$port" "$rounds"
printf '%-6s %12s %12s %8s\n' round squadnet_s curl_s ratio
total_ours=0
total_curl=0
for round in $(seq "$rounds"); do
    rm -f "$work/root/ours.dat" "$work/root/curl.dat"
    start=$(now)
    "$squadnet" upload --tls required --host 127.0.0.1 --port "$port" --user "$user" \
        --password-file "$work/password" "$work/source.dat" /ours.dat
    ours=$(elapsed "$start" "$(now)")

    start=$(now)
    curl -sS -B --ssl-reqd --cacert "$SSL_CERT_FILE" -T "$work/source.dat" -u "$user:$password" \
        "ftp://127.0.0.1:$port/curl.dat"
    theirs=$(elapsed "$start" "$(now)")

    cmp -s "$work/source.dat" "$work/root/ours.dat" || { echo "squadnet stored a different file" >&2; exit 1; }
    cmp -s "$work/source.dat" "$work/root/curl.dat" || { echo "curl stored a different file" >&2; exit 1; }
    printf '%-6s %12.3f %12.3f %8.3f\n' "$round" "$ours" "$theirs" "$(calc "$ours / $theirs")"
    total_ours=$(calc "$total_ours + $ours")
    total_curl=$(calc "$total_curl + $theirs")
done
printf '%-6s %12.3f %12.3f %8.3f  (goal: ratio <= 1.2)\n' total "$total_ours" "$total_curl" \
    "$(calc "$total_ours / $total_curl")"
