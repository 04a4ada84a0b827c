#!/usr/bin/env bash
# How long the reference crash handler takes to listen, by its own account: the journal's "start"
# line holds "listeningMs" (from the creation of its process, as the system records it, until the
# server listens) and "mainToListenMs" (from its main() until then). Starts KivCrashHandler.exe
# RUNS times (default 10, after one uncounted warm-up run) for a live stand-in host, reads both from
# each journal, and prints median and worst, with the launch -> "start" line seen from outside
# (polled every 10 ms, so a rough figure).
#   Linux:   bash bench/handler_listen.sh build          (host: a sleeping shell child)
#   Windows: bash bench/handler_listen.sh build-windows  (under Wine, with a throwaway prefix; host:
#            win_crash_host.exe waiting for "go", which makes it exit)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
handler=$build/bin/KivCrashHandler.exe
runs=${RUNS:-10}
work=$(mktemp -d)
windows=0
[ -x "$build/wine-run" ] && windows=1
if [ $windows = 1 ]; then
    run=$build/wine-run
    host=$build/tests/bin/win_crash_host.exe
    [ -f "$handler" ] && [ -f "$host" ] || { echo "build $build has no handler or win_crash_host.exe" >&2; exit 1; }
    export WINEPREFIX=$work/prefix
    trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
    "$run" wineboot --init >/dev/null 2>&1
    key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    "$run" reg add "$key" /v Debugger /t REG_SZ /d false /f >/dev/null 2>&1
else
    [ -x "$handler" ] || { echo "build $build has no handler" >&2; exit 1; }
    trap 'rm -rf "$work"' EXIT
fi
win() { echo "Z:${1//\//\\}"; }
member() { grep -m1 '"event":"start"' "$1" | grep -o "\"$2\":[0-9.]*" | cut -d: -f2; }
summary() { sort -n | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "median %6.1f ms, worst %6.1f ms, best %6.1f ms", m, v[NR], v[1] }'; }

: >"$work/listening" ; : >"$work/main" ; : >"$work/outside"
for i in $(seq 0 "$runs"); do
    dir=$work/run-$i
    mkdir -p "$dir/dumps"
    if [ $windows = 1 ]; then
        mkfifo "$dir/in"
        "$run" "$host" exit <"$dir/in" >"$dir/out" 2>/dev/null &
        exec 3>"$dir/in"
        until grep -q ready "$dir/out" 2>/dev/null; do sleep 0.01; done
        pid=$(tr -d '\r' <"$dir/out" | awk '/ready/ { print $3 }')
        t0=$EPOCHREALTIME
        "$run" "$handler" "$pid" "$(win "$dir/dumps")" bench client "" "" "" >/dev/null 2>&1 &
    else
        sleep 60 &
        pid=$!
        t0=$EPOCHREALTIME
        "$handler" "$pid" "$dir/dumps" bench client "" "" "" >/dev/null 2>&1 &
    fi
    handler_pid=$!
    journal=$dir/dumps/bench-$pid.journal.jsonl
    until grep -qs '"event":"start"' "$journal"; do sleep 0.01; done
    seen=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", (b - a) * 1000 }')
    if [ $windows = 1 ]; then
        echo go >&3
        exec 3>&-
    else
        kill "$pid"
        wait "$pid" 2>/dev/null || true
    fi
    wait "$handler_pid" || true # it reports on the host that ended, and ends
    [ "$i" = 0 ] && continue    # warm-up: caches, and on Wine the prefix's first process starts
    listening=$(member "$journal" listeningMs)
    main=$(member "$journal" mainToListenMs)
    [ -n "$listening" ] && [ -n "$main" ] || { echo "no listening times in $(head -1 "$journal")" >&2; exit 1; }
    echo "$listening" >>"$work/listening"
    echo "$main" >>"$work/main"
    echo "$seen" >>"$work/outside"
done
echo "== KivCrashHandler.exe ($([ $windows = 1 ] && echo "Windows build, Wine" || echo Linux)), $runs runs"
echo "   process created -> listening (listeningMs):    $(summary <"$work/listening")"
echo "   main() -> listening (mainToListenMs):          $(summary <"$work/main")"
echo "   launch -> \"start\" line seen (outside, rough): $(summary <"$work/outside")"
