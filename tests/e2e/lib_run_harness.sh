# Sourced by the e2e runners: runs one Python harness under Wine on a private Xvfb display.
# usage: run_harness LABEL HARNESS.py WORKDIR [ARGS...]
# WORKDIR keeps the Wine prefix (made on the first run) and the logs.

run_harness() {
    local label=$1 harness=$2 workdir=$3
    shift 3
    for tool in wine wineserver Xvfb xdotool xset python3; do
        if ! command -v "$tool" >/dev/null; then
            echo "$label: $tool is missing (scripts/demo installs what is needed)"
            echo "$label: 0 passed, 1 failed"
            return 1
        fi
    done
    mkdir -p "$workdir"

    # The harness ends what it started (Xvfb, Wine, helpers) itself; this trap covers the
    # harness being killed before it could.
    _harness_pid=
    _harness_label=$label
    _harness_workdir=$workdir
    trap _harness_cleanup EXIT
    trap '_harness_cleanup; exit 130' INT TERM

    python3 -B -u "$harness" "$@" &
    _harness_pid=$!
    local status=0
    wait "$_harness_pid" || status=$?
    _harness_pid=
    return "$status"
}

_harness_cleanup() {
    if [ -n "$_harness_pid" ] && kill -0 "$_harness_pid" 2>/dev/null; then
        kill "$_harness_pid" 2>/dev/null || true
        wait "$_harness_pid" 2>/dev/null || true
    fi
    if [ -f "$_harness_workdir/xvfb.pid" ]; then
        echo "$_harness_label: cleaning up after the harness"
        WINEPREFIX="$_harness_workdir/wineprefix" wineserver -k 2>/dev/null || true
        kill "$(cat "$_harness_workdir/xvfb.pid")" 2>/dev/null || true
        rm -f "$_harness_workdir/xvfb.pid"
    fi
}
