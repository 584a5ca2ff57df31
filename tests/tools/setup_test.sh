#!/usr/bin/env bash
# The set-up's decisions, with dpkg and apt-get replaced by stand-ins that
# record what they are asked: what each command wants on a host that runs
# 32-bit x86 code and on one that does not, a package list that fails to
# download, and packages apt cannot install.
# Usage: setup_test.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
export FAKE=$work/fake
mkdir -p "$work/bin" "$FAKE"

# Installed packages are the lines of $FAKE/installed; apt refuses a package
# that has a $FAKE/refuse.NAME, printing that file.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for p; do :; done
grep -qxF "$p" "$FAKE/installed" && printf 'install ok installed'
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/sh
echo "dpkg $*" >>"$FAKE/log"
case $1 in
--print-foreign-architectures) cat "$FAKE/arches" 2>/dev/null ;;
--add-architecture) echo "$2" >>"$FAKE/arches" ;;
--remove-architecture) sed -i "/^$2\$/d" "$FAKE/arches" ;;
-l) { grep ':i386$' "$FAKE/installed"; grep -v ':i386$' "$FAKE/installed"; } | sed 's/^/ii  /; s/$/  1.0  all  package/' ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get $*" >>"$FAKE/log"
if [ "$1" = update ]; then
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    exit 100
fi
for p; do case $p in -* | install) ;; *) [ -f "$FAKE/refuse.$p" ] && { cat "$FAKE/refuse.$p"; exit 100; } ;; esac; done
for p; do case $p in -* | install) ;; *) echo "$p" >>"$FAKE/installed" ;; esac; done
EOF
# npm ci of the SBOM validator: refused with $FAKE/refuse.npm's text.
cat >"$work/bin/npm" <<'EOF'
#!/bin/sh
echo "npm $*" >>"$FAKE/log"
[ -f "$FAKE/refuse.npm" ] && { cat "$FAKE/refuse.npm"; exit 1; }
mkdir -p node_modules
EOF
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
printf '#!/bin/sh\nexit 32\n' >"$work/bin/runs-i386"
chmod +x "$work/bin"/*

# setup_run PROBE COMMAND PROFILE: the set-up sourced as ./run sources it,
# with its shell options.
setup_run() {
    (
        set -euo pipefail
        export PATH=$work/bin:$PATH KOVA_I386_PROBE=$1
        BUILD=$work/build
        . "$src/tools/setup.sh"
        "$2" "$3"
        [ "$2" != setup ] || echo "WINE32_STATUS=$WINE32_STATUS"
    ) 2>&1
}
reset() { : >"$FAKE/installed" && : >"$FAKE/log" && rm -f "$FAKE"/refuse.* "$FAKE/arches" && rm -rf "$work/build"; }

# The plan installs nothing and holds the 32-bit packages only where they run.
reset
plan=$(setup_run /bin/false setup_plan test)
grep -E '^  (have|install) ' <<<"$plan" | grep -qE 'wine32|:i386' && bad "32-bit packages planned on a 64-bit-only host: $plan"
grep -q 'no i386 architecture, no 32-bit Wine' <<<"$plan" || bad "the plan does not say why there is no 32-bit Wine: $plan"
grep -q '^  install  wine64 ' <<<"$plan" || bad "wine64 missing from the test plan"
grep -q '^  install  wine32:i386 ' <<<"$(setup_run "$work/bin/runs-i386" setup_plan test)" ||
    bad "no wine32:i386 in the plan of a host that runs 32-bit code"
demo=$(setup_run /bin/false setup_plan demo | awk '/^  (have|install)/ {print $2}' | xargs)
[ "$demo" = "cmake ninja-build g++ libcli11-dev nlohmann-json3-dev libssl-dev zlib1g-dev" ] || bad "the demo plans $demo"
[ -s "$FAKE/log" ] && bad "the plan ran $(cat "$FAKE/log")"

# A host that runs 32-bit code, a list that fails to download, and a wine32
# apt cannot resolve: everything else is installed, the Wine stage gets the
# reason, and the i386 architecture added for it is taken out again.
reset
cat >"$FAKE/refuse.wine32:i386" <<'EOF'
The following packages have unmet dependencies:
 libcurl4:i386 : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed
                 Depends: libssh2-1:i386 (>= 1.7.0) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
EOF
out=$(setup_run "$work/bin/runs-i386" setup test)
[ $? = 0 ] || bad "a wine32 that cannot be installed fails the set-up: $out"
grep -q 'warning: apt-get update could not fetch every package list' <<<"$out" || bad "no warning for the failed list: $out"
grep -qx 'WINE32_STATUS=wine32:i386 cannot be installed: libcurl4:i386 : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed' <<<"$out" ||
    bad "the Wine stage is not given apt's reason: $out"
grep -qx 'wine64' "$FAKE/installed" || bad "wine64 not installed"
[ "$(grep -o 'dpkg --[a-z]*-architecture i386\|apt-get update' "$FAKE/log" | xargs)" = \
    "dpkg --add-architecture i386 apt-get update dpkg --remove-architecture i386" ] ||
    bad "i386 not added before the update and removed after: $(cat "$FAKE/log")"
out=$(setup_run "$work/bin/runs-i386" setup test)
grep -q 'not retried today' <<<"$out" && [ "$(grep -c 'apt-get update' "$FAKE/log")" = 1 ] ||
    bad "a refused wine32 is tried again on every run: $out"

# A host that runs 32-bit code where wine32 installs, among many packages:
# the architecture added for it stays. (dpkg -l lists the i386 packages
# first, so a search that stops at the first one leaves dpkg writing into
# a closed pipe; that must not read as "no i386 package".)
reset
seq -f 'libfiller%g' 10000 >"$FAKE/installed"
out=$(setup_run "$work/bin/runs-i386" setup test)
[ $? = 0 ] && grep -qx 'WINE32_STATUS=' <<<"$out" || bad "wine32 installed, yet: $out"
grep -q 'dpkg --add-architecture i386' "$FAKE/log" && ! grep -q 'remove-architecture' "$FAKE/log" &&
    grep -qx i386 "$FAKE/arches" || bad "the i386 architecture taken out under wine32: $(grep dpkg "$FAKE/log")"

# A host without 32-bit code, and a needed package apt cannot find: one line
# naming it and apt's reason, and a failed set-up; nothing i386 is touched.
reset
echo "E: Unable to locate package libunicorn-dev" >"$FAKE/refuse.libunicorn-dev"
out=$(setup_run /bin/false setup test)
[ $? != 0 ] || bad "a missing libunicorn-dev does not fail the set-up"
[ "$(grep -c '^setup: cannot install' <<<"$out")" = 1 ] &&
    grep -qx 'setup: cannot install libunicorn-dev: E: Unable to locate package libunicorn-dev' <<<"$out" ||
    bad "the failure does not name the package and apt's reason on one line: $out"
grep -q i386 "$FAKE/log" && bad "i386 touched on a host without 32-bit code: $(cat "$FAKE/log")"

# Everything there: apt is not asked at all.
: >"$FAKE/log" && rm -f "$FAKE/refuse.libunicorn-dev"
setup_run /bin/false setup test >/dev/null && setup_run /bin/false setup test >/dev/null &&
    [ "$(grep -c 'apt-get update' "$FAKE/log")" = 1 ] || bad "a second set-up asked apt again: $(cat "$FAKE/log")"

# The SBOM validator from the npm registry: a refusal fails the set-up
# naming the package and npm's reason; once installed, npm is not asked again.
reset
printf 'npm ERR! code E404\nnpm ERR! 404 Not Found - GET https://registry.npmjs.org/ajv\n' >"$FAKE/refuse.npm"
out=$(setup_run /bin/false setup test)
[ $? != 0 ] && grep -q '^setup: cannot install @cyclonedx/cyclonedx-library (npm ci in .*): npm ERR! code E404' <<<"$out" ||
    bad "a refused npm ci does not fail the set-up with its reason: $out"
rm "$FAKE/refuse.npm"
setup_run /bin/false setup test >/dev/null && setup_run /bin/false setup test >/dev/null
[ "$(grep -c '^npm ci' "$FAKE/log")" = 2 ] || bad "npm ci is not run once after its failure: $(grep npm "$FAKE/log")"
# A Node.js older than the library wants: named, and npm not run.
reset
mkdir -p "$work/old-node"
printf '#!/bin/sh\n[ "$1" = --version ] && echo v18.19.0 && exit 0\nexit 1\n' >"$work/old-node/node"
chmod +x "$work/old-node/node"
out=$(PATH=$work/old-node:$PATH setup_run /bin/false setup test)
[ $? != 0 ] && grep -q 'needs Node.js 20.18 or later; this machine has v18.19.0' <<<"$out" &&
    ! grep -q '^npm ci' "$FAKE/log" || bad "an old Node.js: $out"

exit $fail
