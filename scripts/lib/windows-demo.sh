# ./scripts/demo --windows: the demo host cross-built for Windows with MinGW, installed into a folder
# of its own (the folder a Windows user would copy: see examples/CMakeLists.txt) and run from there
# under wine64, in a throwaway Wine prefix where ostrel-wer-standin plays the part of Windows Error
# Reporting, which Wine lacks. Source it after common.sh and call windows_demo [--ask].
# With --ask the app says upload=ask: the whole run goes onto a virtual X server, and the crash
# dialog that appears under Wine is answered with keys (xdotool), after pictures of it are saved as
# Wine draws it.
source "$ROOT/scripts/lib/windows-lane.sh"
source "$ROOT/scripts/lib/receiver.sh"

# Milliseconds since the epoch of an ISO 8601 time with a zone ("...Z").
epoch_ms() {
    date -d "$1" +%s%3N
}

windows_demo() {
    local started=$SECONDS ask=0
    [ "${1:-}" = --ask ] && ask=1
    ensure_packages "${OSTREL_WINDOWS_PACKAGES[@]}"
    ensure_receiver
    if [ "$ask" = 1 ] && [ -z "${OSTREL_DEMO_ON_XVFB:-}" ]; then
        ensure_packages "${OSTREL_PACKAGES[@]}" # xvfb, xauth, xdotool
        qt_mingw_prefix >/dev/null # built before the virtual display is started
        OSTREL_DEMO_ON_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" "$ROOT/scripts/demo" --windows --ask
    fi
    local qt dir=build-windows targets=(ostrel-demo KivRegWER ostrel-report ostrel-wer-standin KivCrashDialog)
    qt=$(qt_mingw_prefix)
    [ "$ask" = 1 ] && targets+=(dialog_screenshots)

    # What the installed folder holds (the crash handler comes with the demo host), and the stand-in.
    windows_build "$dir" "$qt" "${targets[@]}" >/dev/null
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
    [ "$ask" = 1 ] && [ -n "${dsn_args[*]}" ] && dsn_args+=(--ask)
    trap 'stop_receiver; WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
    local wine=/usr/lib/wine/wine64
    "$wine" wineboot --init >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
    "$wine" "$ROOT/$dir/bin/ostrel-wer-standin.exe" --register

    [ "$ask" = 1 ] && windows_demo_pictures "$dir"
    # Run from the installed folder: no WINEPATH, so every DLL must be there.
    local ran=$SECONDS
    # Its exit code is the exception's, which the report names; Wine's own exit status says little.
    (cd "$app/bin" && "$wine" ./ostrel-demo.exe --workdir "Z:$work" "${dsn_args[@]}" 2>"$work/ostrel-demo.stderr") || true
    [ "$ask" = 1 ] && windows_demo_answer "$work"

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

# Pictures of the crash dialog as Wine draws it (closed, with the details open, and in a
# right-to-left language), from dialog_screenshots.exe: the same widget with a sample report. Taken
# before the crash, while no other window is up.
windows_demo_pictures() {
    local dir=$1 shots=$ROOT/$1/screenshots
    # A test program, run as the lane runs it (wine-run: the build's DLLs and Qt's own), bounded as
    # a program waiting on a window can be.
    timeout 60 "$ROOT/$dir/wine-run" "$ROOT/$dir/tests/bin/dialog_screenshots.exe" "Z:$shots" 2>/dev/null | tr -d '\r' \
        | sed -e 's/^Z://' -e 's/^/   picture: /' || echo "   (no pictures: dialog_screenshots.exe failed)"
}

# The real dialog, answered like a user would, with keys: a comment, then Ctrl+Enter.
windows_demo_answer() {
    local work=$1
    local window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name "quit unexpectedly" | head -1)
    if [ -z "$window" ]; then
        echo "== The crash dialog did not appear: $(grep -hs '"event":"dialog' "$work"/dumps/*.journal.jsonl | tail -1)"
        return 0
    fi
    xdotool windowfocus --sync "$window"
    xdotool type --delay 20 "I clicked Crash in the demo under Wine"
    xdotool key ctrl+Return
    echo "== The crash dialog appeared under Wine on the virtual display; typed a comment and pressed Ctrl+Enter"
    for _ in $(seq 1 300); do
        grep -qs '"event":"dialogAnswer"' "$work"/dumps/*.journal.jsonl && break
        sleep 0.1
    done
}
