#!/bin/bash
# Upload speed of "squadnet upload" against curl, both storing the same file
# in ASCII type (curl -B; squadnet sends no TYPE, so the server's default
# ASCII type applies) to one loopback FTP server, alternating, passive mode.
# With --tls the server is pyftpdlib requiring explicit FTPS on control and
# data connections, with a certificate from a test CA made for the run, and
# the clients are "squadnet upload --tls required" and "curl --ssl-reqd".
# Prints each round's wall times and the ratio squadnet/curl; the goal is a
# ratio of at most 1.1 (1.2 with --tls).
#
# usage: bench/ftp_bench.sh [--tls] [BUILD_DIR] [SIZE_MIB] [ROUNDS]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

tls=0
[[ ${1:-} == --tls ]] && { tls=1; shift; }
build=${1:-$repo/build}
size_mib=${2:-256}
rounds=${3:-3}
squadnet=$build/tools/squadnet
[ -x "$squadnet" ] || { echo "no squadnet at $squadnet (build first)" >&2; exit 1; }
need curl

mkdir "$work/root"
user=bench
password=benchpass
printf '%s\n' "$password" > "$work/password"

# Text-like content without CR, so that ASCII type stores it unchanged.
head -c "${size_mib}M" /dev/urandom | tr '\r' '\n' > "$work/source.dat"

ours_tls=() curl_tls=() cert=() label='' goal=1.1
if (( tls )); then
    make_test_ca "$work/certs"
    cert=("$work/certs/good.pem")
    ours_tls=(--tls required)
    curl_tls=(--ssl-reqd --cacert "$SSL_CERT_FILE")
    label="FTPS, " goal=1.2
fi
start_ftpserver "$work/root" "$user" "$password" "${cert[@]}"
port=$ftp_port

printf '%sfile %d MiB, server 127.0.0.1:%s, %d rounds\n' "$label" "$size_mib" "$port" "$rounds"
printf '%-6s %12s %12s %8s\n' round squadnet_s curl_s ratio
total_ours=0
total_curl=0
for round in $(seq "$rounds"); do
    rm -f "$work/root/ours.dat" "$work/root/curl.dat"
    start=$(now)
    "$squadnet" upload "${ours_tls[@]}" --host 127.0.0.1 --port "$port" --user "$user" \
        --password-file "$work/password" "$work/source.dat" /ours.dat
    ours=$(elapsed "$start" "$(now)")

    start=$(now)
    curl -sS -B "${curl_tls[@]}" -T "$work/source.dat" -u "$user:$password" "ftp://127.0.0.1:$port/curl.dat"
    theirs=$(elapsed "$start" "$(now)")

    cmp -s "$work/source.dat" "$work/root/ours.dat" || { echo "squadnet stored a different file" >&2; exit 1; }
    cmp -s "$work/source.dat" "$work/root/curl.dat" || { echo "curl stored a different file" >&2; exit 1; }
    printf '%-6s %12.3f %12.3f %8.3f\n' "$round" "$ours" "$theirs" "$(calc "$ours / $theirs")"
    total_ours=$(calc "$total_ours + $ours")
    total_curl=$(calc "$total_curl + $theirs")
done
printf '%-6s %12.3f %12.3f %8.3f  (goal: ratio <= %s)\n' total "$total_ours" "$total_curl" \
    "$(calc "$total_ours / $total_curl")" "$goal"
