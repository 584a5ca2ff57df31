#!/usr/bin/env bash
# Signed images, one table: each signature case with the exit code and the
# words update must give, and the board byte-identical after every refusal.
# Then the key files a trust store may hold (one table, the same verdicts
# natively and under wine64), trust that fails closed, the rollback floor,
# restore, and the history. Keys and signatures are made here by the native
# kova-image (and openssl for the foreign key files), never kept.
# Usage: kovaflash_signature.sh KOVAFLASH RUNNER KOVA_IMAGE   (RUNNER: "" natively, wine64)
. "$(dirname "$0")/tool_test.sh" "$@"
kf() { launch "$runner" "$kovaflash" --board "$work/board" "$@"; }
# The board's floor, as its state holds it (info reads it).
floor() { kf --json info | python3 -c 'import json,sys; print(json.load(sys.stdin)["state"]["floor"])'; }
ki() { "$kova_image" "$@" >/dev/null || bad "kova-image $*"; }
state() { (cd "$work/board" && sha256sum flash.bin ec-ram.bin smbus-eeprom.bin); }
# Flips the lowest bit of the hex digit at column COL of line LINE.
flip_digit() {  # FILE LINE COL
    python3 - "$@" <<'EOF'
import sys
path, line, col = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
lines = open(path).read().split("\n")
d = int(lines[line - 1][col], 16) ^ 1
lines[line - 1] = lines[line - 1][:col] + "%x" % d + lines[line - 1][col + 1:]
open(path, "w").write("\n".join(lines))
EOF
}

cd "$work" || exit 1
ki keygen vendor
ki keygen other
[ "$(stat -c %a vendor.key)" = 600 ] || bad "vendor.key is mode $(stat -c %a vendor.key), not owner-only"
"$kova_image" keygen vendor >/dev/null 2>&1 && bad "keygen replaced an existing private key"
ki make installed.bin --seed 5 --revision 0
ki make new.bin --seed 5 --revision 1
ki make another.bin --seed 6 --revision 1
sign() { ki sign "$@" --release 05.02 --security-version 2; }
sign new.bin --key vendor.key
sign another.bin --key vendor.key
# What kova-image signs never lands on what it reads, nor on a file there.
for c in "--out new.bin|which this command reads" "--out vendor.key|which this command reads" \
    "|new.bin.sig: exists (--replace replaces it)"; do
    IFS='|' read -r args words <<<"$c"
    before_files=$(sha256sum new.bin vendor.key new.bin.sig)
    out=$("$kova_image" sign new.bin --key vendor.key --release 05.02 --security-version 2 $args 2>&1)
    [ $? = 2 ] && grep -qF -- "$words" <<<"$out" && [ "$(sha256sum new.bin vendor.key new.bin.sig)" = "$before_files" ] ||
        bad "kova-image sign $args: $out"
done
# kova-image says who signed: 0 a trusted key, 1 any other signature, 2 a bad file.
mkdir trusted && cp vendor.pub trusted/
for c in "new.bin|0|good, by trusted key vendor" "another.bin --signature new.bin.sig|1|for other bytes" \
    "new.bin --signature vendor.pub|2|not a signature file"; do
    IFS='|' read -r args code words <<<"$c"
    out=$("$kova_image" verify-signature $args --trust trusted 2>&1)
    [ $? = "$code" ] && grep -qF "$words" <<<"$out" || bad "kova-image verify-signature $args: $out"
done
kf board init --image installed.bin --trust vendor.pub >/dev/null || bad "board init --trust"
[ -f board/trusted-keys/vendor.pub ] || bad "board init did not keep the trusted key"

# case | how IMAGE.sig is made from a good one (SIG) | exit | words
cases=(
    "missing|rm SIG|3|has no signature"
    "truncated|head -c 200 new.bin.sig >SIG|2|truncated"
    "other key|sign IMAGE --key other.key --replace|3|not among the 1 trusted keys"
    "other board|sign IMAGE --key vendor.key --board K7X --replace|3|for board K7X, and this board is K5R"
    "other image|cp another.bin.sig SIG|3|is for other bytes"
    "bit in the signature|flip_digit SIG 8 20|3|does not verify with trusted key vendor"
    "bit in the hash|flip_digit SIG 7 20|3|is for other bytes"
    "bit in the image|python3 -c 'import sys; b=bytearray(open(sys.argv[1],\"rb\").read()); b[0x20000]^=1; open(sys.argv[1],\"wb\").write(b)' IMAGE|3|is for other bytes"
    "format version|sed -i 's/^kova-image-signature 2\$/kova-image-signature 3/' SIG|2|format version \"3\""
    "security version edited|sed -i 's/^security-version 2\$/security-version 9/' SIG|3|does not verify with trusted key vendor"
    "oversized|head -c 600 /dev/zero >>SIG|2|more than 512 bytes"
)
# Wine shows a Unix symbolic link to a Windows program as the file it names:
# kovaflash.exe's reparse-point check cannot be reached here.
link_to_real() { mv "$1" real.sig && ln -s real.sig "$1"; }
[ -n "$runner" ] || cases+=("a link|link_to_real SIG|2|symbolic link")
before=$(state)
for c in "${cases[@]}"; do
    IFS='|' read -r name make code words <<<"$c"
    rm -f case.bin case.bin.sig real.sig
    cp new.bin case.bin && cp new.bin.sig case.bin.sig
    cmd=${make//SIG/case.bin.sig}
    eval "${cmd//IMAGE/case.bin}"
    out=$(kf update case.bin --yes)
    got=$?
    [ $got = "$code" ] || bad "$name: exit $got, not $code: $out"
    grep -qF -- "$words" <<<"$out" || bad "$name: no \"$words\" in: $out"
    grep -q 'nothing written' <<<"$out" || [ "$code" = 2 ] || bad "$name: the refusal does not say nothing was written"
    [ "$(state)" = "$before" ] || bad "$name: the board changed"
done

# check refuses as update does; verify only says it.
out=$(kf check another.bin --signature new.bin.sig)
[ $? = 3 ] && grep -q 'is for other bytes' <<<"$out" || bad "check with another image's signature: $out"
out=$(kf verify installed.bin)
[ $? = 0 ] && grep -q '^signature     : ' <<<"$out" && grep -qx 'up to date' <<<"$out" ||
    bad "verify of the installed, unsigned image: $out"

# --allow-unsigned writes an unsigned image after a warning, and only that:
# it does not let a refused identity through.
cp new.bin unsigned.bin
out=$(kf update unsigned.bin --yes --allow-unsigned)
[ $? = 0 ] && grep -q 'accepted anyway (--allow-unsigned)' <<<"$out" && grep -q '^verified ' <<<"$out" ||
    bad "--allow-unsigned: $out"
ki make k7x.bin --model K7X
out=$(kf update k7x.bin --yes --allow-unsigned)
[ $? = 3 ] && grep -q 'board "K7X"' <<<"$out" || bad "--allow-unsigned let a refused identity through: $out"

# A good signature installs; --json carries the state.
kf board init --replace --image installed.bin --trust vendor.pub >/dev/null
out=$(kf update new.bin --yes)
[ $? = 0 ] && grep -q 'good, by trusted key vendor' <<<"$out" && grep -q '^verified ' <<<"$out" ||
    bad "a signed image: $out"
out=$(kf --json check new.bin)
python3 -c 'import json,sys; s=json.loads(sys.argv[1])["signature"]; sys.exit(not (s["state"]=="good" and s["signer"]=="vendor" and s["checked"]))' "$out" ||
    bad "--json signature fields: $out"

# verify compares whatever the store holds, and exits by the comparison.
mkdir badstore && echo "not a key" >badstore/junk.pub
out=$(kf verify new.bin --trusted-keys badstore)
[ $? = 0 ] && grep -qx 'up to date' <<<"$out" && grep -q 'junk.pub: not a P-256 public key' <<<"$out" ||
    bad "verify with a bad key in the store: $out"

# Trust fails closed: no key to check against is no update.
vendor_signed() { kf board init --replace --image installed.bin --trust vendor.pub >/dev/null; }
store_case() {  # NAME EXIT WORDS SETUP (run in the board's trusted-keys)
    local name=$1 code=$2 words=$3 setup=$4
    vendor_signed
    (cd board/trusted-keys && eval "$setup")
    local before out got
    before=$(state)
    out=$(kf update new.bin --yes)
    got=$?
    [ $got = "$code" ] && grep -qF -- "$words" <<<"$out" || bad "store $name: exit $got, not $code: $out"
    [ "$code" = 0 ] || [ "$(state)" = "$before" ] || bad "store $name: the board changed"
}
store_case "empty" 3 "no trusted key in" "rm vendor.pub"
store_case "missing" 3 "no trusted key in" "cd .. && rm -r trusted-keys"
store_case "only VENDOR.PUB" 0 "good, by trusted key VENDOR" "mv vendor.pub VENDOR.PUB"
store_case "only vendor.pem" 2 "vendor.pem: not a trusted key" "mv vendor.pub vendor.pem"
store_case "a README beside the key" 2 "README: not a trusted key" "echo notes >README"
store_case "a macOS ._ file beside the key" 0 "good, by trusted key vendor" "echo x >._vendor.pub"
vendor_signed
out=$(kf update new.bin --yes --trusted-keys nowhere)
[ $? = 2 ] && grep -q 'nowhere: no such folder of trusted keys' <<<"$out" || bad "--trusted-keys nowhere: $out"
out=$(kf update new.bin --yes --trusted-keys nowhere --allow-unsigned)
[ $? = 2 ] || bad "--allow-unsigned took a store that is not there: $out"
# A board made anew trusts exactly the keys named.
kf board init --replace --image installed.bin --trust other.pub >/dev/null
[ "$(ls board/trusted-keys)" = other.pub ] || bad "board init --replace kept keys: $(ls board/trusted-keys)"
out=$(kf check new.bin)
[ $? = 3 ] && grep -q 'not among the 1 trusted keys' <<<"$out" || bad "a vendor-signed image after --trust other: $out"
out=$(kf board init --replace --image installed.bin 2>&1)
grep -q 'trusts no key yet' <<<"$out" || bad "board init without --trust: $out"
# trust add / list / remove, each change said and recorded.
out=$(kf trust add vendor.pub --name acme)
[ $? = 0 ] && grep -q 'acme .* added to' <<<"$out" && [ -f board/trusted-keys/acme.pub ] || bad "trust add: $out"
id=$(python3 - vendor.pub <<'PYEOF'
import base64, hashlib, sys
der = base64.b64decode("".join(l for l in open(sys.argv[1]).read().split("\n") if l and not l.startswith("-----")))
print(hashlib.sha256(der[-65:]).hexdigest()[:16])  # the id: SHA-256 of 0x04, X, Y
PYEOF
)
out=$(kf trust list)
grep -qx "$id  acme" <<<"$out" || bad "trust list, or the key id against SHA-256(0x04 X Y) = $id: $out"
out=$(kf trust add other.pub --name acme)
[ $? = 2 ] && grep -q 'another key is trusted as acme' <<<"$out" || bad "trust add over another key: $out"
out=$(kf trust remove acme)
[ $? = 0 ] && [ ! -e board/trusted-keys/acme.pub ] && grep -q 'holds no key now' <<<"$out" || bad "trust remove: $out"
out=$(kf history)
grep -q 'trust-add  name=acme' <<<"$out" && grep -q 'trust-remove  name=acme' <<<"$out" || bad "trust changes in the history: $out"

# Key files: one verdict for each, whichever build reads it.
openssl ec -pubin -in vendor.pub -param_enc explicit -out explicit.pub 2>/dev/null
openssl ec -pubin -in vendor.pub -conv_form compressed -out compressed.pub 2>/dev/null
openssl ecparam -name secp384r1 -genkey 2>/dev/null | openssl ec -pubout -out p384.pub 2>/dev/null
openssl ecparam -name secp256k1 -genkey 2>/dev/null | openssl ec -pubout -out k1.pub 2>/dev/null
openssl genpkey -algorithm ed25519 2>/dev/null | openssl pkey -pubout -out ed.pub
cat vendor.key vendor.pub >both.pub
sed 's/PUBLIC KEY/CERTIFICATE/' vendor.pub >cert.pub
cat vendor.pub other.pub >two.pub
{ echo "vendor's key"; cat vendor.pub; } >comment.pub
{ printf '\n  \n'; cat vendor.pub; printf '\n\n'; } >blank.pub
python3 - vendor.pub offcurve.pub <<'PYEOF'
import base64, sys
lines = open(sys.argv[1]).read().split("\n")
der = bytearray(base64.b64decode("".join(l for l in lines if l and not l.startswith("-----"))))
der[-1] ^= 1  # Y off by one: no longer on the curve
b = base64.b64encode(bytes(der)).decode()
open(sys.argv[2], "w").write("-----BEGIN PUBLIC KEY-----\n" + "\n".join(b[i:i+64] for i in range(0, len(b), 64)) + "\n-----END PUBLIC KEY-----\n")
PYEOF
keys=(
    "vendor.pub|0|added to"
    "blank.pub|0|added to"
    "explicit.pub|2|explicit curve parameters"
    "compressed.pub|2|compressed point"
    "p384.pub|2|a P-384 key"
    "k1.pub|2|a secp256k1 key"
    "ed.pub|2|an Ed25519 or X25519 key"
    "both.pub|2|holds a private key"
    "cert.pub|2|labelled \"CERTIFICATE\""
    "two.pub|2|more than one PEM block"
    "comment.pub|2|text before its PEM block"
    "offcurve.pub|2|not on the curve"
)
for c in "${keys[@]}"; do
    IFS='|' read -r file code words <<<"$c"
    kf board init --replace --image installed.bin >/dev/null 2>&1
    out=$(kf trust add "$file" --name k)
    got=$?
    [ $got = "$code" ] && grep -qF -- "$words" <<<"$out" || bad "key file $file: exit $got, not $code: $out"
    [ "$code" = 0 ] || [ ! -e board/trusted-keys/k.pub ] || bad "key file $file: kept in the store"
done

# Rollback: each board keeps a floor, the highest security version installed.
ki make v3.bin --seed 7 --revision 1
ki make v1.bin --seed 8 --revision 1
ki make again.bin --seed 9 --revision 1
ki sign v3.bin --key vendor.key --release 05.03 --security-version 3
ki sign v1.bin --key vendor.key --release 05.01 --security-version 1
ki sign again.bin --key vendor.key --release 05.03b --security-version 3
ki sign new.bin --key vendor.key --format-version 1 --out new.v1.sig
vendor_signed
out=$(kf update new.bin --yes --signature new.v1.sig)
[ $? = 0 ] && grep -q 'format 1: no release facts' <<<"$out" || bad "a format 1 signature: $out"
out=$(kf update v3.bin --yes)
[ $? = 0 ] && grep -q 'floor         : raised from 0 to 3' <<<"$out" && [ "$(floor)" = 3 ] ||
    bad "a release of security version 3: $out"
for cmd in check update; do
    before=$(state)
    out=$(kf $cmd v1.bin --yes 2>&1)
    [ $? = 3 ] && grep -q 'security version 1 is below the board.s floor 3' <<<"$out" && [ "$(state)" = "$before" ] ||
        bad "$cmd of an older release: $out"
done
out=$(kf update again.bin --yes)
[ $? = 0 ] || bad "another release of the same security version: $out"
out=$(kf update v1.bin --yes --allow-older 2>&1)
[ $? = 0 ] && grep -q 'installed anyway (--allow-older)' <<<"$out" || bad "--allow-older: $out"
grep -q '"--allow-older"' board/history.jsonl || bad "--allow-older is not in the history"
[ "$(floor)" = 3 ] || bad "the floor moved down: $(floor)"
# --force passes no floor: only --allow-older does.
out=$(kf update v1.bin --yes --force 2>&1)
[ $? = 3 ] && grep -q 'below the board.s floor 3' <<<"$out" || bad "--force passed the floor: $out"
# One edited line of the state is damage: nothing installs while it stands.
cp board/board-state.json state.saved
sed -i 's/"floor": 3/"floor": 0/' board/board-state.json
out=$(kf check v3.bin)
[ $? = 2 ] && grep -q 'board-state.json: damaged (its content does not match' <<<"$out" || bad "an edited floor: $out"
cp state.saved board/board-state.json

# Restore: the backup the last update took, with no safety switched off,
# below the floor, and its file kept.
vendor_signed
kf update v3.bin --yes >/dev/null || bad "update to v3 before the restore"
last=$(ls board/backup-*-rev0.bin | tail -1)
sum=$(sha256sum <"$last")
out=$(kf restore --yes)
[ $? = 0 ] && grep -q 'signature     : not needed: a backup this tool took' <<<"$out" && grep -q 'undoes that update' <<<"$out" ||
    bad "restore: $out"
kf verify installed.bin >/dev/null || bad "restore did not bring back the firmware before the update"
[ "$(sha256sum <"$last")" = "$sum" ] || bad "restore changed or removed $last"
[ "$(floor)" = 3 ] || bad "restore lowered the floor"
# A file the history does not know is any image: the signature rules apply.
ki make stranger.bin --seed 11 --revision 0
out=$(kf restore stranger.bin --yes)
[ $? = 3 ] && grep -q 'has no signature' <<<"$out" || bad "restore of a file the history does not know: $out"
# The history is the audit log and decides nothing: a line appended to it,
# naming a file as a backup the tool took at the highest security version,
# or an update begun, moves neither the floor nor restore.
ki make evil.bin --seed 12 --revision 1
python3 - board/history.jsonl evil.bin <<'PYEOF'
import hashlib, json, sys
lines = open(sys.argv[1]).read().splitlines()
last = json.loads(lines[-1])
sha = hashlib.sha256(open(sys.argv[2], "rb").read()).hexdigest()
forged = [dict(seq=last["seq"] + 1, time="2026-12-09T10:00:00Z", event="update", backup=sys.argv[2],
               backup_sha256=sha, backup_security_version=4294967295, verified=True, image_sha256=sha),
          dict(seq=last["seq"] + 2, time="2026-12-09T10:00:01Z", event="update-begun", image="v3.bin",
               image_sha256="00")]
open(sys.argv[1], "a").write("".join(json.dumps(f) + "\n" for f in forged))
PYEOF
out=$(kf restore evil.bin --yes)
[ $? = 3 ] && grep -q 'has no signature' <<<"$out" && [ "$(floor)" = 3 ] || bad "restore of a file a forged history line names: $out"
out=$(kf check v3.bin 2>&1)
grep -q 'did not finish' <<<"$out" && bad "a forged history line read as an unfinished update: $out"
echo '{"seq": 1, "time": "x"' >>board/history.jsonl
out=$(kf update v3.bin --yes)
[ $? = 2 ] && grep -q 'history.jsonl: damaged' <<<"$out" && grep -q '"seq": 1, "time": "x"$' board/history.jsonl ||
    bad "a damaged history: $out"
out=$(kf ec write 0x20 0x77)
[ $? = 2 ] && grep -q 'history.jsonl: damaged' <<<"$out" || bad "an EC write with a damaged history: $out"
mv board/history.jsonl history.damaged
[ "$(kf ec read 0x20)" != "EC[0x20] = 0x77" ] || bad "an EC write went ahead though its record could not be kept"
kf board init --replace --image installed.bin --trust vendor.pub >/dev/null  # a new board: floor 0

# --trusted-keys names another folder: there the key is trusted.
mkdir keys && cp vendor.pub keys/
out=$(kf check another.bin --trusted-keys keys)
[ $? = 0 ] && grep -q 'good, by trusted key vendor' <<<"$out" || bad "--trusted-keys: $out"
echo "not a key" >keys/vendor-junk.pub
out=$(kf check another.bin --trusted-keys keys)
[ $? = 2 ] && grep -q 'vendor-junk.pub: not a P-256 public key' <<<"$out" || bad "a bad trusted key: $out"
# A board that trusts no key takes an image only with --allow-unsigned, and says so on stderr.
rm -rf board
kf board init --image installed.bin >/dev/null
out=$(kf update unsigned.bin --yes)
[ $? = 3 ] && grep -q "no trusted key in" <<<"$out" || bad "no trusted key: $out"
out=$($runner "$kovaflash" --board "$work/board" --json update unsigned.bin --yes --allow-unsigned 2>"$work/err" | tr -d '\r')
[ $? = 0 ] && grep -q 'accepted anyway (--allow-unsigned)' "$work/err" &&
    python3 -c 'import json,sys; s=json.loads(sys.argv[1])["signature"]; sys.exit(not (s["checked"] is False and s["allowed_unsigned"]))' "$out" ||
    bad "--allow-unsigned on a board that trusts no key: $out $(cat "$work/err")"
exit $fail
