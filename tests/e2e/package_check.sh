#!/bin/bash
# package_check.sh [BUILD_DIR]: builds the Debian package in BUILD_DIR (default
# build-package/ in the repository) for the walk-through's loopback addresses,
# so that it can run here, and checks it as a new user would meet it: what
# `cmake --install` and the package put in place, Debian's own checks
# (lintian, with no error or warning), the AppStream metadata
# (appstreamcli validate --no-net) and the menu entry (desktop-file-validate),
# the manual pages and squadnet --version and --help, that its dependencies
# are installed and its libraries found, and that the program unpacked from
# it into a fresh folder shows the list and a squad's logo (run_e2e.py
# --smoke, screenshot in BUILD_DIR/package-check/). Exits non-zero on the
# first failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
build=${1:-build-package}
[[ $build == /* ]] || build=$root/$build
web_port=8080
ftp_port=2121

say() { printf 'package-check: %s\n' "$*"; }
die() { printf 'package-check: FAILED: %s\n' "$*" >&2; exit 1; }
# quietly STEP COMMAND...: runs a step, showing its output only when it fails.
quietly() { "${@:2}" >"$tmp/$1.log" 2>&1 || { tail -50 "$tmp/$1.log" >&2; die "$1"; }; }

"$root"/scripts/install-deps

tmp=$(mktemp -d "${TMPDIR:-/tmp}/corvanet-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

say "configuring and building $build"
quietly configure cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANET_BUILD_TESTS=OFF \
    -DCORVANET_SANITIZE=OFF -DCORVANET_DIRECTORY_URL="http://127.0.0.1:$web_port/corvanet.xml" \
    -DCORVANET_FTP_HOST=127.0.0.1 -DCORVANET_FTP_PORT="$ftp_port" \
    -DCORVANET_FTP_USER=corvanet -DCORVANET_FTP_PASSWORD=squadup
quietly build cmake --build "$build" -j 2
quietly install cmake --install "$build" --prefix "$tmp/prefix"
rm -f "$build"/qor-corvanet_*.deb
(cd "$build" && quietly cpack cpack -G DEB)
debs=("$build"/qor-corvanet_*.deb)
[[ -f ${debs[0]} ]] || die "cpack made no qor-corvanet_*.deb"
deb=${debs[0]}

# What the package holds, from cmake --install under a prefix of its own and
# in the package.
app_id=example.corvanet.QorCorvanet
listing=$(dpkg-deb -c "$deb")
for file in usr/bin/corvanet usr/bin/squadnet usr/share/applications/$app_id.desktop \
            usr/share/metainfo/$app_id.metainfo.xml \
            usr/share/icons/hicolor/48x48/apps/corvanet.png usr/share/icons/hicolor/128x128/apps/corvanet.png \
            usr/share/icons/hicolor/scalable/apps/corvanet.svg \
            usr/share/man/man1/corvanet.1.gz usr/share/man/man1/squadnet.1.gz \
            usr/share/doc/qor-corvanet/copyright usr/share/doc/qor-corvanet/changelog.gz; do
    [[ -s $tmp/prefix/${file#usr/} ]] || die "cmake --install did not install ${file#usr/}"
    grep -q " \./$file\$" <<<"$listing" || die "the package lacks /$file"
done
dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/package-check:   /'

# Every dependency must name a package that Debian 12 has; here, each one
# must be installed already, since the program runs below.
IFS=',' read -ra clauses <<<"$(dpkg-deb -f "$deb" Depends)"
for clause in "${clauses[@]}"; do
    read -ra names <<<"$(sed -E 's/\([^)]*\)//g; s/\|/ /g' <<<"$clause")"  # its alternatives
    { dpkg-query -W -f='${Status}\n' "${names[@]}" 2>/dev/null || true; } | grep -qx "install ok installed" ||
        die "dependency '${clause# }' is not installed on this machine"
done

# Debian's checks: lintian reports no error and no warning (information
# tags are listed, and pass). It fails too when it cannot check the package.
say "lintian"
lintian_status=0
lintian --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1 || lintian_status=$?
grep -v 'root privileges' "$tmp/lintian.log" | sed 's/^/package-check:   /' || true
(( lintian_status == 0 )) || die "lintian reports errors or warnings (status $lintian_status)"

# Unpack into a fresh folder, as dpkg would install it, and check and start
# what it holds there.
dpkg-deb -x "$deb" "$tmp/root"
program=$tmp/root/usr/bin/corvanet
squadnet=$tmp/root/usr/bin/squadnet
if ldd "$program" | grep 'not found' >&2; then die "libraries of the program are missing"; fi
quietly appstream appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/$app_id.metainfo.xml"
quietly desktop-file desktop-file-validate "$tmp/root/usr/share/applications/$app_id.desktop"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
    "$tmp/root/usr/share/metainfo/$app_id.metainfo.xml" || die "the metainfo does not launch $app_id.desktop"
for page in corvanet squadnet; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$tmp/root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null) ||
        die "man $page failed"
    [[ -z $out ]] || die "man $page warns: $out"
done
version=$("$squadnet" --version) || die "squadnet --version failed"
[[ $(head -1 <<<"$version") == "squadnet $(dpkg-deb -f "$deb" Version)" ]] ||
    die "squadnet --version says '$(head -1 <<<"$version")'"
help=$("$squadnet" --help) || die "squadnet --help failed"
for word in get upload add remove --timeout --tls --help --version; do
    grep -q -- "$word" <<<"$help" || die "squadnet --help does not mention $word"
done
out=$build/package-check
rm -rf "$out"
/usr/bin/python3 "$root/tests/e2e/run_e2e.py" --source "$root" --out "$out" --smoke "$program" \
    --web-port "$web_port" --ftp-port "$ftp_port" || die "the unpacked program did not show the squads"

bytes=$(stat -c %s "$deb")
say "package: $deb, $bytes bytes ($(( (bytes + 1023) / 1024 )) KiB), installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
say "passed; screenshot of the unpacked program: $out/installed-program.png"
