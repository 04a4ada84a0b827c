#!/usr/bin/env bash
# The Windows package as a Windows developer gets it: installs the cross-build into a temporary
# prefix, checks its layout, the DLL's exports and version resource, builds a MinGW host against the
# installed CMake package and runs it under Wine with the recording stand-in handler beside it.
#   package_test_windows.sh <build dir> <consumer source> <stand-in> <toolchain file> <Qt prefix>
set -euo pipefail
build=$1 consumer_src=$2 standin=$3 toolchain=$4 qt=$5
triplet=x86_64-w64-mingw32

source "$(dirname "$0")/checkdir.sh"

wait_for_bytes() {
    local file=$1 want
    want=$(printf "$2" | od -An -c)
    for _ in $(seq 300); do
        [ -f "$file" ] && [ "$(od -An -c "$file")" = "$want" ] && return 0
        sleep 0.1
    done
    fail "$file holds $(od -An -c "$file" 2>/dev/null), expected $2"
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "install"
for f in bin/OstrelSDK.dll bin/KivRegWER.exe lib/libOstrelSDK.dll.a include/OstrelSDK/ostrelsdk.h \
         include/OstrelSDK/ostrelsdk_export.h lib/cmake/OstrelSDK/OstrelSDKConfig.cmake \
         lib/cmake/OstrelSDK/OstrelSDKConfigVersion.cmake; do
    [ -f "$prefix/$f" ] || fail "$f not installed"
done
dll=$prefix/bin/OstrelSDK.dll

# Exports: the fourteen functions and the two network helper classes, nothing else.
"$triplet-objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' \
    | "$triplet-c++filt" | sort -u >"$work/symbols"
grep -Ev '^((typeinfo( name)? for |vtable for )?(NetWorkHelper|ReplyTimeout)\b|Ostrel_SDK::[A-Za-z]+\()' \
    "$work/symbols" >"$work/unexpected" || true
[ ! -s "$work/unexpected" ] || fail "unexpected exports: $(cat "$work/unexpected")"
functions=$(grep -c '^Ostrel_SDK::' "$work/symbols" || true)
[ "$functions" = 14 ] || fail "$functions Ostrel_SDK exports, expected 14: $(cat "$work/symbols")"

# Version resource: file version 3.3.0.8, product version 3.3.0.
"$triplet-windres" -i "$dll" -J coff -O rc >"$work/version.rc" 2>"$work/windres.log" || fail "no resources in the DLL"
grep -q '^ *FILEVERSION 3, *3, *0, *8$' "$work/version.rc" || fail "file version: $(grep -i version "$work/version.rc")"
grep -q '^ *PRODUCTVERSION 3, *3, *0, *0$' "$work/version.rc" || fail "product version: $(grep -i version "$work/version.rc")"
grep -q 'VALUE "FileVersion", "3.3.0.8' "$work/version.rc" || fail "FileVersion string"
grep -q 'VALUE "ProductVersion", "3.3.0' "$work/version.rc" || fail "ProductVersion string"

# A MinGW host finds the package (the toolchain searches packages below its roots only, so it is
# named by OstrelSDK_DIR, as a Windows developer names an unpacked SDK).
cmake -S "$consumer_src" -B "$work/consumer" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$qt" \
    -DOstrelSDK_DIR="$prefix/lib/cmake/OstrelSDK" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 \
    || fail "configure consumer"
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || fail "build consumer"
for f in KivRegWER.exe OstrelSDK.dll; do
    [ -f "$work/consumer/$f" ] || fail "ostrel_deploy_handler did not put $f beside the consumer"
done

# Deployed as docs/windows.md says: the library and the handler beside the host.
app=$work/app
mkdir -p "$app" "$work/records"
cp "$work/consumer/ostrel-consumer.exe" "$dll" "$app/"
cp "$standin" "$app/KivCrashHandler.exe"
OSTREL_STANDIN_DIR=$work/records "$build/wine-run" "$app/ostrel-consumer.exe" /tmp/dumps "$work/stop" \
    >"$work/printed" 2>"$work/host.log" &
host_pid=$!
wait_for_bytes "$work/records/received-1.bin" '$ClientLogin@u1@@0$'
touch "$work/stop"
wait "$host_pid" || fail "host exited with $?"
host_pid=
wait_for_bytes "$work/records/received-1.bin" '$ClientLogin@u1@@0$ExitClient$'
printf 'version 3.3.0\r\nStartCrash true\r\n' | cmp -s - "$work/printed" \
    || printf 'version 3.3.0\nStartCrash true\n' | cmp -s - "$work/printed" || fail "host printed $(od -c "$work/printed")"
args=$(tr '\0' '|' <"$work/records/launch-1.args")
[[ "$args" =~ ^[0-9]+'|\tmp\dumps|ostrel-consumer|consumer|p1||p3|'$ ]] || fail "handler arguments: $args"

rm -rf "$work"
echo "package (Windows): layout, 14 exports, version resource, consumer build and run under Wine: OK"
