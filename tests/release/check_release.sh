#!/usr/bin/env bash
# Makes the release (scripts/release.sh) into DIST and checks it as a technician gets it:
# the checksums (of the MSI too: tests/e2e/wine_msi.sh installs it under Wine), the zip's
# members and its Windows programs, the deb installed into a
# scratch root whose package database is this machine's (so its dependencies must be
# met here), the installed programs run, the udev rule and the man pages where they
# belong, and lintian without errors.
# Usage: check_release.sh DIST VERSION
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail
dist=$1
version=$2
cd "$(dirname "$0")/../.."

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

release_log=$(env -u KQ_SIGN_PKCS12 -u KQ_GPG_KEY scripts/release.sh "$dist")
zip=$dist/kqsfupdt-$version-windows.zip
deb=$dist/kqsfupdt_${version}-1_$(dpkg --print-architecture).deb
check "zip and deb are in $dist" test -f "$zip" -a -f "$deb"
[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }  # nothing more to look at
check "SHA256SUMS lists the zip, the MSI and the deb, and matches them" bash -c "cd '$dist' &&
  test \"\$(cut -c67- SHA256SUMS | tr '\n' ' ')\" = '${zip##*/} kqsfupdt-$version.msi ${deb##*/} ' && sha256sum --quiet -c SHA256SUMS"
check "without keys it says so, and leaves no signature" eval 'grep -q "^NOT SIGNED: Kqsfupdt.exe, kqclean.exe and kqsfupdt-$version.msi" <<<"$release_log" &&
  grep -q "^NOT SIGNED: SHA256SUMS" <<<"$release_log" && test ! -e "$dist/SHA256SUMS.asc"'

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# ---- The zip -------------------------------------------------------------------------
check "zip members, in order" test "$(unzip -Z1 "$zip" | tr '\n' ' ')" = \
  "Kqsfupdt.exe LEEME.txt README.txt SHA256SUMS kqclean.exe "
unzip -q "$zip" -d "$scratch/zip"
check "the zip's SHA256SUMS matches its files" bash -c "cd '$scratch/zip' && sha256sum --quiet -c SHA256SUMS"
# The PE header's link time (4 bytes at the offset that 0x3C names, plus 8) is zero.
pe_time() {
  python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); o=struct.unpack_from("<I",d,0x3C)[0]; print(struct.unpack_from("<I",d,o+8)[0])' "$1"
}
for exe in Kqsfupdt.exe kqclean.exe; do
  check "$exe has no link time" test "$(pe_time "$scratch/zip/$exe")" = 0
done
# The version resource's strings are UTF-16.
has_utf16() {
  python3 -c 'import sys; sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1],"rb").read())' "$1" "$2"
}
check "Kqsfupdt.exe's version resource says $version" has_utf16 "$scratch/zip/Kqsfupdt.exe" "$version"
for guide in LEEME.txt README.txt; do
  check "$guide names the version, the BOOT jumper, kqclean, kq.ini and the log" bash -c \
    "grep -q 'Soft $version' '$scratch/zip/$guide' && grep -q 'BOOT' '$scratch/zip/$guide' &&
     grep -q 'kqclean' '$scratch/zip/$guide' && grep -q 'kq.ini' '$scratch/zip/$guide' &&
     grep -q 'log.txt' '$scratch/zip/$guide'"
  # Every underline (a line of = or -) is as long as the title above it.
  check "$guide: each title's underline is as long as the title" python3 -c 'import re, sys
lines = open(sys.argv[1], encoding="utf-8-sig").read().split("\r\n")
sys.exit(any(re.fullmatch(r"=+|-+", b) and len(b) != len(a) for a, b in zip(lines, lines[1:])))' "$scratch/zip/$guide"
done

# ---- The deb ---------------------------------------------------------------------------
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
check "the deb installs (its dependencies met by this machine)" \
  bash -c "dpkg --force-not-root --root='$root' -i '$deb' >'$scratch/dpkg.log' 2>&1 || { cat '$scratch/dpkg.log'; false; }"
depends=$(dpkg-deb -f "$deb" Depends)
depends_ok() { grep -q 'libusb-1.0-0' <<<"$depends" && grep -q 'libncursesw6' <<<"$depends"; }
check "Depends names libusb and ncurses ($depends)" depends_ok
check "kqsfupdt --version" test "$("$root/usr/bin/kqsfupdt" --version)" = "kqsfupdt $version"
# --help answers without a terminal: stdin, stdout and stderr are no terminal here, and
# TERM names none, so a screen opened by mistake would fail and show.
help_ok() {
  local out
  out=$(TERM=unknown "$root/usr/bin/kqsfupdt" --help </dev/null 2>&1) || return 1
  grep -q '^Usage: kqsfupdt' <<<"$out" && grep -q KQUSB_DEVICES <<<"$out" && ! grep -q $'\e' <<<"$out"
}
check "kqsfupdt --help exits 0 with the usage, no screen" help_ok
unknown_refused() {
  local out status=0
  out=$("$root/usr/bin/kqsfupdt" --no-such-option </dev/null 2>&1) || status=$?
  [ "$status" = 2 ] && grep -q "unknown option '--no-such-option'" <<<"$out"
}
check "kqsfupdt --no-such-option exits 2 and names the option" unknown_refused
check "kqsim --help" bash -c "'$root/usr/bin/kqsim' --help | grep -q -- --console"
rules=$(find "$root/lib/udev/rules.d" "$root/usr/lib/udev/rules.d" -name 70-kqsfupdt.rules 2>/dev/null || true)
check "udev rule in the rules directory" cmp -s "${rules:-/nonexistent}" tools/udev/70-kqsfupdt.rules
man_ok() {  # the page is there, renders without warnings and names the version
  [ -f "$1" ] && [ -z "$(man --warnings -E UTF-8 -l "$1" 2>&1 >/dev/null)" ] &&
    man -E UTF-8 -l "$1" 2>/dev/null | grep -q "kqsfupdt $version"
}
for page in kqsfupdt kqsim; do
  check "man page $page(1) renders without warnings" man_ok "$root/usr/share/man/man1/$page.1.gz"
done
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$lintian_out" ] && echo "$lintian_out"
no_errors() { ! grep -q '^E:' <<<"$lintian_out"; }
check "lintian reports no errors" no_errors

echo "$failures failed"
[ "$failures" = 0 ]
