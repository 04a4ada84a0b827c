#!/usr/bin/env bash
# Crash capture speed: a host crashes (SIGSEGV in its main thread) under the reference crash
# handler; figures come from the handler's own journal and report, in ms:
#   core write   "go" sent to the host -> the handler sees it gone (the kernel writes the core meanwhile)
#   death->report the handler sees the host gone -> the report is written (exit status, core search,
#                 analysis in a child process, core moved beside the report)
#   analysis     reading the core alone (the child's own clock)
# for a small host and one with ~200 MiB resident, RUNS runs each (default 5), median.
#   bash bench/crash_capture.sh <build dir>
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
handler=$build/bin/KivCrashHandler.exe
host=$build/tests/bin/capture_crash_host
[ -x "$handler" ] && [ -x "$host" ] || { echo "build $build has no handler or capture_crash_host" >&2; exit 1; }
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ms() { date +%s%3N; }
iso_ms() { date -d "$1" +%s%3N; }
median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

for mib in 0 200; do
    : >"$work/write" ; : >"$work/report" ; : >"$work/analysis" ; : >"$work/size"
    for run in $(seq 1 "$runs"); do
        dir=$work/run-$mib-$run
        mkdir -p "$dir/work"
        mkfifo "$dir/in"
        (cd "$dir/work" && exec "$host" segv $( [ "$mib" -gt 0 ] && echo "$mib" ) <"$dir/in" >"$dir/out") &
        pid=$!
        exec 3>"$dir/in"
        until grep -q ready "$dir/out" 2>/dev/null; do sleep 0.01; done
        "$handler" "$pid" "$dir/dumps" crash-host client "" "" "" &
        handler_pid=$!
        until grep -qs '"event":"start"' "$dir"/dumps/*.journal.jsonl; do sleep 0.01; done
        go=$(ms)
        echo go >&3
        exec 3>&-
        { wait "$pid"; } 2>/dev/null || true
        wait "$handler_pid"
        journal=$(ls "$dir"/dumps/*.journal.jsonl)
        gone=$(iso_ms "$(grep '"event":"hostExited"' "$journal" | sed 's/.*"time":"\([^"]*\)".*/\1/')")
        written=$(iso_ms "$(grep '"event":"crashReport"' "$journal" | sed 's/.*"time":"\([^"]*\)".*/\1/')")
        report=$(ls "$dir"/dumps/*.json)
        echo $((gone - go)) >>"$work/write"
        echo $((written - gone)) >>"$work/report"
        grep -o '"analysisMs": [0-9]*' "$report" | head -1 | awk '{ print $2 }' >>"$work/analysis"
        stat -c %s "$(ls "$dir"/dumps/*.core)" >>"$work/size"
        head -1 "$report" >"$work/summary"
        rm -rf "$dir"
    done
    printf 'host +%4s MiB: core %5s MiB | core write %5s ms | death->report %5s ms | analysis %5s ms  (median of %s)\n' \
        "$mib" "$(( $(median <"$work/size") / 1048576 ))" "$(median <"$work/write")" "$(median <"$work/report")" \
        "$(median <"$work/analysis")" "$runs"
done
echo "last summary line: $(cat "$work/summary")"
