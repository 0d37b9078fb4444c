#!/usr/bin/env bash
# Signs a release with a throw-away certificate and OpenPGP key (scripts/throwaway_keys.sh),
# time-stamped by a throw-away server (tsa_server.py), and checks it as a technician
# would: both programs and their time stamps verify, and are the unsigned build once
# the signature is removed; the MSI's signature and time stamp verify; one changed byte
# fails the verification, of a program and of the MSI; the signed
# updater still starts under Wine with its manifest and version resource;
# SHA256SUMS.asc verifies, and not for a changed SHA256SUMS; the password shows nowhere.
# Usage: check_signing.sh DIST VERSION
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -u
dist=$1 version=$2
repo=$(cd "$(dirname "$0")/../.." && pwd)
keys=$(mktemp -d /tmp/kqkeys.XXXXXX)
log=$keys/release.log
# shellcheck source=../../scripts/throwaway_keys.sh
. "$repo/scripts/throwaway_keys.sh"
# The keys and the time-stamp server go whatever happens; the Wine parts once they exist.
end() { kill "${TSA_PID:-}" 2>/dev/null; throwaway_keys_end; rm -rf "$keys"; [ -z "${WORK:-}" ] || cleanup; }
trap end EXIT
die() { echo "FAIL $1"; exit 1; }
throwaway_keys "$keys" || die "throw-away keys made"
# A time-stamp server of our own, on this machine.
coproc TSA { exec /usr/bin/python3 "$repo/tests/release/tsa_server.py" "$keys/tsa"; }
read -r -t 30 tsa_port <&"${TSA[0]}" || die "the time-stamp server starts"
KQ_SIGN_TIMESTAMP_URL=http://127.0.0.1:$tsa_port "$repo/scripts/release.sh" "$dist" >"$log" 2>&1 ||
    { cat "$log"; die "release.sh with keys"; }
signed=$keys/zip
unzip -q "$dist/kqsfupdt-$version-windows.zip" -d "$signed"

EXE=$signed/Kqsfupdt.exe
# shellcheck source=../e2e/wine_common.sh
. "$repo/tests/e2e/wine_common.sh"
trap end EXIT
fails() { ! "$@"; }

check "release.sh says it signed the programs and SHA256SUMS" \
    eval 'grep -q "^SIGNED: Kqsfupdt.exe, kqclean.exe and kqsfupdt-$version.msi" "$log" && grep -q "^SIGNED: SHA256SUMS" "$log"'
check "the password is in no log and no file of the release" fails grep -rqa "$KQ_SIGN_PASSWORD" "$log" "$dist" "$signed"
check "the release holds the zip, the MSI, the deb, SHA256SUMS and SHA256SUMS.asc" \
    test "$(cd "$dist" && ls | grep -v '^kqsfupdt' | tr '\n' ' ')" = "SHA256SUMS SHA256SUMS.asc "
verify() { osslsigncode verify -CAfile "$KQ_TEST_CERT" "$@" >"$WORK/verify.log" 2>&1; }
verifies() {  # FILE: its signature and its time stamp verify
    verify -TSA-CAfile "$keys/tsa/tsa.pem" -in "$1" && grep -q "Timestamp Server Signature verification: ok" "$WORK/verify.log"
}
for exe in Kqsfupdt.exe kqclean.exe; do
    check "$exe: Authenticode signature and its time stamp verify against the certificates" verifies "$signed/$exe"
    osslsigncode remove-signature -in "$signed/$exe" -out "$WORK/unsigned-$exe" >/dev/null 2>&1
    check "$exe without its signature is the unsigned build" cmp -s "$WORK/unsigned-$exe" "$repo/build/windows/$exe"
done
cp "$signed/Kqsfupdt.exe" "$WORK/changed.exe"
printf '\x90' | dd of="$WORK/changed.exe" bs=1 seek=8192 conv=notrunc status=none  # in the code
check "one changed byte: the verification fails" fails verify -in "$WORK/changed.exe"
check "the MSI: Authenticode signature and its time stamp verify" verifies "$dist/kqsfupdt-$version.msi"
# One byte of a table's text (the refusal of an older version), in the string pool.
at=$(grep -boa "A newer version of the CORVINA" "$dist/kqsfupdt-$version.msi" | cut -d: -f1)
cp "$dist/kqsfupdt-$version.msi" "$WORK/changed.msi" && printf a | dd of="$WORK/changed.msi" bs=1 seek="${at:-0}" conv=notrunc status=none
check "one changed byte in the MSI: its digest does not match" eval 'fails verify -in "$WORK/changed.msi" && grep -qi mismatch "$WORK/verify.log"'
check "the zip's SHA256SUMS matches its signed files" eval '(cd "$signed" && sha256sum --quiet -c SHA256SUMS)'
gpg_accepts() { gpg --batch --quiet --verify "$dist/SHA256SUMS.asc" "$1" 2>/dev/null; }
check "gpg --verify accepts SHA256SUMS.asc" gpg_accepts "$dist/SHA256SUMS"
sed 's/^./0/' "$dist/SHA256SUMS" >"$WORK/SHA256SUMS"
check "gpg --verify rejects a changed SHA256SUMS" fails gpg_accepts "$WORK/SHA256SUMS"
check "the signed programs' manifests are intact" \
    eval '/usr/bin/python3 "$repo/tests/e2e/test_manifest.py" "$signed/Kqsfupdt.exe" "$signed/kqclean.exe" >/dev/null'
check "the signed updater's version resource says $version" /usr/bin/python3 -c \
    'import sys; sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1],"rb").read())' "$EXE" "$version"

# Where Wine runs only the x86_64 twin, that twin is signed the same way and started.
if [ "$EXE" != "$signed/Kqsfupdt.exe" ]; then
    osslsigncode sign -pkcs12 "$KQ_SIGN_PKCS12" -pass "$KQ_SIGN_PASSWORD" -h sha256 -in "$EXE" -out "$WORK/twin.exe" >/dev/null
    EXE=$WORK/twin.exe
fi
wine_start
run_program signed
check "the signed updater starts under Wine and shows its window" test -n "$WIN"
if [ -n "$WIN" ]; then
    check "its title is the program's" title_is "$WIN" " CORVINA Updater    Soft $version  Vimclm 03.68  Remote 1.3"
    probe close >/dev/null
fi
finish_app 30
check "it closes with exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0
summary
