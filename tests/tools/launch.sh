# Sourced by the host tool's shell tests. launch RUNNER PROGRAM ARGS...:
# runs PROGRAM (under RUNNER, the Wine loader, when one is given) with its
# stderr on its stdout and CRs taken out, and returns its status. A start
# that fails is the case's failure, with what Wine said.
launch() {
    local runner=$1
    shift
    local out status
    out=$($runner "$@" 2>&1)
    status=$?
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
# read_until FD WORDS [SECONDS]: reads lines from FD until one holds WORDS
# (or FD ends, or no line came for SECONDS).
read_until() {
    local line
    while IFS= read -r ${3:+-t "$3"} line <&"$1"; do
        printf '%s\n' "$line"
        [[ $line == *"$2"* ]] && return 0
    done
    return 1
}
# read_until_text FD WORDS: reads FD a byte at a time until what was read
# ends with WORDS, which need not end a line (a prompt, a progress line).
read_until_text() {
    local text="" c
    while IFS= read -r -d '' -N 1 c <&"$1"; do
        text+=$c
        [[ $text == *"$2" ]] && { printf '%s' "$text"; return 0; }
    done
    printf '%s' "$text"
    return 1
}
