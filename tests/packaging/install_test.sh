#!/usr/bin/env bash
# The installed tree as a desktop, a shell and another program's build see it.
#   install_test.sh CHECK BUILD_DIR SOURCE_DIR PREFIX [C compiler flags...]
# CHECK "install" lays out PREFIX with `cmake --install`; the others inspect it.
set -euo pipefail
check=$1 build=$2 source=$3 prefix=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
source "$here/packaging_lib.sh"
# A picture of the repository's own (61 x 37, 24 bits), so that a clone tests itself.
picture=$here/card.bmp
work=$(mktemp -d "${TMPDIR:-/tmp}/imgcast-packaging-XXXXXX")
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

# The window program is there only in builds with Qt.
with_window=0
[ -x "$build/bin/ImgCast" ] && with_window=1

# The library folder of the install layout: lib, or lib/<triplet> in builds for /usr.
lib=lib
if [ "$check" != install ]; then
    library=$(cd "$prefix" && find . -name libImgPort.so.1.0.2 | head -n1)
    [ -n "$library" ] || fail "no libImgPort.so.1.0.2 under $prefix"
    lib=$(dirname "${library#./}")
fi

case $check in
install)
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
    ;;

layout)
    cd "$prefix"
    programs="bin/imgcast-cli bin/switcher-emu"
    [ $with_window = 1 ] && programs="bin/ImgCast $programs"
    # Their own folder, then ../lib; the same in the build tree, and no empty entry, which the
    # loader would take for the current folder.
    for program in $programs; do
        [ -x "$program" ] || fail "$program is missing"
        for copy in "$program" "$build/$program"; do
            [ "$(run_path "$copy")" = "\$ORIGIN:\$ORIGIN/../$lib" ] \
                || fail "$copy has run path '$(run_path "$copy")', not \$ORIGIN:\$ORIGIN/../$lib"
        done
    done
    [ ! -e bin/libImgPort.so ] || fail "bin/ holds a library"
    # The name the programs open, the name linked hosts record, the file.
    [ "$(readlink "$lib"/libImgPort.so)" = libImgPort.so.1 ] \
        || fail "$lib/libImgPort.so is no link to .so.1"
    [ "$(readlink "$lib"/libImgPort.so.1)" = libImgPort.so.1.0.2 ] \
        || fail "$lib/libImgPort.so.1 is no link to .so.1.0.2"
    [ ! -L "$lib"/libImgPort.so.1.0.2 ] || fail "$lib/libImgPort.so.1.0.2 is a link"
    soname=$(readelf -d "$lib"/libImgPort.so.1.0.2 | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [ "$soname" = libImgPort.so.1 ] || fail "SONAME is '$soname'"
    # The build tree keeps the same links beside the programs.
    [ "$(readlink "$build/bin/libImgPort.so")" = libImgPort.so.1 ] \
        || fail "the build's bin/libImgPort.so is no link to .so.1"
    cmp -s include/ImgPort.h "$source/imgport/ImgPort.h" || fail "include/ImgPort.h differs"
    [ -f "$lib"/pkgconfig/imgport.pc ] || fail "$lib/pkgconfig/imgport.pc is missing"
    for page in imgcast-cli switcher-emu; do
        [ -f "share/man/man1/$page.1" ] || fail "man page $page.1 is missing"
        [ -f "share/bash-completion/completions/$page" ] || fail "completion for $page is missing"
    done
    if [ $with_window = 1 ]; then
        [ -f share/man/man1/ImgCast.1 ] || fail "man page ImgCast.1 is missing"
        [ -f share/applications/imgcast.desktop ] || fail "the desktop entry is missing"
        [ -f share/metainfo/com.korvex.imgcast.metainfo.xml ] || fail "the metainfo is missing"
        for size in 16 32 48 64 128 256; do
            icon=share/icons/hicolor/${size}x${size}/apps/imgcast.png
            [ -f "$icon" ] || fail "$icon is missing"
            [ "$(png_size "$icon")" = "$size $size" ] || fail "$icon is $(png_size "$icon")"
        done
        grep -q '<svg xmlns="http://www.w3.org/2000/svg"' \
            share/icons/hicolor/scalable/apps/imgcast.svg \
            || fail "the scalable icon is missing"
    fi
    ;;

transfers)
    if [ "${IMGCAST_SANITIZED:-0}" = 1 ]; then
        echo "sanitizer build: the run path is not what opens libImgPort.so; skipped"
        exit 77
    fi
    check_transfers "$prefix/bin" "$prefix/$lib" "$picture" "$work"
    ;;

pkgconfig)
    export PKG_CONFIG_PATH=$prefix/$lib/pkgconfig
    [ "$(pkg-config --modversion imgport)" = 1.0.2 ] \
        || fail "imgport.pc gives version $(pkg-config --modversion imgport)"
    libdir=$(pkg-config --variable=libdir imgport)
    [ "$(cd "$libdir" && pwd -P)" = "$(cd "$prefix/$lib" && pwd -P)" ] \
        || fail "imgport.pc names libdir $libdir"
    # shellcheck disable=SC2046  # the flags are words
    cc -Wall -Werror "$@" $(pkg-config --cflags imgport) -o "$work/imgport_host" \
        "$here/imgport_host.c" \
        $(pkg-config --libs imgport) -Wl,-rpath,"$libdir" || fail "the host did not build"
    readelf -d "$work/imgport_host" | grep -q 'NEEDED.*\[libImgPort\.so\.1\]' \
        || fail "the host does not record libImgPort.so.1"
    size=$(env -u LD_LIBRARY_PATH "$work/imgport_host" "$picture" \
        "$work/out.bmp") \
        || fail "the host failed"
    [ "$size" = 61x37x3 ] || fail "the host loaded a picture of $size"
    ;;

desktop)
    [ $with_window = 1 ] || exit 0
    cd "$prefix/share"
    desktop-file-validate applications/imgcast.desktop || fail "the desktop entry does not validate"
    grep -qx 'Exec=ImgCast %f' applications/imgcast.desktop \
        || fail "the desktop entry does not pass the file"
    grep -qx 'Icon=imgcast' applications/imgcast.desktop || fail "the desktop entry names another icon"
    appstreamcli validate --no-net --pedantic metainfo/com.korvex.imgcast.metainfo.xml \
        || fail "the metainfo does not validate"
    grep -q '<launchable type="desktop-id">imgcast.desktop</launchable>' \
        metainfo/com.korvex.imgcast.metainfo.xml || fail "the metainfo launches another entry"
    ;;

man)
    pages="imgcast-cli switcher-emu"
    [ $with_window = 1 ] && pages="ImgCast $pages"
    for page in $pages; do
        file=$prefix/share/man/man1/$page.1
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >"$work/$page.txt") \
            || fail "man cannot format $page.1"
        [ -z "$warnings" ] || fail "$page.1: $warnings"
        lexgrog "$file" | grep -q "\"$page - " || fail "$page.1 has no NAME line lexgrog reads"
        # The options every page owes its reader.
        case $page in
        imgcast-cli)
            options="--host --port --raster --keep --fmem --pair --timeout --output --retry
                --verbose --version --help" ;;
        switcher-emu)
            options="--listen --port --store --max-frame-bytes --timeout --command-reply --busy
                --final-status --close-after --stall --stall-after --corrupt-store --version
                --help" ;;
        *) options="" ;;
        esac
        for option in $options; do
            grep -qE -- "^ +(-h, )?$option( |$)" "$work/$page.txt" \
                || fail "$page.1 does not explain $option"
        done
        # Every option of the program's own --help is in its page.
        if [ "$page" != ImgCast ]; then
            for option in $("$prefix/bin/$page" --help | grep -o -- '--[a-z-]*' | grep -vx -- '--option' | sort -u); do
                grep -q -- "$option" "$work/$page.txt" || fail "$page.1 lacks $option of --help"
            done
        fi
    done
    ;;

completion)
    completions=$prefix/share/bash-completion/completions
    mkdir -p "$work/pictures/sub dir"
    touch "$work/pictures/key.png" "$work/pictures/key.TIF" "$work/pictures/key.txt"
    # Each case: the command line typed so far, then the replies expected (sorted, '|' apart).
    bash --norc --noprofile -s "$completions" "$work/pictures" <<'SCRIPT' || fail "completion"
set -u
source "$1/imgcast-cli"
source "$1/switcher-emu"
cd "$2"
status=0
for tool in imgcast-cli switcher-emu; do
    complete -p "$tool" >/dev/null 2>&1 || { echo "no completion registered for $tool"; status=1; }
done
# Completes LINE (the last word is the one being typed) with the function complete -p names.
replies() {
    read -r -a COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$1
    COMP_POINT=${#1}
    local function
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\).*/\1/p')
    COMPREPLY=()
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|'
}
while IFS=: read -r line expected; do
    got=$(replies "$line")
    if [ "$got" != "$expected" ]; then
        echo "completing '$line' gave '$got', not '$expected'"
        status=1
    fi
done <<'CASES'
imgcast-cli se:send
imgcast-cli g:get
imgcast-cli --v:--version
imgcast-cli send --r:--raster|--retry
imgcast-cli send --raster H:HD1080|HD720
imgcast-cli send --raster S:SD480|SD576
imgcast-cli send --fmem :1|2
imgcast-cli send --ke:--keep
imgcast-cli get --o:--output
imgcast-cli get --k:
imgcast-cli send k:key.TIF|key.png
imgcast-cli send s:sub dir
imgcast-cli get --output k:key.TIF|key.png
imgcast-cli send --host :
switcher-emu --st:--stall|--stall-after|--store
switcher-emu --co:--command-reply|--corrupt-store
switcher-emu --command-reply A:AC|AD|AF
switcher-emu --store s:sub dir
CASES
exit $status
SCRIPT
    ;;

*)
    fail "unknown check $check"
    ;;
esac
