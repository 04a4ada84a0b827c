# The Windows lane of ./scripts/test: Qt 5.15 for MinGW (built once and cached, see qt-mingw.sh),
# the project cross-built into build-windows/, and every test run under wine64 through ctest in a
# throwaway Wine prefix. Source it after common.sh and call windows_lane.
source "$ROOT/scripts/lib/qt-mingw.sh"

windows_lane() {
    local started=$SECONDS
    ensure_packages "${OSTREL_WINDOWS_PACKAGES[@]}"

    local qt
    qt=$(qt_mingw_prefix)
    echo "== Qt for MinGW: $qt"

    local dir=build-windows
    windows_build "$dir" "$qt"
    echo "== built after $((SECONDS - started)) s"

    # A fresh prefix for every run: nothing a test wrote into Wine's registry survives into the next.
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-wine.XXXXXX")
    export WINEPREFIX
    trap 'WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
    "$dir/wine-run" wineboot --init >/dev/null 2>&1
    # No crash debugger: Wine would start winedbg for an unhandled exception, print its analysis and
    # end the process with 0. With a debugger that cannot start, a crashing process ends with its
    # exception code, as it does on Windows without one.
    "$dir/wine-run" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d false /f >/dev/null 2>&1
    /usr/lib/wine/wineserver -w

    local status=0
    # A test that times out is run again (at most twice): under load Wine has been seen to hang a
    # process at start for the whole timeout (a pure string function's replay, 3 s when run again).
    (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 300 --repeat after-timeout:2) || status=$?
    windows_skip_summary "$dir/Testing/Temporary/LastTest.log"
    echo "== Windows lane: $((SECONDS - started)) s"
    return $status
}

# windows_build <build dir> <Qt prefix> [targets...]: the cross-build the lane and
# ./scripts/demo --windows share; everything, or only the targets given.
windows_build() {
    local dir=$1 qt=$2
    shift 2
    mkdir -p "$dir"
    configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=OFF \
        -DOSTREL_BUILD_EXAMPLES=ON # set, not defaulted: a folder configured by an older lane had it off
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
}

# Tests this platform cannot run are CTest entries that report themselves skipped ("skipped: why"),
# and test functions that cannot run here QSKIP with their reason: list both, from ctest's full log.
windows_skip_summary() {
    awk '
        /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); test = $0 }
        /^skipped: / { sub(/^skipped: /, ""); whole++; lines = lines "   " test ": " $0 "\n" }
        /^SKIP   : / { sub(/^SKIP   : /, ""); functions++; lines = lines "   " test ": " $0 "\n" }
        END {
            printf "== skipped on Windows: %d test(s) as a whole, %d test function(s)\n", whole, functions
            printf "%s", lines
        }' "$1"
}
