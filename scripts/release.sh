#!/usr/bin/env bash
# Makes the release into dist/ (or the directory given as the argument):
#   kqsfupdt-<version>-windows.zip   Kqsfupdt.exe, kqclean.exe (Windows Vista to 11;
#                                    scripts/windows_imports.txt), the technician's guide
#                                    in Spanish (LEEME.txt) and English (README.txt),
#                                    SHA256SUMS
#   kqsfupdt-<version>.msi           the Windows installer of the same programs and guides
#                                    (packaging/windows/kqsfupdt.wxs, scripts/make_msi.py)
#   kqsfupdt_<version>-1_<arch>.deb  /usr/bin/kqsfupdt and kqsim, the udev rule, the
#                                    man pages
#   SHA256SUMS                       of the zip, the MSI and the deb
#   SHA256SUMS.asc                   its OpenPGP signature, when signed (below)
# It builds what is not built yet (build/linux, build/windows) and packages it with
# the Debian tools, zip and wixl. The version is the project() version of CMakeLists.txt.
#
# Every build of one commit gives the same bytes: the time stamps are the commit's
# (SOURCE_DATE_EPOCH), the objects carry no build path and the Windows programs no link
# time (CMakeLists.txt), the archives list their members in sorted order with fixed
# owners and modes, the MSI's package code and times come from its contents and the commit.
# scripts/check_reproducible.sh builds twice and compares.
#
# Signing, when the keys are given (without them the release is made unsigned):
#   KQ_SIGN_PKCS12         PKCS#12 file with the code-signing certificate and its key:
#                          both .exe, and the MSI that holds them, get an
#                          Authenticode signature (SHA-256)
#   KQ_SIGN_PASSWORD       its password (none when unset)
#   KQ_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server, so the signature stays valid
#                          after the certificate expires (none when unset)
#   KQ_GPG_KEY             the OpenPGP key (fingerprint or user id, in gpg's own
#                          keyring, GNUPGHOME) that signs SHA256SUMS: SHA256SUMS.asc
#   KQ_GPG_PASSPHRASE      its passphrase, when no gpg-agent gives it
# The password and passphrase go to the tools through a private file or a pipe, never
# on a command line; only the signatures go into the release. The unsigned programs
# stay in build/windows: a signed one with its signature removed (osslsigncode
# remove-signature) is the same bytes.
# Usage: scripts/release.sh [DIR]
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
    echo "release.sh: not a git checkout: set SOURCE_DATE_EPOCH" >&2
    exit 1
  }
fi
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C.UTF-8  # zip stores local time; sort orders by bytes
umask 022

# ---- Build ---------------------------------------------------------------------------
# A build tree that exists already is reused as it is (ninja re-runs CMake when it must).
for preset in linux windows; do
  [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
done
cmake --build --preset linux -j"$(nproc)" --target kqsfupdt kqsim
cmake --build --preset windows -j"$(nproc)" --target Kqsfupdt kqclean
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
[ -n "$version" ] || { echo "release.sh: no version in build/linux" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---- Signing -------------------------------------------------------------------------------
sign_exe=${KQ_SIGN_PKCS12:+yes}
sign_sums=${KQ_GPG_KEY:+yes}
if [ -n "$sign_exe" ]; then
  [ -r "$KQ_SIGN_PKCS12" ] || { echo "release.sh: KQ_SIGN_PKCS12 names no readable file" >&2; exit 1; }
  command -v osslsigncode >/dev/null || { echo "release.sh: osslsigncode is missing" >&2; exit 1; }
  (umask 077 && printf '%s' "${KQ_SIGN_PASSWORD:-}" >"$work/pass")
fi
if [ -n "$sign_sums" ]; then
  gpg --batch --list-secret-keys "$KQ_GPG_KEY" >/dev/null 2>&1 ||
    { echo "release.sh: KQ_GPG_KEY names no secret key in gpg's keyring" >&2; exit 1; }
fi
# sign_program IN OUT: IN with an Authenticode signature.
sign_program() {
  local timestamp=()
  [ -n "${KQ_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$KQ_SIGN_TIMESTAMP_URL")
  osslsigncode sign -pkcs12 "$KQ_SIGN_PKCS12" -readpass "$work/pass" -h sha256 \
    -n "CORVINA Updater" "${timestamp[@]}" -in "$1" -out "$2" >"$work/osslsigncode.log" 2>&1 ||
    { cat "$work/osslsigncode.log" >&2; echo "release.sh: signing $1 failed" >&2; exit 1; }
}

# Fills @VERSION@ and @DATE@ (the commit's day) in a text of the tree.
fill() {
  sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)/g" "$1"
}
# Every file and directory under $1 gets the commit's time.
stamp() {
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# ---- Windows zip -----------------------------------------------------------------------
# Notepad on old Windows wants CRLF, and a byte-order mark to read the accents as UTF-8.
# A title's underline is made as long as the title once the version is filled in.
windows_text() {
  printf '\xef\xbb\xbf'
  fill "$1" | perl -CSD -pe 'if (/^([=-])\1*$/ && $title ne "") { $_ = $1 x length($title) . "\n" }
                              ($title = $_) =~ s/\n$//;' | sed 's/$/\r/'
}
zipdir=$work/zip
mkdir "$zipdir"
for exe in Kqsfupdt.exe kqclean.exe; do
  if [ -n "$sign_exe" ]; then sign_program "build/windows/$exe" "$zipdir/$exe"; else install -m 0644 "build/windows/$exe" "$zipdir/"; fi
done
windows_text docs/guide/guia-tecnico.txt >"$zipdir/LEEME.txt"
windows_text docs/guide/technician-guide.txt >"$zipdir/README.txt"
(cd "$zipdir" && sha256sum Kqsfupdt.exe kqclean.exe LEEME.txt README.txt >SHA256SUMS)
chmod 0644 "$zipdir"/*
stamp "$zipdir"
zipname=kqsfupdt-$version-windows.zip
rm -f "$dist/$zipname"
# -X: no owners or extra time fields, -D: no directory entries; members in byte order.
(cd "$zipdir" && ls | sort | zip -q -X -D -9 "$dist/$zipname" -@)

# ---- Windows installer ------------------------------------------------------------------
# The zip's files, byte for byte (signed when the zip's are), in an MSI that is signed too.
msiname=kqsfupdt-$version.msi
command -v wixl >/dev/null && command -v msibuild >/dev/null ||
  { echo "release.sh: wixl or msibuild is missing (scripts/setup.sh installs them)" >&2; exit 1; }
rm -f "$dist/$msiname"
/usr/bin/python3 scripts/make_msi.py "$version" "$zipdir" "$work/$msiname"
if [ -n "$sign_exe" ]; then sign_program "$work/$msiname" "$dist/$msiname"; else cp "$work/$msiname" "$dist/$msiname"; fi
touch -d "@$SOURCE_DATE_EPOCH" "$dist/$msiname"

# ---- Debian package ----------------------------------------------------------------------
stage=$work/deb
udevdir=$(pkg-config --variable=udevdir udev 2>/dev/null || true)
udevdir=${udevdir:-/lib/udev}
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage$udevdir/rules.d" \
  "$stage/usr/share/man/man1" "$stage/usr/share/doc/kqsfupdt" "$stage/usr/share/metainfo"
for program in kqsfupdt kqsim; do
  install -m 0755 "build/linux/$program" "$stage/usr/bin/$program"
  strip --remove-section=.comment --remove-section=.note "$stage/usr/bin/$program"
  fill "docs/man/$program.1" | gzip -9n >"$stage/usr/share/man/man1/$program.1.gz"
done
install -m 0644 tools/udev/70-kqsfupdt.rules "$stage$udevdir/rules.d/"
install -m 0644 packaging/debian/copyright "$stage/usr/share/doc/kqsfupdt/"
install -m 0644 packaging/debian/kqsfupdt.metainfo.xml "$stage/usr/share/metainfo/"

# The Debian tools read debian/control and debian/changelog; the changelog is made here
# so that the version stays written in one place.
mkdir "$work/debian"
cp packaging/debian/control "$work/debian/control"
maintainer=$(sed -n 's/^Maintainer: //p' packaging/debian/control)
cat >"$work/debian/changelog" <<EOF
kqsfupdt ($version-1) unstable; urgency=medium

  * Release $version of the CORVINA updater.

 -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
EOF
gzip -9n <"$work/debian/changelog" >"$stage/usr/share/doc/kqsfupdt/changelog.Debian.gz"
chmod 0644 "$stage/usr/share/doc/kqsfupdt/changelog.Debian.gz" "$stage"/usr/share/man/man1/*
(
  cd "$work"
  # The libraries the programs link against become the package's dependencies.
  dpkg-shlibdeps -Tdebian/substvars "$stage/usr/bin/kqsfupdt" "$stage/usr/bin/kqsim"
  dpkg-gencontrol -pkqsfupdt -v"$version-1" -Tdebian/substvars -fdebian/files -P"$stage"
)
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
stamp "$stage"
arch=$(dpkg --print-architecture)
debname=kqsfupdt_${version}-1_$arch.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$dist/$debname" >/dev/null

(cd "$dist" && sha256sum "$zipname" "$msiname" "$debname" >SHA256SUMS)
rm -f "$dist/SHA256SUMS.asc"
if [ -n "$sign_sums" ]; then
  passphrase=()
  [ -n "${KQ_GPG_PASSPHRASE:-}" ] && passphrase=(--pinentry-mode loopback --passphrase-fd 3)
  gpg --batch --yes --armor --detach-sign --local-user "$KQ_GPG_KEY" "${passphrase[@]}" \
    --output "$dist/SHA256SUMS.asc" "$dist/SHA256SUMS" 3<<<"${KQ_GPG_PASSPHRASE:-}" 2>"$work/gpg.log" ||
    { cat "$work/gpg.log" >&2; echo "release.sh: signing SHA256SUMS failed" >&2; exit 1; }
  touch -d "@$SOURCE_DATE_EPOCH" "$dist/SHA256SUMS.asc"
fi
echo "Release $version in $dist:"
(cd "$dist" && cat SHA256SUMS)
if [ -n "$sign_exe" ]; then
  echo "SIGNED: Kqsfupdt.exe, kqclean.exe and $msiname (Authenticode, SHA-256, ${KQ_SIGN_TIMESTAMP_URL:+time stamp from $KQ_SIGN_TIMESTAMP_URL}${KQ_SIGN_TIMESTAMP_URL:-no time stamp})"
else
  echo "NOT SIGNED: Kqsfupdt.exe, kqclean.exe and $msiname (no KQ_SIGN_PKCS12)"
fi
if [ -n "$sign_sums" ]; then
  echo "SIGNED: SHA256SUMS, in SHA256SUMS.asc (OpenPGP)"
else
  echo "NOT SIGNED: SHA256SUMS (no KQ_GPG_KEY)"
fi
