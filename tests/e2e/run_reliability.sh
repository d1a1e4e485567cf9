#!/usr/bin/env bash
# Reliability tests of velmora.exe under Wine on a private Xvfb display: hostile settings,
# WM_QUIT at a release, input storms, overlapping holds, release races, a long run watched for
# leaks, kills and restarts.
# usage: tests/e2e/run_reliability.sh VELMORA_EXE TOOLS_DIR WORKDIR [--long-run SECONDS]
#            [--releases-per-key N] [--quit-rounds N] [--seed N] [-k NAME]...
# TOOLS_DIR holds keytrace.exe, regset.exe, procstat.exe and quitwatch.exe; WORKDIR keeps the
# Wine prefix (made on the first run) and the logs.
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 VELMORA_EXE TOOLS_DIR WORKDIR [--long-run SECONDS] [-k NAME]..." >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
for tool in wine wineserver Xvfb xdotool xset python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "reliability: $tool is missing (scripts/demo installs what is needed)"
        echo "reliability: 0 passed, 1 failed"
        exit 1
    fi
done

workdir=$3
mkdir -p "$workdir"
# The harness ends what it started (Xvfb, Wine, helpers) itself; this trap covers the harness
# being killed before it could.
pid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    if [ -f "$workdir/xvfb.pid" ]; then
        echo "reliability: cleaning up after the harness"
        WINEPREFIX="$workdir/wineprefix" wineserver -k 2>/dev/null || true
        kill "$(cat "$workdir/xvfb.pid")" 2>/dev/null || true
        rm -f "$workdir/xvfb.pid"
    fi
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

python3 -B -u "$here/test_reliability.py" "$@" &
pid=$!
status=0
wait "$pid" || status=$?
pid=
exit "$status"
