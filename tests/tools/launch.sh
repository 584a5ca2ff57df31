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

# hold_lock RUNNER HOLDER BOARD: starts the lock holder (tests/tools/
# hold_board_lock.cpp) on BOARD and returns once it says it holds the lock;
# release_lock lets it go and waits for it to end. A handshake both ways
# over two pipes: nothing waits on time.
hold_lock() {
    local pipes line
    pipes=$(mktemp -d)
    mkfifo "$pipes/in" "$pipes/out"
    $1 "$2" "$3" <"$pipes/in" >"$pipes/out" &
    holder_pid=$!
    exec {holder_in}>"$pipes/in" {holder_out}<"$pipes/out"
    rm -r "$pipes"
    read -r line <&"$holder_out"
    [[ $line == held* ]]
}
release_lock() {
    exec {holder_in}>&-
    wait "$holder_pid"
    local status=$?
    exec {holder_out}<&-
    holder_pid=
    return $status
}
# read_until FD WORDS: reads lines from FD until one holds WORDS (or FD ends).
read_until() {
    local line
    while IFS= read -r line <&"$1"; do
        printf '%s\n' "$line"
        [[ $line == *"$2"* ]] && return 0
    done
    return 1
}
