#!/usr/bin/env bash
# ./run test RUNS times in a row (default 5) while another load keeps every
# core busy: one busy process per core at the tests' own priority, for as
# long as the runs take. Stops at the first run that fails. Each run's
# time and result is printed; the load ends with this script.
#   tools/under_load.sh [RUNS]
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
load=()
stop_load() { [ ${#load[@]} = 0 ] || kill "${load[@]}" 2>/dev/null; }
trap stop_load EXIT
for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    load+=($!)
done
echo "load: ${#load[@]} busy processes, one per core"
for run in $(seq "$runs"); do
    start=$SECONDS
    ./run test >"build/under-load-$run.log" 2>&1
    status=$?
    echo "run $run of $runs: exit $status in $((SECONDS - start)) s (log: build/under-load-$run.log)"
    [ $status = 0 ] || { tail -40 "build/under-load-$run.log"; exit 1; }
done
echo "all $runs runs passed under load"
