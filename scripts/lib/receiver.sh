# The demos' crash server: the local receiver (Spotlight on a free port of 127.0.0.1, installed by
# ensure_receiver) started before the demo host runs and asked afterwards what arrived. Source it
# after common.sh.

# start_receiver <work folder>: sets RECEIVER_PORT and RECEIVER_PID, or RECEIVER_SKIPPED with the
# reason where there is no receiver to start; what it printed goes to <work folder>/receiver.out.
start_receiver() {
    local work=$1 dir="$ROOT/tests/delivery/receiver"
    RECEIVER_PORT= RECEIVER_PID= RECEIVER_SKIPPED=
    if ! command -v node >/dev/null; then
        RECEIVER_SKIPPED="Node.js is not installed"
        return 0
    fi
    if [ ! -d "$dir/node_modules/@spotlightjs/spotlight" ]; then
        RECEIVER_SKIPPED="the receiver could not be installed from the npm registry"
        return 0
    fi
    node "$dir/receiver.mjs" 0 >"$work/receiver.out" 2>"$work/receiver.err" &
    RECEIVER_PID=$!
    for _ in $(seq 1 300); do
        grep -qs '^listening ' "$work/receiver.out" && break
        sleep 0.1
    done
    RECEIVER_PORT=$(sed -n 's/^listening //p' "$work/receiver.out")
    [ -n "$RECEIVER_PORT" ] || RECEIVER_SKIPPED="the receiver did not start: $(head -c 300 "$work/receiver.err")"
}

stop_receiver() {
    [ -n "${RECEIVER_PID:-}" ] && kill "$RECEIVER_PID" 2>/dev/null && wait "$RECEIVER_PID" 2>/dev/null || true
}

# show_delivery <journal files (a glob, unquoted)> <work folder> [seconds to wait]: waits for the
# handler's word on delivery and says what the receiver got: the event id, the user's comment, and
# each attachment with its type and size.
show_delivery() {
    local journal=$1 work=$2 wait=${3:-15}
    if [ -n "$RECEIVER_SKIPPED" ]; then
        echo "== Delivery skipped: $RECEIVER_SKIPPED"
        return 0
    fi
    for _ in $(seq 1 $((wait * 10))); do
        grep -qs '"event":"\(delivered\|deliveryFailed\|deliveryRefused\|deliveryNotQueued\)"' $journal && break
        sleep 0.1
    done
    local line
    line=$(grep -hs '"event":"delivered"' $journal | tail -1)
    if [ -z "$line" ]; then
        echo "== Not delivered: $(grep -hs '"event":"delivery' $journal | tail -1)"
        return 0
    fi
    echo "== Delivered to the local crash server: event $(sed -n 's/.*"eventId":"\([0-9a-f]*\)".*/\1/p' <<<"$line")" \
         "(request $(sed -n 's/.*"ms":\([0-9]*\).*/\1/p' <<<"$line") ms)"
    # The receiver prints each envelope as it parsed it, once its stream has passed it on.
    for _ in $(seq 1 50); do
        grep -qs '"event_id"' "$work/receiver.out" && break
        sleep 0.1
    done
    node -e '
        const lines = require("fs").readFileSync(process.argv[1], "utf8").split("\n").filter((l) => l.startsWith("{"));
        if (!lines.length) process.exit(0);
        const got = JSON.parse(lines[lines.length - 1]);
        if (got.user_report) console.log(`   with the user\x27s comment: "${got.user_report.comments}"`);
        for (const item of got.items.filter((i) => i.type === "attachment"))
            console.log(`   attachment ${item.filename} (${item.attachment_type || "event.attachment"}, ${item.length} bytes)`);
    ' "$work/receiver.out"
    echo "   look at it on http://localhost:$RECEIVER_PORT"
}
