# ./scripts/demo --windows: the demo host cross-built for Windows with MinGW, installed into a folder
# of its own (the folder a Windows user would copy: see examples/CMakeLists.txt) and run from there
# under wine64, in a throwaway Wine prefix where ostrel-wer-standin plays the part of Windows Error
# Reporting, which Wine lacks. Source it after common.sh and call windows_demo.
source "$ROOT/scripts/lib/windows-lane.sh"
source "$ROOT/scripts/lib/receiver.sh"

# Milliseconds since the epoch of an ISO 8601 time with a zone ("...Z").
epoch_ms() {
    date -d "$1" +%s%3N
}

windows_demo() {
    local started=$SECONDS
    ensure_packages "${OSTREL_WINDOWS_PACKAGES[@]}"
    ensure_receiver
    local qt
    qt=$(qt_mingw_prefix)

    local dir=build-windows
    # What the installed folder holds (the crash handler comes with the demo host), and the stand-in.
    windows_build "$dir" "$qt" ostrel-demo KivRegWER ostrel-wer-standin >/dev/null
    local app=$ROOT/$dir/demo-install
    rm -rf "$app"
    cmake --install "$dir" --prefix "$app" >/dev/null
    local built=$SECONDS

    # Everything the run writes stays in one folder, apart from the Wine prefix (the client info
    # file lands in the prefix's user profile).
    local work=$ROOT/$dir/demo-run
    rm -rf "$work"
    mkdir -p "$work"
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-demo-wine.XXXXXX")
    export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    # The crash server, as on Linux: the handler under Wine sends to it over plain HTTP on 127.0.0.1,
    # the minidump along with the report.
    start_receiver "$work"
    local dsn_args=()
    [ -z "$RECEIVER_SKIPPED" ] && dsn_args=(--dsn "http://demokey@127.0.0.1:$RECEIVER_PORT/1")
    trap 'stop_receiver; WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
    local wine=/usr/lib/wine/wine64
    "$wine" wineboot --init >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
    "$wine" "$ROOT/$dir/bin/ostrel-wer-standin.exe" --register

    # Run from the installed folder: no WINEPATH, so every DLL must be there.
    local ran=$SECONDS
    # Its exit code is the exception's, which the report names; Wine's own exit status says little.
    (cd "$app/bin" && "$wine" ./ostrel-demo.exe --workdir "Z:$work" "${dsn_args[@]}" 2>"$work/ostrel-demo.stderr") || true

    # The handler sees the host end, finds the dump the stand-in wrote and writes its report.
    local journal=$work/dumps/ostrel-demo-*.journal.jsonl
    for _ in $(seq 1 200); do
        grep -qs '"event":"crashReport"' $journal && break
        sleep 0.1
    done
    local done=$SECONDS

    local report
    report=$(ls -t "$work"/dumps/ostrel-demo-*.json 2>/dev/null | head -1 || true)
    if [ -n "$report" ]; then
        head -1 "$report" | sed -e 's/^{"summary": "//' -e 's/",$//'
    fi
    echo
    echo "== Ran ostrel-demo.exe under Wine from the installed folder $app/bin:"
    echo "   it started its worker, talked to the crash handler, then crashed on purpose"
    echo "   (its log: $work/logs/ostrel-demo.log)"
    local crashed reported
    crashed=$(sed -n 's/^\([^ ]*\) info ostrel-demo: about to crash.*/\1/p' "$work/logs/ostrel-demo.log" 2>/dev/null | tail -1 || true)
    reported=$(grep -hs '"event":"crashReport"' $journal | sed -n 's/.*"time":"\([^"]*\)".*/\1/p' | tail -1 || true)
    if [ -n "$crashed" ] && [ -n "$reported" ]; then
        echo "   report written $(( $(epoch_ms "$reported") - $(epoch_ms "$crashed") )) ms after the crash;" \
             "build $((built - started)) s, Wine prefix $((ran - built)) s, run $((done - ran)) s, $((SECONDS - started)) s in all"
    fi

    (cd "$app/bin" && "$wine" ./ostrel-demo.exe --show "Z:$work" 2>/dev/null) | tr -d '\r'
    echo
    show_delivery "$journal" "$work" 30
    [ -n "$report" ]
}
