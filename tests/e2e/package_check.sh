#!/bin/bash
# package_check.sh [BUILD_DIR]
#
# Builds the Debian package and checks it as a new user would meet it:
#   - configures BUILD_DIR (default build-package/ in the repository) as a
#     release build whose directory and FTP account are on 127.0.0.1 at the
#     ports of the end-to-end walk-through,
#   - checks that `cmake --install` puts the program, squadnet, the menu entry
#     and the icon under a fresh prefix,
#   - builds the .deb with cpack and reports its size,
#   - checks its contents, its dependencies against what is installed here,
#     and that every library the program needs is found,
#   - unpacks it into a fresh folder (dpkg -x) and starts the program from
#     there on a virtual display, inside a private network namespace with the
#     demo's web and FTP servers on its loopback: the list must show and a
#     squad must open with its logo (tests/e2e/run_e2e.py --smoke). The
#     screenshot lands in BUILD_DIR/package-check/.
#
# The package is built for loopback addresses only so that it can be run
# here; a package for real use is built the same way with the real
# addresses (see README.md). Exits non-zero on the first failed check.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
build=${1:-build-package}
[[ $build == /* ]] || build=$root/$build
web_port=8080
ftp_port=2121

say() { printf 'package-check: %s\n' "$*"; }
die() { printf 'package-check: FAILED: %s\n' "$*" >&2; exit 1; }

"$root"/scripts/install-deps

tmp=$(mktemp -d "${TMPDIR:-/tmp}/corvanet-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

say "configuring $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANET_BUILD_TESTS=OFF \
    -DCORVANET_SANITIZE=OFF \
    -DCORVANET_DIRECTORY_URL="http://127.0.0.1:$web_port/corvanet.xml" \
    -DCORVANET_FTP_HOST=127.0.0.1 -DCORVANET_FTP_PORT="$ftp_port" \
    -DCORVANET_FTP_USER=corvanet -DCORVANET_FTP_PASSWORD=squadup >"$tmp/configure.log" 2>&1 ||
    { cat "$tmp/configure.log" >&2; die "configure"; }
say "building"
cmake --build "$build" -j 2 >"$tmp/build.log" 2>&1 || { tail -50 "$tmp/build.log" >&2; die "build"; }

wanted=(
    usr/bin/corvanet
    usr/bin/squadnet
    usr/share/applications/corvanet.desktop
    usr/share/icons/hicolor/128x128/apps/corvanet.png
)

# cmake --install under a prefix of its own.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for file in "${wanted[@]}"; do
    [[ -s $tmp/prefix/${file#usr/} ]] || die "cmake --install did not install ${file#usr/}"
done
say "cmake --install: program, squadnet, menu entry and icon are in place"

# The package.
rm -f "$build"/qor-corvanet_*.deb
(cd "$build" && cpack -G DEB >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log" >&2; die "cpack"; }
debs=("$build"/qor-corvanet_*.deb)
[[ -f ${debs[0]} ]] || die "cpack made no qor-corvanet_*.deb"
deb=${debs[0]}

listing=$(dpkg-deb -c "$deb")
for file in "${wanted[@]}"; do
    grep -q " \./$file\$" <<<"$listing" || die "the package lacks /$file"
done
dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/package-check:   /'

# Every dependency must name a package that Debian 12 has; here, each one
# must be installed already, since the program runs below.
depends=$(dpkg-deb -f "$deb" Depends)
IFS=',' read -ra clauses <<<"$depends"
for clause in "${clauses[@]}"; do
    satisfied=false
    IFS='|' read -ra alternatives <<<"$clause"
    for alternative in "${alternatives[@]}"; do
        name=$(awk '{print $1}' <<<"$alternative")
        status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)
        [[ $status == "install ok installed" ]] && satisfied=true
    done
    $satisfied || die "dependency '${clause# }' is not installed on this machine"
done

# Unpack into a fresh folder, as dpkg would install it, and start it there.
dpkg-deb -x "$deb" "$tmp/root"
program=$tmp/root/usr/bin/corvanet
if ldd "$program" | grep -q 'not found'; then
    ldd "$program" >&2
    die "libraries of the program are missing"
fi
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$tmp/root/usr/share/applications/corvanet.desktop" || die "the menu entry does not validate"
fi

out=$build/package-check
rm -rf "$out"
/usr/bin/python3 "$root/tests/e2e/run_e2e.py" --source "$root" --out "$out" --smoke "$program" \
    --web-port "$web_port" --ftp-port "$ftp_port" || die "the unpacked program did not show the squads"

bytes=$(stat -c %s "$deb")
installed=$(dpkg-deb -f "$deb" Installed-Size)
say "package: $deb"
say "size: $bytes bytes ($(( (bytes + 1023) / 1024 )) KiB); installed: $installed KiB"
say "screenshot of the unpacked program: $out/installed-program.png"
say "passed"
