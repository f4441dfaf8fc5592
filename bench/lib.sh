# shellcheck shell=bash
# Set-up shared by the benchmark scripts; source it after "set -euo pipefail".
#
# On sourcing: $repo is the source tree, $work a fresh folder that is removed
# when the script exits, after the clean-ups registered with on_exit have run
# (newest first: the servers are stopped before their folder goes).
#
#   on_exit COMMAND...          run COMMAND (eval'd) when the script exits
#   stop_pid PID                kill PID and wait for it
#   need TOOL...                exit 1 unless every TOOL is on PATH (/usr/sbin too)
#   free_port                   prints a loopback port that was free just now
#   start_lighttpd ROOT [--tls CERT] [--port PORT] [CONFIG_LINE...]
#                               serves ROOT on 127.0.0.1 (https with CERT, a
#                               key-and-certificate PEM) at PORT or a free port;
#                               CONFIG_LINEs are added to its lighttpd.conf.
#                               Returns once it answers; sets lighttpd_port and
#                               lighttpd_pid.
#   start_ftpserver ROOT USER PASSWORD [CERT] [OPTION...]
#                               tests/support/ftpserver.py serving ROOT (FTPS
#                               required with CERT); the password goes on a fifo
#                               kept open until stop_ftpserver or the exit. Sets
#                               ftp_port, ftp_pid and ftp_fd.
#   stop_ftpserver              stops the server that start_ftpserver started last
#   start_real_ftpserver BUILD_DIR DIR NAME [OPTION...]
#                               vsftpd, proftpd or pure-ftpd by the build's
#                               bench/RealFtpServerMain (its options), its files
#                               in DIR. Sets ftp_port, ftp_user, ftp_account
#                               (the account's folder) and ftp_real_fd.
#   stop_real_ftpserver         stops the server that start_real_ftpserver started last
# Both start functions print the server's log and return 1 when it does not
# come up (under set -e that ends the script).
#   make_test_ca DIR            a test CA and certificates in DIR (see
#                               tests/support/testca.py); SSL_CERT_FILE=DIR/ca.pem
#   now, calc EXPR, elapsed START END
#                               seconds since the epoch; awk arithmetic printed
#                               with 6 decimals; END - START

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
_on_exit=()

on_exit() { _on_exit+=("$*"); }

_run_on_exit() {
    local i
    for ((i = ${#_on_exit[@]} - 1; i >= 0; i--)); do
        eval "${_on_exit[i]}" || true
    done
    rm -rf "$work"
}
trap _run_on_exit EXIT

# stop_pid PID: ends a server and waits for it.
stop_pid() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || [[ $PATH == *:/usr/sbin* ]] || PATH=$PATH:/usr/sbin
        command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
    done
}

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

start_lighttpd() {
    local root=$1 cert='' scheme=http port=''
    shift
    while (( $# )); do
        case $1 in
            --tls) cert=$2 scheme=https; shift 2 ;;
            --port) port=$2; shift 2 ;;
            *) break ;;
        esac
    done
    need lighttpd curl
    lighttpd_port=${port:-$(free_port)}
    local conf=$work/lighttpd-$lighttpd_port.conf log=$work/lighttpd-$lighttpd_port.log
    {
        echo "server.document-root = \"$root\""
        echo 'server.bind = "127.0.0.1"'
        echo "server.port = $lighttpd_port"
        echo "server.errorlog = \"$log\""
        if [[ -n $cert ]]; then
            echo 'server.modules += ( "mod_openssl" )'
            echo 'ssl.engine = "enable"'
            echo "ssl.pemfile = \"$cert\""
        fi
        printf '%s\n' "$@"
    } >"$conf"
    lighttpd -D -f "$conf" &
    lighttpd_pid=$!
    on_exit stop_pid "$lighttpd_pid"
    local _
    for _ in $(seq 100); do
        # Any answer will do, a 404 of the root as well.
        curl -sk -o /dev/null "$scheme://127.0.0.1:$lighttpd_port/" && return 0
        kill -0 "$lighttpd_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "lighttpd did not come up" >&2
    cat "$log" >&2 2>/dev/null || true
    return 1
}

start_ftpserver() {
    local root=$1 user=$2 password=$3
    shift 3
    local dir
    dir=$(mktemp -d "$work/ftpserver.XXXX")
    mkfifo "$dir/stdin"
    /usr/bin/python3 "$repo/tests/support/ftpserver.py" "$root" "$user" "$@" \
        <"$dir/stdin" >"$dir/port" 2>"$dir/server.log" &
    ftp_pid=$!
    # The server ends when its standard input closes.
    exec {ftp_fd}>"$dir/stdin"
    on_exit _stop_ftp "$ftp_fd" "$ftp_pid"
    printf '%s\n' "$password" >&"$ftp_fd"
    local _
    for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.05; done
    ftp_port=$(head -n1 "$dir/port")
    [ -n "$ftp_port" ] || { echo "FTP server did not start" >&2; cat "$dir/server.log" >&2; return 1; }
}

stop_ftpserver() { _stop_ftp "$ftp_fd" "$ftp_pid"; }

start_real_ftpserver() {
    local starter=$1/bench/RealFtpServerMain dir=$2 name=$3
    shift 2
    [ -x "$starter" ] || { echo "no $starter (build first)" >&2; exit 1; }
    rm -f "$dir/stdin"
    mkfifo "$dir/stdin"
    # RealFtpServerMain stops its server when its standard input closes.
    "$starter" "$@" <"$dir/stdin" >"$dir/server" 2>"$dir/server.log" &
    ftp_real_pid=$!
    exec {ftp_real_fd}>"$dir/stdin"
    on_exit _stop_ftp "$ftp_real_fd" "$ftp_real_pid"
    local _
    for _ in $(seq 600); do [ -s "$dir/server" ] && break; sleep 0.05; done
    ftp_port='' ftp_user='' ftp_account=''
    read -r ftp_port ftp_user ftp_account <"$dir/server" || true
    [ -n "$ftp_port" ] || { echo "$name did not start: $(cat "$dir/server.log")" >&2; return 1; }
}

stop_real_ftpserver() { _stop_ftp "$ftp_real_fd" "$ftp_real_pid"; }

# _stop_ftp FD PID: closes the server's input and gives it 5 s to end.
_stop_ftp() {
    local _
    eval "exec $1>&-"
    for _ in $(seq 100); do kill -0 "$2" 2>/dev/null || break; sleep 0.05; done
    stop_pid "$2"
}

make_test_ca() {
    /usr/bin/python3 "$repo/tests/support/testca.py" "$1"
    export SSL_CERT_FILE=$1/ca.pem
}

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
elapsed() { calc "$2 - $1"; }
