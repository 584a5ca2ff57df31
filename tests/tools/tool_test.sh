# Sourced first by the host tool's shell tests that are run as
# SCRIPT KOVAFLASH RUNNER KOVA_IMAGE (RUNNER: "" natively, or the Wine
# loader): the three names, a work folder removed at the end, `fail` and
# `bad`, Wine's services started attached to nothing (so no case's pipe
# waits on them), and launch.sh.
set -uo pipefail
kovaflash=$1 runner=$2 kova_image=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
[ -z "$runner" ] || $runner cmd /c exit </dev/null >/dev/null 2>&1
. "$(dirname "${BASH_SOURCE[0]}")/launch.sh"
