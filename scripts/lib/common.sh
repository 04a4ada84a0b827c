# Shared by the scripts in this folder: install what a fresh Debian 12 machine lacks, then configure
# and build. Source it; it changes to the repository root.

set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
ROOT=$PWD

# Debian packages the build, the tests, the demo and the benchmarks use (xvfb and xauth: the crash
# dialog shown on a real X server, where the machine has no display of its own; xdotool: its
# end-to-end test types into it; llvm: ostrel-report
# runs its llvm-symbolizer; zlib1g-dev: delivery compresses its envelopes).
OSTREL_PACKAGES=(cmake g++ make qtbase5-dev libbenchmark-dev pkg-config libdw-dev elfutils xvfb xauth xdotool llvm zlib1g-dev)
# And those of the Qt 6 build (./scripts/test --qt6): Debian's Qt 6 base modules and tools (Widgets
# included, for the crash dialog).
OSTREL_QT6_PACKAGES=(qt6-base-dev)
# And those of the Windows lane (./scripts/test --windows): the MinGW-w64 cross compiler, Wine, and
# what building Qt from Debian's source package takes (dpkg-source, perl for Qt's header sync), and
# Xvfb for the pictures of the crash dialog as Wine draws it.
OSTREL_WINDOWS_PACKAGES=(cmake g++ make perl dpkg-dev xz-utils g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libz-mingw-w64-dev xvfb xauth)

# The local crash-server receiver (Spotlight, pinned by tests/delivery/receiver/package-lock.json)
# for the delivery tests and the demo. Where Node/npm or the npm registry is missing, says why and
# goes on: those tests and the demo's delivery then skip with the reason.
ensure_receiver() {
    local dir="$ROOT/tests/delivery/receiver"
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        echo "== crash-server receiver: skipped (Node.js/npm not installed)"
        return 0
    fi
    if [ -f "$dir/node_modules/.package-lock.json" ] && cmp -s "$dir/package-lock.json" "$dir/node_modules/.package-lock.json.ostrel" 2>/dev/null; then
        return 0
    fi
    if (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null); then
        cp "$dir/package-lock.json" "$dir/node_modules/.package-lock.json.ostrel"
    else
        echo "== crash-server receiver: npm ci failed; the delivery tests and the demo's delivery skip"
    fi
}

ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >/dev/null
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# configure <build dir> [cmake options...]
configure() {
    local dir=$1
    shift
    local launcher=()
    command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$ROOT" -B "$dir" "${launcher[@]}" "$@" >"$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log"; return 1; }
}

# configure_and_build <build dir> [cmake options...]
configure_and_build() {
    configure "$@"
    cmake --build "$1" -j"$(nproc)"
}
