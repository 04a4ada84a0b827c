#!/usr/bin/env bash
# How fast the reference crash handler is ready, and whether that is fast enough for the library.
#   1. start-to-listening: launch KivCrashHandler.exe 50 times (for a sleeping stand-in host) and
#      time from the launch until its socket is in place (the handler binds and listens in a
#      private folder and then renames the socket into place, so the socket's name appearing
#      means it is listening); median and worst.
#   2. first attempt: run ostrel-demo (the shipped library, first attempt 500 ms after StartCrash)
#      100 times while two busy loops keep both cores loaded, and count the runs whose first
#      connection attempt succeeded (no "socket error:" before the handler's first answer).
# Usage: bench/handler_startup.sh [build dir]   (default: build; needs KivCrashHandler.exe and
# ostrel-demo built there). Set RUNS_LISTEN / RUNS_CONNECT to change the counts.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/${1:-build}/bin
runs_listen=${RUNS_LISTEN:-50}
runs_connect=${RUNS_CONNECT:-100}
sockdir=${TMPDIR:-/tmp}
work=$(mktemp -d)
busy=()
cleanup() {
    for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

ms_since() { # start timestamp ($EPOCHREALTIME) -> elapsed milliseconds
    awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", (b - a) * 1000 }'
}

echo "== start-to-listening, $runs_listen launches"
times=()
for i in $(seq 1 "$runs_listen"); do
    sleep 30 &
    host=$!
    sock=$sockdir/Kiv_Crash_Handler_$host
    t0=$EPOCHREALTIME
    "$bin/KivCrashHandler.exe" "$host" "$work/dumps" bench client "" "" "" &
    handler=$!
    polls=0
    until [ -S "$sock" ]; do # shell built-ins only, so polling costs no process start
        ((++polls < 50000000)) || { echo "the handler never listened"; exit 1; }
    done
    times+=("$(ms_since "$t0")")
    kill "$host"
    wait "$host" 2>/dev/null || true
    wait "$handler" # it writes its report for the vanished host and ends
done
printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "   median %.1f ms, worst %.1f ms, best %.1f ms\n", m, v[NR], v[1] }'

echo "== first connection attempt (500 ms after StartCrash), $runs_connect runs, both cores busy"
for _ in 1 2; do
    ( while :; do :; done ) &
    busy+=($!)
done
ok=0
for i in $(seq 1 "$runs_connect"); do
    run=$work/demo-$i
    mkdir -p "$run/home"
    { HOME=$run/home "$bin/ostrel-demo" --workdir "$run" 2>/dev/null; } 2>/dev/null || true
    first=$(grep -m1 -oE 'socket error:|socket output:' "$run/logs/ostrel-demo.log" || true)
    [ "$first" = "socket output:" ] && ok=$((ok + 1))
    rm -rf "$run"
done
echo "   first attempt connected in $ok of $runs_connect runs"
