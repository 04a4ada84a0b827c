#!/usr/bin/env bash
# Crash capture speed on Windows, under Wine: a host registered for WER local dumps crashes (access
# violation in its main thread) under the reference crash handler, and writes its own minidump
# where WER would ("<DumpFolder>\<exe>.<pid>.dmp"). Figures from the handler's journal and report,
# in ms:
#   dump write     "go" sent to the host -> the handler sees it gone (the dump is written meanwhile)
#   death->report  the handler sees the host gone -> the report is written (exit code, dump search,
#                  reading in a child process, dump moved beside the report)
#   analysis       reading the dump alone (the child's own clock)
# RUNS runs (default 5), median. Uses a throwaway Wine prefix.
#   bash bench/crash_capture_win.sh <windows build dir, default build-windows>
set -euo pipefail
build=$(cd "${1:-build-windows}" && pwd)
handler=$build/bin/KivCrashHandler.exe
host=$build/tests/bin/win_crash_host.exe
run=$build/wine-run
[ -f "$handler" ] && [ -f "$host" ] && [ -x "$run" ] || { echo "build $build has no handler or win_crash_host.exe" >&2; exit 1; }
runs=${RUNS:-5}
work=$(mktemp -d)
WINEPREFIX=$work/prefix
export WINEPREFIX
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
"$run" wineboot --init >/dev/null 2>&1
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
"$run" reg add "$key" /v Debugger /t REG_SZ /d false /f >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
key='HKLM\Software\Microsoft\Windows\Windows Error Reporting\LocalDumps\win_crash_host.exe'
"$run" reg add "$key" /v DumpFolder /t REG_EXPAND_SZ /d "$(win "$work/wer")" /f /reg:64 >/dev/null 2>&1
"$run" reg add "$key" /v DumpType /t REG_DWORD /d 1 /f /reg:64 >/dev/null 2>&1
mkdir -p "$work/wer"

ms() { date +%s%3N; }
iso_ms() { date -d "$1" +%s%3N; }
median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

: >"$work/write" ; : >"$work/report" ; : >"$work/analysis"
for i in $(seq 1 "$runs"); do
    dir=$work/run-$i
    mkdir -p "$dir/dumps"
    mkfifo "$dir/in"
    "$run" "$host" dump "$(win "$work/wer")" <"$dir/in" >"$dir/out" 2>/dev/null &
    exec 3>"$dir/in"
    until grep -q ready "$dir/out" 2>/dev/null; do sleep 0.01; done
    pid=$(tr -d '\r' <"$dir/out" | awk '/ready/ { print $3 }')
    "$run" "$handler" "$pid" "$(win "$dir/dumps")" win_crash_host client "" "" "" >/dev/null 2>&1 &
    handler_pid=$!
    until grep -qs '"event":"start"' "$dir"/dumps/*.journal.jsonl; do sleep 0.01; done
    go=$(ms)
    echo go >&3
    exec 3>&-
    wait "$handler_pid" || true
    journal=$(ls "$dir"/dumps/*.journal.jsonl)
    gone=$(iso_ms "$(grep '"event":"hostExited"' "$journal" | sed 's/.*"time":"\([^"]*\)".*/\1/')")
    written=$(iso_ms "$(grep '"event":"crashReport"' "$journal" | sed 's/.*"time":"\([^"]*\)".*/\1/')")
    report=$(ls "$dir"/dumps/*.json)
    echo $((gone - go)) >>"$work/write"
    echo $((written - gone)) >>"$work/report"
    grep -o '"analysisMs": *[0-9]*' "$report" | head -1 | grep -o '[0-9]*$' >>"$work/analysis"
    head -1 "$report" >"$work/summary"
done
printf 'dump write %5s ms | death->report %5s ms | analysis %5s ms  (median of %s)\n' \
    "$(median <"$work/write")" "$(median <"$work/report")" "$(median <"$work/analysis")" "$runs"
echo "last summary line: $(cat "$work/summary")"
