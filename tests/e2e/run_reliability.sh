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
. "$here/lib_run_harness.sh"
run_harness reliability "$here/test_reliability.py" "$3" "$@"
