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
echo "squadnet_cli: passed"
