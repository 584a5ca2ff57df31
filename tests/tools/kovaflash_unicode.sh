#!/usr/bin/env bash
# Paths in any script: an update with the image, its signature, the board,
# the backup and the trusted keys in folders named in Cyrillic, Greek, CJK,
# accented Latin and with blanks, each run also with --json, whose text must
# be valid UTF-8 holding the names as given; a missing file named in such a
# folder is named as it is; then a path longer than 260 characters.
# Usage: kovaflash_unicode.sh KOVAFLASH RUNNER KOVA_IMAGE   (RUNNER: "" natively, wine64)
. "$(dirname "$0")/tool_test.sh" "$@"
kf() { launch "$runner" "$kovaflash" "$@"; }
ki() { "$kova_image" "$@" >/dev/null || bad "kova-image $*"; }

"$kova_image" keygen "$work/vendor" >/dev/null
for name in "плата и образ" "πλακέτα" "基板の画像" "café crème" "two  blanks"; do
    d="$work/$name"
    mkdir -p "$d/ключи ключ"
    ki make "$d/новый образ.bin" --seed 3 --revision 1
    ki sign "$d/новый образ.bin" --key "$work/vendor.key" --release 05.02 --security-version 2 --out "$d/подпись.sig"
    cp "$work/vendor.pub" "$d/ключи ключ/поставщик.pub"
    kf --board "$d/плата" board init >/dev/null || bad "$name: board init"
    out=$(kf --board "$d/плата" --trusted-keys "$d/ключи ключ" --signature "$d/подпись.sig" update "$d/новый образ.bin" \
        --backup "$d/копия.bin" --yes)
    [ $? = 0 ] && grep -qF "good, by trusted key поставщик" <<<"$out" && grep -qF "backup        : $d/копия.bin" <<<"$out" ||
        bad "$name: update: $out"
    [ -f "$d/копия.bin" ] && [ -f "$d/плата/history.jsonl" ] || bad "$name: the backup or the history is not where it was named"
    json=$($runner "$kovaflash" --board "$d/плата" --trusted-keys "$d/ключи ключ" --json history --last 1 2>/dev/null | tr -d '\r')
    python3 - "$json" "$d" <<'PYEOF' || bad "$name: --json history: $json"
import json, sys
r = json.loads(sys.argv[1].encode("utf-8").decode("utf-8"))["records"][-1]
d = sys.argv[2]
sys.exit(0 if r["image"] == d + "/новый образ.bin" and r["backup"] == d + "/копия.bin" and r["signer"] == "поставщик" else 1)
PYEOF
    out=$(kf --board "$d/плата" check "$d/нет такого.bin")
    [ $? = 2 ] && grep -qF "$d/нет такого.bin: no such file" <<<"$out" || bad "$name: a missing image is not named as it is: $out"
    out=$(kf --board "$d/плата" --trusted-keys "$d/ключи ключ" restore --yes)
    [ $? = 0 ] && grep -qF "restored      : $d/копия.bin" <<<"$out" || bad "$name: restore: $out"
done

# A folder deeper than Windows' old 260-character limit: an image read
# from there, and a board, its history and a backup written there, natively
# and as kovaflash.exe (through the long form of the path).
deep=$work/$(printf "папка-%02d/" $(seq 1 30))
mkdir -p "$deep"
ki make "$deep/образ.bin" --seed 4 --revision 1
[ ${#deep} -gt 260 ] || bad "the deep folder is only ${#deep} characters"
kf --board "$work/short" board init >/dev/null || bad "board init for the deep image"
out=$(kf --board "$work/short" --allow-unsigned check "$deep/образ.bin")
[ $? = 0 ] && grep -q '^blocks differ' <<<"$out" || bad "a check of an image in a folder of ${#deep} characters: $out"
kf --board "$deep/плата" board init >/dev/null || bad "board init in a folder of ${#deep} characters"
out=$(kf --board "$deep/плата" --allow-unsigned update "$deep/образ.bin" --backup "$deep/копия.bin" --yes)
[ $? = 0 ] && grep -q '^verified' <<<"$out" || bad "an update with paths of ${#deep} characters: $out"
[ -s "$deep/копия.bin" ] && grep -qF '"event":"update"' "$deep/плата/history.jsonl" ||
    bad "the backup or the history in a folder of ${#deep} characters is missing"
exit $fail
