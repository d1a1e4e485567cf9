#!/usr/bin/env bash
# End-to-end tests of velmora.exe under Wine on a private Xvfb display.
# usage: tests/e2e/run.sh VELMORA_EXE KEYTRACE_EXE WORKDIR [-k NAME]...
# WORKDIR keeps the Wine prefix (made on the first run) and the logs.
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 VELMORA_EXE KEYTRACE_EXE WORKDIR [-k NAME]..." >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
for tool in wine wineserver Xvfb xdotool xset python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "e2e: $tool is missing (scripts/demo installs what is needed)"
        echo "e2e: 0 passed, 1 failed"
        exit 1
    fi
done

workdir=$3
mkdir -p "$workdir"
# The harness ends what it started (Xvfb, Wine) itself; this trap covers the
# harness being killed before it could.
pid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    if [ -f "$workdir/xvfb.pid" ]; then
        echo "e2e: cleaning up after the harness"
        WINEPREFIX="$workdir/wineprefix" wineserver -k 2>/dev/null || true
        kill "$(cat "$workdir/xvfb.pid")" 2>/dev/null || true
        rm -f "$workdir/xvfb.pid"
    fi
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

python3 -B -u "$here/test_velmora.py" "$@" &
pid=$!
status=0
wait "$pid" || status=$?
pid=
exit "$status"
