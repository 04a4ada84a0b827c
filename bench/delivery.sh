#!/usr/bin/env bash
# Delivery to a local crash-server receiver (Spotlight on 127.0.0.1), on Linux:
#  1. host death -> the receiver's 200, for the demo host: the handler's journal times from
#     "hostExited" to "delivered" (the line written when the 200 has been read), RUNS runs (default 5);
#  2. a backlog of COUNT (default 100) queued reports drained while the same handler serves a host
#     that sends a message every 5 ms: reports/s, the slowest answer, the handler's peak memory.
#   bash bench/delivery.sh [build]      (the build needs -DOSTREL_BUILD_BENCH=ON for part 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-5}
work=$(mktemp -d)
receiver=$root/tests/delivery/receiver
[ -d "$receiver/node_modules" ] || { echo "the receiver is not installed (npm ci in $receiver)" >&2; exit 1; }
node "$receiver/receiver.mjs" 0 >"$work/receiver.out" 2>"$work/receiver.err" &
receiver_pid=$!
trap 'kill $receiver_pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 300); do grep -qs '^listening ' "$work/receiver.out" && break; sleep 0.1; done
port=$(sed -n 's/^listening //p' "$work/receiver.out")
dsn="http://benchkey@127.0.0.1:$port/1"
ms() { date -d "$1" +%s%3N; }
timeof() { grep -h "\"event\":\"$2\"" $1 | head -1 | sed 's/.*"time":"\([^"]*\)".*/\1/'; }

echo "== host death -> receiver's 200, demo host, $runs runs"
: >"$work/latency"
for i in $(seq 1 "$runs"); do
    run=$work/demo-$i
    mkdir -p "$run/home"
    HOME=$run/home "$build/bin/ostrel-demo" --workdir "$run" --dsn "$dsn" >/dev/null 2>&1 || true
    for _ in $(seq 1 150); do grep -qs '"event":"delivered"' "$run"/dumps/*.journal.jsonl && break; sleep 0.1; done
    gone=$(timeof "$run/dumps/*.journal.jsonl" hostExited)
    sent=$(timeof "$run/dumps/*.journal.jsonl" delivered)
    report=$(timeof "$run/dumps/*.journal.jsonl" crashReport)
    [ -n "$sent" ] || { echo "run $i: not delivered"; continue; }
    request=$(grep -h '"event":"delivered"' "$run"/dumps/*.journal.jsonl | sed 's/.*"ms":\([0-9]*\).*/\1/')
    echo "$(( $(ms "$sent") - $(ms "$gone") )) $(( $(ms "$report") - $(ms "$gone") )) $request" >>"$work/latency"
done
sort -n "$work/latency" | awk '{ t[NR] = $1; r[NR] = $2; q[NR] = $3 } END {
    printf "host exit -> delivered: median %d ms, worst %d ms (of which report written: median %d ms; request: median %d ms)\n",
        t[int((NR + 1) / 2)], t[NR], r[int((NR + 1) / 2)], q[int((NR + 1) / 2)] }'

echo "== backlog of ${COUNT:-100} reports"
report=$(ls "$work"/demo-1/dumps/ostrel-demo-*.json | head -1)
"$build/bench/bin/bench_backlogdrain" "$build/bin/KivCrashHandler.exe" "$dsn" "$report" "${COUNT:-100}"
