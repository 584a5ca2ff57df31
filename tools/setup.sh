# Set-up of a Debian 12 machine for ./run, sourced by it.
#   setup demo|test          install what that command needs and is missing
#   setup_plan demo|test     say what would be installed and why; install nothing
# `demo` needs the native tools' compiler, build system and libraries; `test`
# needs every test tool besides. The 32-bit Wine packages (and the i386
# architecture they come from) are only for a host that runs 32-bit x86
# code, which a tiny 32-bit program tells before anything is installed.
# After `setup test`, WINE32_STATUS is empty when the 32-bit Wine stage can
# run, else the reason it cannot.

# package|why, per command.
SETUP_DEMO_PACKAGES=(
    "cmake|build system"
    "ninja-build|build system"
    "g++|native compiler (the library, simulator and host tools)"
    "libcli11-dev|command lines of kovaflash and kova-image"
    "nlohmann-json3-dev|kovaflash --json"
    "libssl-dev|signed images: OpenSSL's libcrypto (kovaflash, kova-image)"
    "zlib1g-dev|field traces: zlib (kova-trace)"
)
SETUP_TEST_PACKAGES=(
    "clang|fuzz build (libFuzzer) and the static-constructor check"
    "clang-format|format check"
    "clang-tidy|static analysis of the library"
    "cppcheck|static analysis of the library"
    "valgrind|./run valgrind"
    "libgtest-dev|unit tests"
    "libbenchmark-dev|benchmarks"
    "libunicorn-dev|KOVA.dll in the CPU emulator"
    "liblief-dev|the emulator's PE loader"
    "g++-mingw-w64-i686|cross build: KOVA.dll, ZUNDA.dll, kovaflash.exe (32-bit)"
    "g++-mingw-w64-x86-64|the 64-bit Windows test build of kovaflash.exe"
    "libz-mingw-w64-dev|the recording ZUNDA.dll (field traces): zlib for Windows"
    "llvm|KOVA.lib (llvm-dlltool) and the kit's checks"
    "lld|the kit's checks: lld-link (MSVC-style link) and lld (llvm-mingw link); the native test build's linker"
    "python3|the JSON checks of the host tool's tests"
    "openssl|the signature test's key files of other kinds (explicit curves, P-384, compressed points)"
    "strace|the safety test's proof that every file reaches the disk before its rename, and the state test's kill at a chosen write"
    "zip|the kit's zip"
    "unzip|the kit's check"
    "wine|Wine's tools (wineboot, winepath)"
    "wine64|the 64-bit Windows test build under wine64"
    "osslsigncode|the signed kit: Authenticode signatures (./run sign-kit and its test)"
    "nodejs|the kit's SBOM check: the CycloneDX project's validator (@cyclonedx/cyclonedx-library)"
)
SETUP_I386_PACKAGES=(
    "wine32:i386|KOVA.dll, dll_test.exe and the 32-bit kovaflash.exe under Wine"
)
SETUP_STATE=${BUILD:-build}/setup  # apt.log, wine32 (why it could not be installed)
WINE32_STATUS="not set up"

setup_say() { printf 'setup: %s\n' "$*"; }

setup_installed() {
    grep -q "install ok installed" <<<"$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)"
}

# The 32-bit probe: an i386 ELF program of 96 bytes that only exits with
# status 32 (mov ebx, 32; mov eax, 1 (exit); int 0x80). A kernel without
# 32-bit support refuses to start it ("Exec format error"), as does any
# host that is not x86. KOVA_I386_PROBE names another program to ask
# instead (tests of this decision).
I386_PROBE_STATUS=32
i386_probe_program() {
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'  # ELF32, little-endian
    printf '\x02\x00\x03\x00\x01\x00\x00\x00'                          # executable, i386
    printf '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00'          # entry 0x08048054, phoff 52
    printf '\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'  # flags, header sizes, one program header
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'  # LOAD at 0x08048000
    printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'  # 96 bytes, r-x
    printf '\xbb\x20\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'           # exit(32)
}

# Sets I386_REASON to why the host runs no 32-bit x86 code; returns 0 when it does.
host_runs_i386() {
    local probe=${KOVA_I386_PROBE:-} dir="" out status
    if [ -z "$probe" ]; then
        dir=$(mktemp -d)
        probe=$dir/probe32
        i386_probe_program >"$probe"
        chmod +x "$probe"
    fi
    status=0
    out=$("$probe" 2>&1) || status=$?
    [ -n "$dir" ] && rm -rf "$dir"
    if [ "$status" = "$I386_PROBE_STATUS" ]; then
        I386_REASON=""
        return 0
    fi
    out=$(tr '\n' ' ' <<<"$out" | sed 's/^.*: //; s/ *$//')
    I386_REASON="this host runs no 32-bit x86 code (a 32-bit program ${out:+failed: $out}${out:-exited with $status})"
    return 1
}

# The package|why rows a command needs on this host.
setup_rows() {
    SETUP_ROWS=("${SETUP_DEMO_PACKAGES[@]}")
    [ "$1" = demo ] && return
    SETUP_ROWS+=("${SETUP_TEST_PACKAGES[@]}")
    # npm comes with Node.js where Node.js came from its makers' packages;
    # Debian's nodejs has it in a package of its own.
    command -v npm >/dev/null || SETUP_ROWS+=("npm|installs the CycloneDX validator from the npm registry")
    if host_runs_i386; then
        SETUP_ROWS+=("${SETUP_I386_PACKAGES[@]}")
    fi
}

setup_plan() {
    local profile=$1 row pkg why
    setup_rows "$profile"
    echo "set-up for ./run $profile:"
    if [ "$profile" != demo ]; then
        if [ -z "$I386_REASON" ]; then
            echo "  32-bit x86: this host runs it; the i386 architecture and 32-bit Wine are added where apt can install them"
        else
            echo "  32-bit x86: $I386_REASON; no i386 architecture, no 32-bit Wine"
        fi
    fi
    for row in "${SETUP_ROWS[@]}"; do
        IFS='|' read -r pkg why <<<"$row"
        if setup_installed "$pkg"; then
            printf '  have     %-22s %s\n' "$pkg" "$why"
        elif [[ $pkg == *:i386 ]] && wine32_refused_today; then
            printf '  skip     %-22s refused by apt today: %s\n' "$pkg" "$(cat "$SETUP_STATE/wine32")"
        else
            printf '  install  %-22s %s\n' "$pkg" "$why"
        fi
    done
    if [ "$profile" != demo ]; then
        local state=install
        [ -s "$SBOM_VALIDATOR/.kova-stamp" ] && state=have
        printf '  %-8s %-22s %s\n' "$state" "@cyclonedx (npm)" \
            "the kit's SBOM check: the CycloneDX project's validator, into $SBOM_VALIDATOR"
    fi
}

# Whether apt refused wine32 within the last day (the reason is in $SETUP_STATE/wine32).
wine32_refused_today() { [ -n "$(find "$SETUP_STATE/wine32" -mmin -1440 2>/dev/null)" ]; }

# apt's one-line reason a package cannot be installed: the first unmet
# dependency it names, else its first error.
apt_reason() {
    local out line
    out=$(DEBIAN_FRONTEND=noninteractive $SETUP_SUDO apt-get install -y -q --no-install-recommends "$1" 2>&1) &&
        return 0
    line=$(grep -m1 -E '^ .* : (Pre)?Depends:' <<<"$out" | sed 's/^ *//; s/  */ /g') || true
    [ -n "$line" ] || line=$(grep -m1 '^E:' <<<"$out") || true
    [ -n "$line" ] || line=$(tail -1 <<<"$out")
    echo "$line"
    return 1
}

setup() {
    local profile=$1 row pkg missing=() optional=() failed=() added_i386=0 reason out
    mkdir -p "$SETUP_STATE"
    setup_rows "$profile"
    for row in "${SETUP_ROWS[@]}"; do
        pkg=${row%%|*}
        setup_installed "$pkg" && continue
        if [[ $pkg != *:i386 ]]; then
            missing+=("$pkg")
        elif wine32_refused_today; then
            # Tried within the day and refused by apt: not tried again on every run.
            setup_say "not retried today: $(cat "$SETUP_STATE/wine32") (remove $SETUP_STATE/wine32 to retry)"
        else
            optional+=("$pkg")
        fi
    done
    SETUP_SUDO=""
    if [ ${#missing[@]} -gt 0 ] || [ ${#optional[@]} -gt 0 ]; then
        if [ "$(id -u)" != 0 ]; then
            command -v sudo >/dev/null || {
                setup_say "cannot install $(echo ${missing[*]} ${optional[*]}): not root, and no sudo"
                return 1
            }
            SETUP_SUDO=sudo
        fi
        setup_say "installing: $(echo ${missing[*]} ${optional[*]})"
        # Each list is read whole before it is searched: grep -q leaving a
        # pipe early would end dpkg with SIGPIPE, which pipefail takes for
        # "not there".
        if [ ${#optional[@]} -gt 0 ] && ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
            $SETUP_SUDO dpkg --add-architecture i386 && added_i386=1
        fi
        # A list that fails to download (a mirror in sync) is no reason to
        # stop: only a package that cannot be installed is.
        if ! out=$($SETUP_SUDO apt-get update -qq 2>&1); then
            setup_say "warning: apt-get update could not fetch every package list; going on with the rest"
            grep -E '^(E|W):' <<<"$out" | sed 's/^/  /' | head -5 || true
        fi
        if [ ${#missing[@]} -gt 0 ] &&
            ! DEBIAN_FRONTEND=noninteractive $SETUP_SUDO apt-get install -y -qq --no-install-recommends \
                "${missing[@]}" >"$SETUP_STATE/apt.log" 2>&1; then
            # One at a time, to name each package that cannot be had and why.
            for pkg in "${missing[@]}"; do
                setup_installed "$pkg" && continue
                reason=$(apt_reason "$pkg") || failed+=("$pkg: $reason")
            done
        fi
        for reason in "${failed[@]}"; do
            setup_say "cannot install $reason"
        done
        [ ${#failed[@]} = 0 ] || return 1
        for pkg in "${optional[@]}"; do
            if reason=$(apt_reason "$pkg"); then
                rm -f "$SETUP_STATE/wine32"
            else
                setup_say "warning: cannot install $pkg: $reason; the 32-bit Wine stage will be skipped"
                echo "$pkg cannot be installed: $reason" >"$SETUP_STATE/wine32"
            fi
        done
        # An architecture added for packages that could not be had is
        # taken out again: it would only make every later apt-get slower.
        if [ $added_i386 = 1 ] && ! grep -q ':i386 ' <<<"$(dpkg -l)"; then
            $SETUP_SUDO dpkg --remove-architecture i386 || true
        fi
    fi
    wine32_status "$profile"
    [ "$profile" = demo ] || setup_sbom_validator
}

# The CycloneDX project's JSON validator for the kit's SBOM, as the lock
# file pins it, from the npm registry into $SBOM_VALIDATOR; again only when
# the lock file changed.
SBOM_VALIDATOR=${BUILD:-build}/cyclonedx
SETUP_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
setup_sbom_validator() {
    local from=$SETUP_SOURCE/tests/kit/cyclonedx stamp out
    stamp=$(cat "$from/package.json" "$from/package-lock.json" "$from/validate.mjs" | sha256sum | cut -c1-64)
    [ "$(cat "$SBOM_VALIDATOR/.kova-stamp" 2>/dev/null)" = "$stamp" ] && return 0
    # The library wants Node.js 20.18 or later (its package.json's engines).
    if ! node -e 'const [a, b] = process.versions.node.split(".").map(Number); process.exit(a > 20 || (a == 20 && b >= 18) ? 0 : 1)' 2>/dev/null; then
        setup_say "cannot install @cyclonedx/cyclonedx-library 10.3.0 (the kit's SBOM check): it needs Node.js 20.18 or later;" \
            "this machine has $(node --version 2>/dev/null || echo none) (Node.js's own packages for Debian have it)"
        return 1
    fi
    rm -rf "$SBOM_VALIDATOR"
    mkdir -p "$SBOM_VALIDATOR"
    cp "$from/package.json" "$from/package-lock.json" "$from/validate.mjs" "$SBOM_VALIDATOR/"
    setup_say "installing the SBOM validator: @cyclonedx/cyclonedx-library and ajv from the npm registry"
    if ! out=$(cd "$SBOM_VALIDATOR" && npm ci --no-audit --no-fund --loglevel=error 2>&1); then
        setup_say "cannot install @cyclonedx/cyclonedx-library (npm ci in $SBOM_VALIDATOR, for the kit's SBOM check):" \
            "$(grep -m1 -E 'ERR|error' <<<"$out" || tail -1 <<<"$out")"
        return 1
    fi
    echo "$stamp" >"$SBOM_VALIDATOR/.kova-stamp"
}

# WINE32_STATUS: empty when the 32-bit Wine stage can run, else why not.
wine32_status() {
    [ "$1" = demo ] && return
    if ! host_runs_i386; then
        WINE32_STATUS=$I386_REASON
    elif setup_installed wine32:i386; then
        WINE32_STATUS=""
    elif [ -s "$SETUP_STATE/wine32" ]; then
        WINE32_STATUS=$(cat "$SETUP_STATE/wine32")
    else
        WINE32_STATUS="wine32:i386 is not installed"
    fi
}
