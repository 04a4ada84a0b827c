# Sourced by the package checks: a fixed work folder in the build tree (kept when the check fails,
# so that the compiler cache can hit), a host process killed on exit, and fail() that shows the logs.
work=$build/tests/package-check
rm -rf "$work"
mkdir -p "$work"
host_pid=
trap '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "== $f"; cat "$f"; done; exit 1; }
