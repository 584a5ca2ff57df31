# Work that runs beside other work, sourced by ./run (BUILD names the
# folder for the logs):
#   in_background NAME COMMAND...   start it; its output goes to $BUILD/NAME.log
#   joined NAME                     wait for it, show its output, exit 1 if it failed
#   stop_background                 stop all that are still running, with
#                                   everything they started (a run that ends early)
# in_background NAME COMMAND...: runs COMMAND apart, its output kept in
# $BUILD/NAME.log until joined.
declare -A BACKGROUND
in_background() {
    local name=$1
    shift
    ("$@") >"$BUILD/$name.log" 2>&1 </dev/null &
    BACKGROUND[$name]=$!
}
# A run that stops early stops what it started apart, with everything those
# started in turn (a build's compilers, a test's programs).
kill_tree() {
    local child
    for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
        kill_tree "$child"
    done
    kill "$1" 2>/dev/null || true
}
stop_background() {
    local pid
    for pid in "${BACKGROUND[@]}"; do
        kill_tree "$pid"
    done
}
# joined NAME: waits for it and shows what it printed; fails as it failed.
joined() {
    local status=0
    wait "${BACKGROUND[$1]}" || status=$?
    unset "BACKGROUND[$1]"
    cat "$BUILD/$1.log"
    [ $status = 0 ] || { echo "$1 failed (exit $status)"; exit 1; }
}
