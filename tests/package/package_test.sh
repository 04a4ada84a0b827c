#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a small host against the installed CMake package,
# runs it with the recording stand-in handler beside it, and checks what it printed and what the
# handler received. Then checks that the library exports only its public API.
#   package_test.sh <build dir> <consumer source> <stand-in> <compiler launcher or ""> <ON|OFF sanitize>
set -euo pipefail
build=$1 consumer_src=$2 standin=$3 launcher=$4 sanitize=$5

# A fixed folder in the build tree (kept when the check fails), so that the compiler cache can hit.
work=$build/tests/package-check
rm -rf "$work"
mkdir -p "$work"
host_pid=
trap '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "== $f"; cat "$f"; done; exit 1; }

# Wait up to 20 s for a file to hold the given bytes (printf format).
wait_for_bytes() {
    local file=$1 want
    want=$(printf "$2" | od -An -c)
    for _ in $(seq 200); do
        [ -f "$file" ] && [ "$(od -An -c "$file")" = "$want" ] && return 0
        sleep 0.1
    done
    fail "$file holds $(od -An -c "$file" 2>/dev/null), expected $2"
}

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" || fail "install"
[ -f "$work/prefix/include/OstrelSDK/ostrelsdk.h" ] || fail "public header not installed"
lib=$(find "$work/prefix" -name 'libOstrelSDK.so.3.3.0' | head -n1)
[ -n "$lib" ] || fail "libOstrelSDK.so.3.3.0 not installed"
[ -n "$(find "$work/prefix" -path '*cmake/OstrelSDK/OstrelSDKConfigVersion.cmake')" ] || fail "no ConfigVersion file"

opts=(-DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release)
[ -n "$launcher" ] && opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER="$launcher")
[ "$sanitize" = ON ] && opts+=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined)
cmake -S "$consumer_src" -B "$work/consumer" "${opts[@]}" >"$work/configure.log" 2>&1 || fail "configure consumer"
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || fail "build consumer"

# The host finds the handler in its own folder.
cp "$standin" "$work/consumer/KivCrashHandler.exe"
mkdir "$work/records" "$work/home"
HOME=$work/home OSTREL_WER_SETTINGS_DIR=$work/home OSTREL_STANDIN_DIR=$work/records \
    "$work/consumer/ostrel-consumer" "$work/stop" >"$work/printed" 2>"$work/host.log" &
host_pid=$!
wait_for_bytes "$work/records/received-1.bin" '$ClientLogin@u1@@0$'
touch "$work/stop"
wait "$host_pid" || fail "host exited with $?"
host_pid=
wait_for_bytes "$work/records/received-1.bin" '$ClientLogin@u1@@0$ExitClient$'

printf 'version 3.3.0\nStartCrash true\n' | cmp -s - "$work/printed" || fail "host printed $(cat "$work/printed")"
# Seven arguments, NUL-terminated: pid, dump folder with backslashes, app name, the four strings.
args=$(tr '\0' '|' <"$work/records/launch-1.args")
[[ "$args" =~ ^[0-9]+'|\tmp\dumps|ostrel-consumer|consumer|p1||p3|'$ ]] || fail "handler arguments: $args"

# Exported symbols: the fourteen functions and the two network helper classes, nothing else.
nm -D --defined-only -C "$lib" | cut -d' ' -f3- | sort -u >"$work/symbols"
if [ "$sanitize" = ON ]; then
    # Instrumentation adds its own symbols and Qt type information for the vptr checks.
    grep -Ev '^(__odr_asan|__asan|__ubsan|typeinfo( name)? for Q[A-Z])' "$work/symbols" >"$work/ours" || true
    mv "$work/ours" "$work/symbols"
fi
grep -Ev '^((typeinfo( name)? for |vtable for )?(NetWorkHelper|ReplyTimeout)\b|Ostrel_SDK::[A-Za-z]+\()' \
    "$work/symbols" >"$work/unexpected" || true
[ ! -s "$work/unexpected" ] || fail "unexpected exports: $(cat "$work/unexpected")"
functions=$(grep -c '^Ostrel_SDK::' "$work/symbols" || true)
[ "$functions" = 14 ] || fail "$functions Ostrel_SDK exports, expected 14"

rm -rf "$work"
echo "package: install, consumer build and run, exports: OK"
