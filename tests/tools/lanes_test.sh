#!/usr/bin/env bash
# The lanes of ./run (tools/lanes.sh): a lane that fails fails the run with
# its output shown, a command that fails inside a lane ends the lane there,
# and a run that stops early stops its lanes with everything they started.
#   lanes_test.sh SOURCE_DIR
set -uo pipefail
src=$1
BUILD=$(mktemp -d)
trap 'rm -rf "$BUILD"' EXIT
. "$src/tools/lanes.sh"
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# name | lane's commands | joined's exit | what joined shows
cases=(
    "passes|echo made it|0|made it"
    "fails|echo half way; exit 3|1|half way.*fails failed \(exit 3\)"
    "stops-at-failure|echo first; false; echo after|1|first.*stops-at-failure failed \(exit 1\)"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name commands want shows <<<"$row"
    # joined ends the shell it runs in when the lane failed: a subshell here.
    out=$(set -e; in_background "$name" bash -ec "$commands"; joined "$name" 2>&1; echo "after the join")
    status=$?
    [ $status = "$want" ] || bad "$name: joined exit $status, want $want: $out"
    grep -qzE "$shows" <<<"$out" || bad "$name: joined shows: $out"
    grep -q "^after$" <<<"$out" && bad "$name: the lane went on after its failing command: $out"
    if [ "$want" = 0 ]; then
        grep -q "after the join" <<<"$out" || bad "$name: the run did not go on after a lane that passed"
    else
        grep -q "after the join" <<<"$out" && bad "$name: the run went on after a lane that failed"
    fi
done

# A lane whose command started a long child: stop_background ends both.
# The child holds the write end of a pipe; the pipe ends when it does.
mkfifo "$BUILD/pid" "$BUILD/alive"
in_background long bash -c 'sleep 1000 >"$2" & echo $! >"$1"; wait' _ "$BUILD/pid" "$BUILD/alive"
lane=${BACKGROUND[long]}
exec {alive}<"$BUILD/alive"
read -r child <"$BUILD/pid"
stop_background
wait "$lane" 2>/dev/null
timeout 60 cat <&"$alive" >/dev/null || bad "the lane's child $child outlived stop_background"
exec {alive}<&-
kill "$child" 2>/dev/null

[ $fail = 0 ] && echo "lanes: ${#cases[@]} joins as their lanes ended; a stopped lane takes its children with it"
exit $fail
