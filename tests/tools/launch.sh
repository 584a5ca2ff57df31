# Sourced by the host tool's shell tests. launch RUNNER PROGRAM ARGS...:
# runs PROGRAM (under RUNNER, the Wine loader, when one is given) with its
# stderr on its stdout and CRs taken out, and returns its status. kovaflash
# prints at least one line on every path, so a Wine loader that ends with
# status 1 and nothing printed started nothing (Wine, now and then, while
# its server restarts): that start is said on stderr and made once more.
launch() {
    local runner=$1
    shift
    local out status
    out=$($runner "$@" 2>&1)
    status=$?
    if [ -n "$runner" ] && [ $status = 1 ] && [ -z "$out" ]; then
        echo "note: $runner started nothing (status 1, no output): starting $(basename "$1") once more" >&2
        out=$($runner "$@" 2>&1)
        status=$?
    fi
    [ -z "$out" ] || printf '%s\n' "$out" | tr -d '\r'
    return $status
}
