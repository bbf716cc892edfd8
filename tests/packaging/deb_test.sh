#!/usr/bin/env bash
# The Debian package as a machine gets it: built with CPack from this build, its control data
# read, then unpacked into a throwaway root (dpkg -x, nothing installed) and run from there
# without LD_LIBRARY_PATH: the run paths alone must find the library.
#   deb_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/packaging_lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/imgcast-deb-XXXXXX")
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
    || fail "cpack failed: $(cat "$work/cpack.log")"
debs=("$work"/out/imgcast_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "cpack made no single imgcast_*.deb"
fi
deb=${debs[0]}
version=$(sed -n 's/^project(ImgCast VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ "$(basename "$deb")" = "imgcast_${version}_$(dpkg --print-architecture).deb" ] \
    || fail "the package file is called $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = imgcast ] || fail "package name $(field Package)"
[ "$(field Version)" = "$version" ] || fail "package version $(field Version)"
depends=$(field Depends)
# dpkg-shlibdeps found the libraries the programs and libImgPort link.
for library in libc6 libstdc++6 libjpeg62-turbo libpng16-16 libtiff6 libgif7; do
    tr ',|' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$library" \
        || fail "Depends lacks $library: $depends"
done
with_window=0
[ -x "$build/bin/ImgCast" ] && with_window=1
if [ $with_window = 1 ]; then
    grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends lacks Qt: $depends"
fi
dpkg-deb -e "$deb" "$work/control"
grep -q '^libImgPort 1 imgcast' "$work/control/shlibs" || fail "the package declares no shlibs"

root=$work/root
dpkg -x "$deb" "$root"
usr=$root/usr
# The library folder follows the build's install layout (lib, or lib/<triplet> for /usr builds).
library=$(cd "$root" && find usr -name libImgPort.so.1.0.2)
[ -n "$library" ] || fail "the package lacks libImgPort.so.1.0.2"
lib=$(dirname "$library")
expected="usr/bin/imgcast-cli usr/bin/switcher-emu $lib/libImgPort.so $lib/libImgPort.so.1
usr/include/ImgPort.h $lib/pkgconfig/imgport.pc
usr/share/man/man1/imgcast-cli.1 usr/share/man/man1/switcher-emu.1
usr/share/bash-completion/completions/imgcast-cli
usr/share/bash-completion/completions/switcher-emu"
if [ $with_window = 1 ]; then
    expected="$expected usr/bin/ImgCast usr/share/applications/imgcast.desktop
usr/share/metainfo/com.korvex.imgcast.metainfo.xml usr/share/man/man1/ImgCast.1
usr/share/icons/hicolor/scalable/apps/imgcast.svg"
    for size in 16 32 48 64 128 256; do
        expected="$expected usr/share/icons/hicolor/${size}x${size}/apps/imgcast.png"
    done
fi
for path in $expected; do
    [ -e "$root/$path" ] || fail "the package lacks /$path"
done

# The same version the window and the client report.
if env -u LD_LIBRARY_PATH "$usr/bin/imgcast-cli" --version >"$work/version.txt" 2>&1; then
    grep -qF "$version" "$work/version.txt" \
        || fail "imgcast-cli --version says $(cat "$work/version.txt")"
else
    # A client without --version: its --help must run at least.
    env -u LD_LIBRARY_PATH "$usr/bin/imgcast-cli" --help >/dev/null \
        || fail "imgcast-cli --help failed"
    echo "imgcast-cli has no --version; --help ran"
fi
if [ "${IMGCAST_SANITIZED:-0}" = 1 ]; then
    # The sanitizer runtime's dlopen interceptor hides the programs' run path from the loader.
    echo "sanitizer build: no transfers from the unpacked package"
else
    check_transfers "$usr/bin" "$root/$lib" \
        "$here/card.bmp" "$work/run"
fi
echo "$(basename "$deb"): $depends"
