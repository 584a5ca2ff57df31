#!/usr/bin/env bash
# The kit as a Windows host developer gets it: the files and their
# checksums, the zip, kova.h as C89, C99 and C++, the example host linked
# against libKOVA.dll.a, against libraries regenerated from KOVA.def by
# both dlltools, and through the CMake package; an MSVC-style host linked
# by lld-link against KOVA.lib; KOVA.lib's members against the export list;
# the PE headers and version resources; README.txt's usage section against
# the program's help. The host runs under Wine where the host runs 32-bit
# code; otherwise its imports are read.
#   check_kit.sh SOURCE_DIR CROSS_BUILD_DIR NATIVE_BIN_DIR
set -uo pipefail
src=$1 cross=$2 native=$3
cc=i686-w64-mingw32-gcc cxx=i686-w64-mingw32-g++
work=$(mktemp -d /tmp/kova-kit.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }

mapfile -t made < <(bash "$src/tools/dist.sh" "$src" "$cross" "$work" "$native")
first_dist_done=$(date +%s)
[ ${#made[@]} = 2 ] || { echo "FAIL: dist.sh"; exit 1; }
kit=${made[0]} zip=${made[1]}
want="CHANGELOG.txt KOVA.def KOVA.dll KOVA.lib KOVAConfig.cmake KOVAConfigVersion.cmake LICENSE README.txt"
want+=" SBOM.cdx.json SHA256SUMS THIRD-PARTY-NOTICES.txt diagnostics/ZUNDA.dll examples/host.c kova.h kovaflash.exe libKOVA.dll.a"
held=$(cd "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs)
[ "$held" = "$want" ] || bad "kit holds $held, not $want"
for f in $want; do
    case $f in *.dll | *.exe | *.a | *.lib) continue ;; esac
    # Every line ends with CRLF: no bare LF, no bare CR.
    lines=$(tr -cd '\n' <"$kit/$f" | wc -c)
    [ "$lines" -gt 0 ] && [ "$(grep -c $'\r$' "$kit/$f")" = "$lines" ] && [ "$(tr -cd '\r' <"$kit/$f" | wc -c)" = "$lines" ] ||
        bad "$f does not end every line with CRLF"
done
(cd "$kit" && tr -d '\r' <SHA256SUMS | sha256sum --quiet -c -) || bad "SHA256SUMS do not match"
cmp -s "$kit/KOVA.dll" "$cross/bin/KOVA.dll" || bad "the kit's KOVA.dll is not the one built and tested"
# What ships is 32-bit: the x86-64 build is for tests only.
for f in "$kit"/*.dll "$kit"/diagnostics/*.dll "$kit"/*.exe "$kit"/*.a "$kit"/*.lib; do
    formats=$(i686-w64-mingw32-objdump -f "$f" 2>&1 | grep -o 'file format [^ ]*' | sort -u | xargs)
    # (an import library holds both objects, pe-i386, and import members, pei-i386)
    [ -n "$formats" ] && [ -z "$(sed 's/file format pei\{0,1\}-i386//g' <<<"$formats" | tr -d ' ')" ] ||
        bad "$(basename "$f") is not a 32-bit file: $formats"
done
listed=$(unzip -Z1 "$zip" | sed "s|^$(basename "$kit")/||" | LC_ALL=C sort | xargs)
[ "$listed" = "$want" ] || bad "zip holds $listed"

# The header: C89, C99 and C++, pedantic; the host program itself is C89.
for std in "-x c -std=c89" "-x c -std=c99" "-x c++ -std=c++11" "-x c++ -std=c++17"; do
    compiler=$cc
    [[ $std == *c++* ]] && compiler=$cxx
    echo '#include "kova.h"' | $compiler $std -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$kit" - ||
        bad "kova.h does not compile with $std"
done

# The imports a linked host makes of KOVA.dll: every name it uses, undecorated.
check_imports() {  # EXE NAME...
    local exe=$1 imports
    shift
    imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n '/DLL Name: KOVA.dll/,/^$/p')
    [ -n "$imports" ] || { bad "$(basename "$exe") does not import KOVA.dll"; return; }
    for name in "$@"; do
        grep -qw "$name" <<<"$imports" || bad "$(basename "$exe") does not import $name from KOVA.dll"
    done
    grep -q '@' <<<"$imports" && bad "$(basename "$exe") imports decorated names: $(grep '@' <<<"$imports" | xargs)"
}
host_names="KOVA_check_bios_image KOVA_update_bios_firmware KOVA_read_flash_byte KOVA_get_ec_ram KOVA_set_ec_ram
    KOVA_mb KOVA_customer KOVA_date KOVA_flash_size KOVA_message KOVA_block_count KOVA_major_version KOVA_minor_version"
# No auto-import: the data exports link only because kova.h declares them
# as imported data. No warning either: a developer sees none.
c89="-std=c89 -pedantic -Wall -Wextra -Werror"
link_host() {  # OUT IMPORT_LIBRARY [COMPILER...]
    local out=$1 lib=$2
    shift 2
    [ $# -gt 0 ] || set -- $cc
    "$@" $c89 -I"$kit" "$kit/examples/host.c" "$lib" -lbcrypt -lcrypt32 -Wl,--disable-auto-import \
        -Wl,--fatal-warnings -o "$out"
}
link_host "$work/host.exe" "$kit/libKOVA.dll.a" || bad "the example host does not link against libKOVA.dll.a"
# Its MinGW build line, typed as it stands in host.c and README.txt, in the kit's folder.
line=$(tr -d '\r' <"$kit/examples/host.c" | sed -n 's/^ \* *MinGW: *//p')
[ "$line" = "i686-w64-mingw32-gcc examples/host.c -I. -L. -lKOVA -lbcrypt -lcrypt32 -o host.exe" ] ||
    bad "host.c's MinGW line is now: $line"
(cd "$work" && rm -rf line && mkdir line && cp -r "$kit"/. line/ && cd line && eval "$line") ||
    bad "host.c's MinGW build line does not build it"
check_imports "$work/host.exe" $host_names

# KOVA.def, as a developer regenerates an import library from it with no
# options: GNU dlltool for GNU ld, llvm-dlltool for lld (llvm-mingw).
i686-w64-mingw32-dlltool -d "$kit/KOVA.def" -l "$work/gnu.a" &&
    link_host "$work/host-gnu.exe" "$work/gnu.a" || bad "KOVA.def through dlltool does not link the host"
check_imports "$work/host-gnu.exe" $host_names
gcc_libs=$(dirname "$($cc -print-libgcc-file-name)")
llvm-dlltool -m i386 -d "$kit/KOVA.def" -l "$work/llvm.a" &&
    link_host "$work/host-llvm.exe" "$work/llvm.a" clang --target=i686-w64-mingw32 -fuse-ld=lld -L"$gcc_libs" ||
    bad "KOVA.def through llvm-dlltool does not link the host with lld"
check_imports "$work/host-llvm.exe" $host_names

# MSVC-style: clang for i686-pc-windows-msvc and lld-link against KOVA.lib
# (no C runtime here, so a host without one). Defining KOVA_BUILD, which
# only the library's own build does, is what breaks such a link.
msvc_host() {  # OUT [CFLAGS...]
    local out=$1
    shift
    clang --target=i686-pc-windows-msvc -ffreestanding $c89 "$@" -I"$kit" -c "$src/tests/kit/lld_host.c" \
        -o "$out.obj" &&
        lld-link /nologo /nodefaultlib /entry:host_entry /subsystem:console "$out.obj" "$kit/KOVA.lib" /out:"$out"
}
msvc_host "$work/lld-host.exe" || bad "lld-link does not link a host against KOVA.lib"
check_imports "$work/lld-host.exe" KOVA_check_bios_image KOVA_get_ec_ram KOVA_set_ec_ram KOVA_block_count \
    KOVA_mb KOVA_flash_size ACPI_require_global_lock ACPI_release_global_lock
out=$(msvc_host "$work/bad-host.exe" -DKOVA_BUILD 2>&1) && bad "a host that defines KOVA_BUILD links"
grep -q 'undefined symbol: _KOVA_mb' <<<"$out" || bad "defining KOVA_BUILD fails otherwise than README.txt says: $out"
# ... and MinGW's ld links it anyway by auto-import, or refuses without it, as README.txt says.
$cc $c89 -DKOVA_BUILD -I"$kit" "$kit/examples/host.c" "$kit/libKOVA.dll.a" -lbcrypt -lcrypt32 -o "$work/auto-import-host.exe" 2>/dev/null ||
    bad "MinGW with KOVA_BUILD does not link by auto-import, as README.txt says it does"
$cc $c89 -DKOVA_BUILD -I"$kit" "$kit/examples/host.c" "$kit/libKOVA.dll.a" -lbcrypt -lcrypt32 -Wl,--disable-auto-import \
    -o "$work/no-auto-import-host.exe" 2>/dev/null && bad "MinGW with KOVA_BUILD and --disable-auto-import links"
# An llvm-dlltool library linked MSVC-style needs /safeseh:no, as README.txt says.
lld_safeseh() {  # OUT [LLD_OPTIONS...]
    local out=$1
    shift
    lld-link /nologo /nodefaultlib /entry:host_entry /subsystem:console "$@" "$work/lld-host.exe.obj" "$work/llvm.a" \
        /out:"$out" 2>&1
}
out=$(lld_safeseh "$work/safeseh-host.exe") && bad "lld-link took an llvm-dlltool library without /safeseh:no"
grep -q 'safeseh: .*KOVA.dll is not compatible with SEH' <<<"$out" || bad "lld-link's refusal is not README.txt's: $out"
lld_safeseh "$work/safeseh-no-host.exe" /safeseh:no >/dev/null || bad "lld-link /safeseh:no does not take an llvm-dlltool library"
# llvm-dlltool without -m i386 makes a library a 32-bit link cannot use.
llvm-dlltool -d "$kit/KOVA.def" -l "$work/llvm64.a" 2>/dev/null &&
    link_host "$work/host-llvm64.exe" "$work/llvm64.a" clang --target=i686-w64-mingw32 -fuse-ld=lld -L"$gcc_libs" \
        >/dev/null 2>&1 && bad "llvm-dlltool without -m i386 made a library a 32-bit link takes: README.txt is wrong"

# KOVA.lib (MSVC format): one import member per exported name, code for
# the functions, data for the variables, each resolved to the undecorated name.
def_names=$(awk 'f && NF {print $1} /^EXPORTS/ {f=1}' "$src/include/kova.def" | sort | xargs)
def_data=$(awk 'f && $2=="DATA" {print $1} /^EXPORTS/ {f=1}' "$src/include/kova.def" | sort | xargs)
lib=$(llvm-readobj --coff-imports "$kit/KOVA.lib")
lib_names=$(awk '/^Symbol: __imp_/ {s=$2; sub(/^__imp__/, "", s); sub(/@[0-9]+$/, "", s); print s}' <<<"$lib" | sort | xargs)
[ "$lib_names" = "$def_names" ] || bad "KOVA.lib names: $lib_names; kova.def: $def_names"
lib_data=$(awk '/^Type: data/ {d=1} /^Type: code/ {d=0} /^Symbol: __imp_/ && d {s=$2; sub(/^__imp__/, "", s); print s}' <<<"$lib" | sort | xargs)
[ "$lib_data" = "$def_data" ] || bad "KOVA.lib data members: $lib_data; kova.def: $def_data"
grep -q "^Export name\|Name type: name$" <<<"$lib" && bad "KOVA.lib keeps a decorated import name"
members=$(llvm-nm "$kit/KOVA.lib" | grep -c ' [TD] __imp__')
[ "$members" = "$(wc -w <<<"$def_names")" ] || bad "KOVA.lib has $members import symbols"

# The CMake package, with the MinGW toolchain: find_package and KOVA::KOVA.
mkdir -p "$work/cmake-user"
printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(kit_user C)' \
    'find_package(KOVA 5.1 REQUIRED CONFIG)' "add_executable(host \"$kit/examples/host.c\")" \
    'target_link_libraries(host PRIVATE KOVA::KOVA bcrypt crypt32)' \
    'target_link_options(host PRIVATE -Wl,--disable-auto-import)' >"$work/cmake-user/CMakeLists.txt"
if cmake -S "$work/cmake-user" -B "$work/cmake-user/build" -G Ninja -DKOVA_DIR="$kit" \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/i686-w64-mingw32.cmake" >"$work/cmake.log" 2>&1 &&
    cmake --build "$work/cmake-user/build" >>"$work/cmake.log" 2>&1; then
    check_imports "$work/cmake-user/build/host.exe" $host_names
else
    bad "a CMake project does not find and link KOVA::KOVA: $(tail -5 "$work/cmake.log")"
fi
# A 64-bit build is refused, and CMake's message says it is about the bitness.
mkdir -p "$work/cmake-64"
printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(kit_user64 C)' \
    'find_package(KOVA 5.1 REQUIRED CONFIG)' >"$work/cmake-64/CMakeLists.txt"
out=$(cmake -S "$work/cmake-64" -B "$work/cmake-64/build" -G Ninja -DKOVA_DIR="$kit" \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/x86_64-w64-mingw32.cmake" 2>&1) && bad "a 64-bit CMake build found KOVA"
grep -q 'KOVA is 32-bit only' <<<"$out" || bad "a 64-bit CMake build is not told KOVA is 32-bit only: $(tail -8 <<<"$out")"

# The PE headers: KOVA.dll's image version is the header's version and it
# declares no SEH handlers; kovaflash.exe is stripped, versioned, and asks
# for Windows 6.0 (Vista), where GetTickCount64 begins.
header() { i686-w64-mingw32-objdump -p "$1" | awk -v k="$2" '$1 == k {print $2}'; }
major=$(tr -d '\r' <"$kit/kova.h" | sed -n 's/^#define KOVA_VERSION_MAJOR //p')
minor=$(tr -d '\r' <"$kit/kova.h" | sed -n 's/^#define KOVA_VERSION_MINOR //p')
version=$(tr -d '\r' <"$kit/kova.h" | sed -n 's/^#define KOVA_VERSION_STRING "\(.*\)"$/\1/p')
[ "$(header "$kit/KOVA.dll" MajorImageVersion).$(header "$kit/KOVA.dll" MinorImageVersion)" = "$major.$minor" ] ||
    bad "KOVA.dll's image version is not kova.h's $major.$minor"
i686-w64-mingw32-objdump -p "$kit/KOVA.dll" | grep -w NO_SEH >/dev/null || bad "KOVA.dll does not declare NO_SEH"
exe=$kit/kovaflash.exe
tool_version=$("$native/kovaflash" --version | awk '{print $2}')
[ "$(header "$exe" MajorImageVersion).$(header "$exe" MinorImageVersion)" = "${tool_version%.*}" ] ||
    bad "kovaflash.exe's image version is not its version $tool_version"
for k in MajorOSystemVersion MajorSubsystemVersion; do
    [ "$(header "$exe" $k)" = 6 ] || bad "kovaflash.exe $k is $(header "$exe" $k), not 6"
done
i686-w64-mingw32-objdump -p "$exe" | grep -w GetTickCount64 >/dev/null || bad "kovaflash.exe no longer needs Vista: lower its header"
i686-w64-mingw32-objdump -h "$exe" | grep '\.debug' >/dev/null && bad "kovaflash.exe carries debug sections"
[ "$(i686-w64-mingw32-nm "$exe" 2>&1)" = "i686-w64-mingw32-nm: $exe: no symbols" ] || bad "kovaflash.exe keeps a symbol table"
size=$(stat -c %s "$exe")
# A ceiling that a stray debug build or a library linked twice would break.
[ "$size" -le $((2048 * 1024)) ] || bad "kovaflash.exe is $size bytes"
for f in KOVA.dll kovaflash.exe; do
    strings -el "$kit/$f" | grep -A1 -xE 'FileVersion|ProductVersion|OriginalFilename' | grep -v -- -- | xargs
done >"$work/resources"
[ "$(cat "$work/resources")" = "FileVersion $version OriginalFilename KOVA.dll ProductVersion $version
FileVersion $tool_version OriginalFilename kovaflash.exe ProductVersion $version" ] ||
    bad "version resources read: $(cat "$work/resources")"

# The bill of materials: the CycloneDX project's validator takes it, and it
# agrees with the binaries' marks (every library whose code a binary holds
# has its entry), the notices (each licence stands in its library's
# section), dpkg and the files. Each
# wrong SBOM below is refused by the one check that sees it.
validator=${KOVA_SBOM_VALIDATOR:-$src/build/cyclonedx}/validate.mjs
if [ ! -f "$validator" ]; then
    bad "no CycloneDX validator at $validator (./run setup test installs it)"
else
    out=$(node "$validator" "$kit/SBOM.cdx.json" 2>&1) || bad "the CycloneDX validator refuses SBOM.cdx.json: $out"
fi
out=$(python3 "$src/tests/kit/check_sbom.py" "$kit" 2>&1) || bad "SBOM.cdx.json disagrees with the kit: $out"
for row in "component-removed|check_sbom|diagnostics/ZUNDA.dll holds zlib (by its marks), which the SBOM does not list" \
    "code-not-there|check_sbom|KOVA.dll: the SBOM lists zlib, whose marks it does not hold" \
    "licence-disagrees|check_sbom|CLI11: licence Zlib disagrees with THIRD-PARTY-NOTICES.txt" \
    "hash-stale|check_sbom|kovaflash.exe: the SBOM's SHA-256 is not the file's" \
    "licence-of-another-file|check_sbom|winpthreads: licence BSD-3-Clause disagrees with THIRD-PARTY-NOTICES.txt, whose stanza for mingw-w64-libraries/winpthreads/* says expat" \
    "not-complete|check_sbom|KOVA.dll: its dependencies are not stated as complete" \
    "version-not-debians|check_sbom|nlohmann-json: version 3.11.2, but dpkg has nlohmann-json3-dev" \
    "licence-not-spdx|validator|/components/"; do
    IFS='|' read -r case checker expect <<<"$row"
    python3 "$src/tests/kit/mutate_sbom.py" "$case" "$kit/SBOM.cdx.json" "$work/$case.json"
    if [ $checker = validator ]; then
        [ -f "$validator" ] || continue
        out=$(node "$validator" "$work/$case.json" 2>&1)
    else
        out=$(python3 "$src/tests/kit/check_sbom.py" "$kit" "$work/$case.json" 2>&1)
    fi
    status=$?
    [ $status = 1 ] && grep -qF -- "$expect" <<<"$out" || bad "SBOM case $case: $checker exited $status, said: $out"
done

# The recording ZUNDA.dll stands where the maker's does: the seven
# operations under their undecorated names, then its own three, and
# nothing it needs that a Vista machine lacks beside it.
recorder=$kit/diagnostics/ZUNDA.dll
exports=$(i686-w64-mingw32-objdump -p "$recorder" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk '/\[/ && $NF != "Table" {print $NF}' | xargs)
[ "$exports" = "AllocatePhysMemory FreePhysMemory GetPortVal KovaTraceClose KovaTraceNote KovaTraceStatus MapPhysToLin SEG32_CALLBACK SetPortVal UnmapPhysicalMemory" ] ||
    bad "diagnostics/ZUNDA.dll exports: $exports"
imports=$(i686-w64-mingw32-objdump -p "$recorder" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | LC_ALL=C sort | xargs)
[ "$imports" = "bcrypt.dll kernel32.dll msvcrt.dll" ] || bad "diagnostics/ZUNDA.dll imports $imports"
[ "$(i686-w64-mingw32-nm "$recorder" 2>&1)" = "i686-w64-mingw32-nm: $recorder: no symbols" ] ||
    bad "diagnostics/ZUNDA.dll keeps a symbol table"

# kovaflash.exe's manifest, read back from its resources (RT_MANIFEST, ID 1):
# what it asks of Windows, item by item.
llvm-readobj --coff-resources "$exe" | python3 -c '
import re, sys, xml.etree.ElementTree as ET
text = sys.stdin.read()
block = text[text.index("Type: MANIFEST (ID 24)"):]
dump = block[block.index("Data ("):]
dump = dump[:dump.index("\n          )")]
data = b"".join(bytes.fromhex(line.split(": ", 1)[1].split("|")[0].replace(" ", ""))
                for line in dump.splitlines()[1:] if "|" in line)
root = ET.fromstring(data)
ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
      "c": "urn:schemas-microsoft-com:compatibility.v1",
      "ws16": "http://schemas.microsoft.com/SMI/2016/WindowsSettings",
      "ws19": "http://schemas.microsoft.com/SMI/2019/WindowsSettings"}
level = root.find(".//v3:requestedExecutionLevel", ns).get("level")
oses = sorted(e.get("Id") for e in root.findall(".//c:supportedOS", ns))
vista, win7, win8, win81, win10 = ("{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")
long_paths = root.find(".//ws16:longPathAware", ns).text
code_page = root.find(".//ws19:activeCodePage", ns).text
ok = level == "asInvoker" and oses == sorted([vista, win7, win8, win81, win10]) and long_paths == "true" and code_page == "UTF-8"
print(level, len(oses), long_paths, code_page)
sys.exit(0 if ok else 1)
' >"$work/manifest" 2>&1 || bad "kovaflash.exe's manifest: $(cat "$work/manifest")"

# README.txt ends with the program's help, word for word.
usage=$(bash "$src/tools/kit/usage.sh" "$native/kovaflash")
section=$(tr -d '\r' <"$kit/README.txt" | awk 'f {print} /Its help, as it prints it:$/ {f=1; getline}')
[ -n "$usage" ] && [ "$section" = "$usage" ] || bad "README.txt's usage section is not kovaflash's help"
# ... and that help is the whole tool, by a list kept here, not by the
# script that made it: every command's usage line and the safeties.
for line in "kovaflash info" "kovaflash board init" "kovaflash check" "kovaflash update" "kovaflash restore" \
    "kovaflash verify" "kovaflash backup" "kovaflash ec read" "kovaflash ec write" "kovaflash flash read" \
    "kovaflash smbus write-byte" "kovaflash smbus write-word" "kovaflash smbus write-block" "kovaflash acpi lock" \
    "kovaflash trust list" "kovaflash trust add" "kovaflash trust remove" "kovaflash history" \
    "kovaflash verify-kit"; do
    grep -q "^Usage: $line \[OPTIONS\]" <<<"$section" || bad "README.txt's usage section lacks \"$line\""
done
for option in --allow-unsigned --allow-older --trusted-keys --force --wait --json; do
    grep -q -- "$option" <<<"$section" || bad "README.txt's usage section lacks $option"
done

# The host, run: under Wine with the simulator's ZUNDA.dll and a board whose
# firmware the image updates, where the host runs 32-bit code and 32-bit
# Wine is installed (KOVA_WINE32=yes, as ./run test sets it; otherwise it
# holds the reason).
if [ "${KOVA_WINE32:-}" = yes ]; then
    run=$work/run
    mkdir -p "$run"
    cp "$work/host.exe" "$kit/KOVA.dll" "$cross/bin/ZUNDA.dll" "$run/"
    "$native/kova-image" make "$work/installed.bin" --seed 3 --revision 0 >/dev/null
    "$native/kova-image" make "$work/new.bin" --seed 3 --revision 1 >/dev/null
    "$native/kovaflash" --board "$work/board" board init --image "$work/installed.bin" >/dev/null
    out=$(cd "$run" && ZUNDA_SIM_BOARD="$(winepath -w "$work/board" 2>/dev/null)" wine host.exe "$(winepath -w "$work/new.bin" 2>/dev/null)" 2>&1 | tr -d '\r')
    echo "$out"
    grep -qx 'board K5R vendor ZALT version 05.01 date 03/24/2009 flash 0x200000' <<<"$out" || bad "host.exe identity line"
    grep -q '^check 0x00000000 blocks [1-9][0-9]* "Image validation sucessfully completed. "$' <<<"$out" || bad "host.exe check line"
    grep -q '^ec 0x40 = 0x5A, put back 0x' <<<"$out" || bad "host.exe EC line"
else
    echo "SKIPPED: running host.exe under Wine (${KOVA_WINE32:-32-bit Wine not known to run: KOVA_WINE32 unset}); linked and its imports read instead"
fi
# A second dist, seconds after the first (the checks above come between):
# a time that slipped into the kit would now differ.
second=$work/again
mkdir "$second"
if [ "$(date +%s)" = "$first_dist_done" ]; then
    bad "the second dist would start in the first one's second: a time in the kit could not show"
fi
bash "$src/tools/dist.sh" "$src" "$cross" "$second" "$native" >/dev/null
cmp -s "$zip" "$second/$(basename "$zip")" || bad "a second dist gives another zip"
[ $fail = 0 ] && echo "kit $(basename "$kit"): $(wc -w <<<"$want") files, all 32-bit, zip $(stat -c %s "$zip") bytes;" \
    "kova.h C89/C99/C++; the host linked against libKOVA.dll.a, KOVA.def through both dlltools and the CMake" \
    "package; lld-link against KOVA.lib; PE headers, version resources and usage section as documented;" \
    "kovaflash.exe $size bytes"
exit $fail
