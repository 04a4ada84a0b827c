#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the installed CMake package as an application
# would: a small host, linked with the keyword and with the plain target_link_libraries signature,
# gets the crash handler, its dialog and the registration tool deployed beside it by ostrel_deploy_handler()
# (and installed with it); a library passed to that function stops the configure. The host then runs
# with the deployed programs, ends without exitClient, and the handler writes its report. Last, the
# library must export only its public API. A host of the other Qt line, or one target linking both
# lines, stops at configure time with a clear message.
#   package_test.sh <build dir> <consumer source> <compiler launcher or ""> <ON|OFF sanitize> <5|6 Qt>
set -euo pipefail
build=$1 consumer_src=$2 launcher=$3 sanitize=$4 qt=$5
package=OstrelSDK other=6
[ "$qt" = 6 ] && package=OstrelSDKQt6 other=5

source "$(dirname "$0")/checkdir.sh"

# Wait up to 20 s for a shell condition.
wait_until() {
    for _ in $(seq 200); do
        eval "$1" && return 0
        sleep 0.1
    done
    fail "still not true after 20 s: $1"
}

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" || fail "install"
[ -f "$work/prefix/include/OstrelSDK/ostrelsdk.h" ] || fail "public header not installed"
lib=$(find "$work/prefix" -name "lib$package.so.3.3.0" | head -n1)
[ -n "$lib" ] || fail "lib$package.so.3.3.0 not installed"
[ -n "$(find "$work/prefix" -path "*cmake/$package/${package}ConfigVersion.cmake")" ] || fail "no ConfigVersion file"

opts=(-DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release -DOSTREL_QT="$qt")
[ -n "$launcher" ] && opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER="$launcher")
[ "$sanitize" = ON ] && opts+=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined)
for signature in keyword plain; do
    flag=OFF
    [ "$signature" = plain ] && flag=ON
    cmake -S "$consumer_src" -B "$work/$signature" "${opts[@]}" -DOSTREL_PLAIN_SIGNATURE=$flag \
        >"$work/configure-$signature.log" 2>&1 || fail "configure consumer ($signature signature)"
    cmake --build "$work/$signature" >"$work/build-$signature.log" 2>&1 || fail "build consumer ($signature signature)"
    for program in KivCrashHandler.exe KivRegWER.exe KivCrashDialog.exe; do
        [ -x "$work/$signature/$program" ] || fail "$program not deployed beside the $signature consumer"
    done
done
cmake --install "$work/keyword" --prefix "$work/app" >"$work/install-consumer.log" || fail "install consumer"
for program in ostrel-consumer KivCrashHandler.exe KivRegWER.exe KivCrashDialog.exe; do
    [ -x "$work/app/bin/$program" ] || fail "$program not installed into the consumer's bin"
done
if cmake -S "$consumer_src" -B "$work/wrong" "${opts[@]}" -DOSTREL_DEPLOY_LIBRARY=ON >"$work/wrong.out" 2>&1; then
    fail "ostrel_deploy_handler accepted a library"
fi
grep -q '"ostrel-consumer-lib" is not an executable' "$work/wrong.out" || fail "no clear message: $(cat "$work/wrong.out")"
# Mixing the Qt lines: a host of the other line asking for this package, and one target linking both.
# Both need the other line's development files; without them the checks say so and are left out.
if cmake -S "$consumer_src" -B "$work/mixed" "${opts[@]}" -DOSTREL_QT=$other -DOSTREL_PACKAGE=$package \
    >"$work/mixed.out" 2>&1; then
    fail "a Qt $other host configured against the Qt $qt build"
elif grep -q "provided by \"Qt$other\"" "$work/mixed.out"; then
    echo "skipped: mixing the Qt lines (Qt $other's development files are not installed)"
else
    grep -q "this project uses Qt $other, but" "$work/mixed.out" \
        || fail "no clear message for a Qt $other host: $(cat "$work/mixed.out")"
    cmake -S "$consumer_src" -B "$work/both" "${opts[@]}" -DOSTREL_ALSO_QT=$other >"$work/both.out" 2>&1 \
        && fail "a target linking Qt $other and the Qt $qt build configured"
    grep -q 'INTERFACE_QT_MAJOR_VERSION' "$work/both.out" || fail "no clear message for both lines: $(cat "$work/both.out")"
fi

# The host with what was deployed beside it: the reference handler and the registration tool.
mkdir "$work/dumps" "$work/home"
env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$work/home" \
    "$work/keyword/ostrel-consumer" "$work/dumps" "$work/stop" --no-exit >"$work/printed" 2>"$work/host.log" &
host_pid=$!
journal=$work/dumps/ostrel-consumer-$host_pid.journal.jsonl
wait_until "grep -q 'ClientLogin@u1@@0' '$journal' 2>/dev/null"
touch "$work/stop"
wait "$host_pid" || fail "host exited with $?"
wait_until "ls '$work/dumps/ostrel-consumer-$host_pid-'*.json >/dev/null 2>&1"
host_pid=
report=$(ls "$work/dumps/"ostrel-consumer-*-*.json)
grep -q '"clientName": "consumer"' "$report" || fail "report without the client name: $(cat "$report")"
# The deployed registration tool wrote the user's settings, which the handler read back.
tr -d ' \n' <"$report" | grep -q '"localDumps":{"count":5,"folder":"[^"]*","type":2}' \
    || fail "report without the registered count and type: $(cat "$report")"
[ -f "$work/home/.config/Microsoft/Windows/Windows Error Reporting/LocalDumps/ostrel-consumer.exe.ini" ] \
    || fail "no local-dump settings in the user's config folder"
printf 'version 3.3.0\nStartCrash true\n' | cmp -s - "$work/printed" || fail "host printed $(cat "$work/printed")"

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
echo "package ($package): install, consumer builds (both signatures), deploy, report, Qt lines kept apart, exports: OK"
