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
. "$here/lib_run_harness.sh"
run_harness e2e "$here/test_velmora.py" "$3" "$@"
