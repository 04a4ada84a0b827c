# Qt 5.15 for MinGW (x86_64-w64-mingw32), built from Debian's own qtbase source package and cached
# outside the checkout. Source it after common.sh; `qt_mingw_prefix` prints the install prefix,
# building it first when the cache lacks a complete build. One build serves the Windows lane and
# the Windows demo: Gui and Widgets for the crash dialog (with the bundled FreeType, which Qt's
# `offscreen` platform needs on Windows, so the dialog's tests run under Wine without a display),
# and Schannel as the TLS backend (Windows' own, so the handler ships no TLS DLLs).
#
# The cache folder is keyed by the Qt version and a hash of the configure flags (and of this build
# recipe), so a change of flags builds a new Qt beside the old one. A build counts as complete only
# once its ".complete" stamp is written as the very last step; a folder without it (an interrupted
# or failed build) is removed and built again.
#
#   OSTREL_CACHE   cache root (default: ${XDG_CACHE_HOME:-$HOME/.cache}/ostrel)

QT_MINGW_VERSION=5.15.8
QT_MINGW_SOURCE_PACKAGE=qtbase-opensource-src
# (Debian's source leaves out the tablet header the Windows platform plugin needs for tablets.)
QT_MINGW_FLAGS=(
    -opensource -confirm-license -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -release -shared -nomake examples -nomake tests -no-opengl -no-dbus
    -schannel -no-openssl -no-icu -no-sql-sqlite -no-sql-odbc -no-feature-concurrent -no-pch -qt-zlib -qt-pcre
    -qt-libpng -no-libjpeg -no-gif -no-ico -qt-freetype -no-direct2d -no-feature-printer
    -no-feature-tabletevent
)
# Recipe revision: bump when the steps below change in a way that changes the result.
QT_MINGW_RECIPE=1

qt_mingw_prefix() {
    local key
    key=$(printf '%s\n' "$QT_MINGW_RECIPE" "${QT_MINGW_FLAGS[@]}" | sha256sum | cut -c1-12)
    local cache=${OSTREL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrel}
    local prefix=$cache/qt-$QT_MINGW_VERSION-mingw-$key
    if [ -f "$prefix/.complete" ]; then
        echo "$prefix"
        return 0
    fi
    [ -e "$prefix" ] && echo "== Qt cache $prefix is incomplete; rebuilding" >&2
    rm -rf "$prefix"
    qt_mingw_build "$prefix" "${QT_MINGW_FLAGS[@]}" >&2 || return 1
    echo "$prefix"
}

# apt-get (or apt-cache, given first) with a private source list holding only the deb-src line, and
# private state, so the system's lists stay as they are.
qt_mingw_apt() {
    local work=$1 tool=apt-get
    shift
    [ "$1" = apt-cache ] && { tool=apt-cache; shift; }
    "$tool" -q -o Dir::Etc::sourcelist="$work/apt/sources.list" -o Dir::Etc::sourceparts=- \
        -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
        "$@"
}

# qt_mingw_build <prefix> <configure flags...>
qt_mingw_build() {
    local prefix=$1
    shift
    local flags=("$@")
    local work
    work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-qt-mingw.XXXXXX")
    local started=$SECONDS
    echo "== building Qt $QT_MINGW_VERSION for MinGW into $prefix (log: $work/build.log)"
    mkdir -p "$work/apt/lists/partial" "$work/src"
    local mirror
    mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
    echo "deb-src ${mirror:-http://deb.debian.org/debian} bookworm main" >"$work/apt/sources.list"
    # Every step says whether it failed: `set -e` does not act in a subshell whose status `||` tests,
    # and a failed step must never leave a build marked complete.
    (
        qt_mingw_apt "$work" update || exit 1
        cd "$work/src" || exit 1
        local version srcdir
        version=$(qt_mingw_apt "$work" apt-cache showsrc "$QT_MINGW_SOURCE_PACKAGE" | sed -n "s/^Version: \($QT_MINGW_VERSION[^ ]*\)$/\1/p" | head -n1)
        [ -n "$version" ] || { echo "no $QT_MINGW_SOURCE_PACKAGE $QT_MINGW_VERSION in Debian's source lists"; exit 1; }
        qt_mingw_apt "$work" source --only-source "$QT_MINGW_SOURCE_PACKAGE=$version" || exit 1
        srcdir=$(find . -mindepth 1 -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)
        [ -n "$srcdir" ] || { echo "no qtbase source folder"; exit 1; }
        # Schannel's import libraries are named in Windows' case; MinGW's are lower case, and the
        # cross linker's file system tells them apart.
        sed -i 's/"-lSecur32" "-lCrypt32"/"-lsecur32" "-lcrypt32"/' "$srcdir/src/network/ssl/ssl.pri" || exit 1
        grep -q '"-lsecur32" "-lcrypt32"' "$srcdir/src/network/ssl/ssl.pri" || { echo "ssl.pri has changed"; exit 1; }
        mkdir build && cd build || exit 1
        "../$srcdir/configure" -prefix "$prefix" "${flags[@]}" || exit 1
        # The handler's https needs it: a Qt without a TLS backend must not pass for the lane's.
        grep -Eq '^ *Schannel \.+ yes' config.summary || { echo "configure left Schannel out"; exit 1; }
        make -j"$(nproc)" || exit 1
        make install || exit 1
        touch "$prefix/.complete"
    ) >"$work/build.log" 2>&1 || {
        tail -n 40 "$work/build.log"
        echo "== Qt build failed; full log: $work/build.log"
        return 1
    }
    echo "== Qt built in $((SECONDS - started)) s"
    rm -rf "$work"
}
