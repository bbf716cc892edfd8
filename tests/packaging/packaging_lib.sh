# Shared by the packaging tests (sourced): failing with a message, PNG sizes, and a send and get
# through an installed imgcast-cli to an installed switcher-emu on 127.0.0.1.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The width and height of a PNG file, from its header: "W H".
png_size() {
    local bytes
    bytes=$(od -An -tu1 -j16 -N8 "$1") || return 1
    # shellcheck disable=SC2086  # eight numbers
    set -- $bytes
    echo "$(($1 << 24 | $2 << 16 | $3 << 8 | $4)) $(($5 << 24 | $6 << 16 | $7 << 8 | $8))"
}

# The RUNPATH of an ELF file ("" when it has none).
run_path() {
    readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'
}

# check_transfers BIN LIB PICTURE WORK: starts BIN/switcher-emu on 127.0.0.1 and a free port with
# its store in WORK, sends PICTURE with BIN/imgcast-cli and gets it back, all without
# LD_LIBRARY_PATH, and checks that the library the client bound is the one in LIB.
check_transfers() {
    local bin=$1 lib=$2 picture=$3 work=$4 port="" trace
    mkdir -p "$work/store"
    : >"$work/emu.log"  # there before the emulator's own redirection, which runs in the background
    env -u LD_LIBRARY_PATH "$bin/switcher-emu" --listen 127.0.0.1 --port 0 \
        --store "$work/store" >"$work/emu.log" 2>&1 &
    EMULATOR_PID=$!
    trap 'kill "$EMULATOR_PID" 2>/dev/null; wait "$EMULATOR_PID" 2>/dev/null' EXIT
    for _ in $(seq 100); do
        port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/emu.log")
        [ -n "$port" ] && break
        kill -0 "$EMULATOR_PID" 2>/dev/null || break
        sleep 0.05
    done
    [ -n "$port" ] || fail "switcher-emu did not start: $(cat "$work/emu.log")"

    # The loader's trace names the library file the client opened.
    env -u LD_LIBRARY_PATH LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/trace" \
        "$bin/imgcast-cli" send --host 127.0.0.1 --port "$port" --raster SD576 "$picture" \
        || fail "imgcast-cli send exited with $?"
    trace=$(cat "$work"/trace.* 2>/dev/null)
    local expected
    expected=$(cd "$lib" && pwd -P)/libImgPort.so
    grep -q "calling init: .*libImgPort.so" <<<"$trace" \
        || fail "imgcast-cli did not load libImgPort.so"
    local loaded
    loaded=$(sed -n 's/.*calling init: \(.*libImgPort\.so[.0-9]*\)$/\1/p' <<<"$trace" | head -n1)
    [ "$(readlink -f "$loaded")" = "$(readlink -f "$expected")" ] \
        || fail "imgcast-cli loaded $loaded instead of $expected"

    local stored=$work/store/fmem1.ycbcr
    [ -f "$stored" ] || fail "the emulator kept no frame in $stored"
    [ "$(stat -c %s "$stored")" -eq $((4 + 720 * 576 * 2)) ] \
        || fail "$stored holds $(stat -c %s "$stored") bytes, not an SD576 frame"

    env -u LD_LIBRARY_PATH "$bin/imgcast-cli" get --host 127.0.0.1 --port "$port" --fmem 1 \
        --output "$work/back.bmp" || fail "imgcast-cli get exited with $?"
    [ "$(head -c2 "$work/back.bmp")" = BM ] || fail "get saved no BMP file"
    [ "$(od -An -tu4 -j18 -N8 "$work/back.bmp" | tr -s ' ')" = " 720 576" ] \
        || fail "the BMP read back is not 720 x 576"

    kill "$EMULATOR_PID"
    wait "$EMULATOR_PID" 2>/dev/null || true
    trap - EXIT
}
