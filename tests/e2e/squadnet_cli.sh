#!/bin/bash
# squadnet_cli.sh SQUADNET VERSION: --version and --help answer on standard
# output with status 0, as GNU programs do; --help names every command and
# the common options; an unknown command is a usage error (status 2) on
# standard error.
set -uo pipefail
squadnet=$1
version=$2
fail() { echo "squadnet_cli: $*" >&2; exit 1; }

out=$("$squadnet" --version 2>/dev/null) || fail "--version exits $?"
[[ $(head -1 <<<"$out") == "squadnet $version" ]] || fail "--version says '$(head -1 <<<"$out")'"
grep -q '^Copyright' <<<"$out" || fail "--version has no copyright line"

out=$("$squadnet" --help 2>/dev/null) || fail "--help exits $?"
for word in "squadnet get " "squadnet upload " "squadnet add " "squadnet remove " \
            "squadnet history " "squadnet restore " \
            --timeout --tls --help --version; do
    grep -qF -- "$word" <<<"$out" || fail "--help does not mention '$word'"
done
[[ $("$squadnet" -h 2>/dev/null) == "$out" ]] || fail "-h differs from --help"

"$squadnet" frobnicate >/dev/null 2>"${TMPDIR:-/tmp}/squadnet_cli.$$" && fail "an unknown command succeeds"
status=$?
err=$(cat "${TMPDIR:-/tmp}/squadnet_cli.$$"); rm -f "${TMPDIR:-/tmp}/squadnet_cli.$$"
(( status == 2 )) || fail "an unknown command exits $status, not 2"
grep -q "unknown command" <<<"$err" || fail "an unknown command says '$err'"

# expect STATUS TEXT ARGUMENT...: fails without a request, nothing on
# standard output, TEXT on standard error.
expect() {
    local want=$1 text=$2 errfile="${TMPDIR:-/tmp}/squadnet_cli.$$"
    shift 2
    out=$("$squadnet" "$@" </dev/null 2>"$errfile")
    status=$?
    err=$(cat "$errfile"); rm -f "$errfile"
    (( status == want )) || fail "'$*' exits $status, not $want ($err)"
    [[ -z $out ]] || fail "'$*' writes '$out' on standard output"
    grep -qF -- "$text" <<<"$err" || fail "'$*' says '$err', not '$text'"
}
expect 2 "squadnet upload: expected LOCAL and REMOTE" upload
expect 2 "squadnet upload: --host, --user and --password-file are required" upload --host h a b
expect 2 "squadnet upload: invalid port '0'" upload --host h --user u --password-file - --port 0 a b
expect 2 "squadnet upload: Unknown option 'lease'." upload --lease 5 a b
expect 2 "squadnet add: invalid port '70000'" add --port 70000 http://h/p.xml
expect 2 "squadnet add: Unknown option 'active'." add --active http://h/p.xml
expect 2 "squadnet add: expected one squad page address" add
expect 2 "squadnet remove: invalid --lease '0'" remove --lease 0 http://h/p.xml
expect 2 "squadnet remove: the directory address names no file" remove --directory http://h/ x
expect 2 "squadnet history: invalid --timeout '0'" history --timeout 0
expect 2 "squadnet history: --timeout needs a number of seconds" history --timeout
expect 2 "squadnet restore: --tls must be off, optional or required, not 'on'" restore --tls=on x
expect 2 "squadnet restore: expected one squad page address or --version ID" restore --version 3 x
expect 1 "squadnet add: cannot read the password file '/nonexistent/pw'" \
    add --password-file /nonexistent/pw http://h/p.xml
expect 2 "squadnet get: no URL" get
expect 2 "usage: squadnet get URL [--body FILE] [--header FILE] [--timeout SECONDS]" get a b
expect 2 "squadnet get: option needs a file name" get http://h/l.jpg --body
expect 2 "squadnet get: unknown option" get --tls off http://h/l.jpg
expect 2 "squadnet get: invalid --timeout 'x'" get --timeout=x http://h/l.jpg
echo "squadnet_cli: passed"
