#!/usr/bin/env bash
# Builds the release of one commit (HEAD, or the one given) twice (side by side where
# that helps, below), at paths of different lengths, with different umasks, time zones
# and locales, and compares the programs, the zip, the MSI and the deb byte for byte.
# The files inside each MSI must be its zip's, byte for byte; when the two MSIs differ,
# the summary fields, tables and files that differ are named. Then the first build's
# release is made again, signed with throw-away keys (scripts/throwaway_keys.sh; its
# build is reused, so this is packaging only): its programs with their signatures
# removed must be the second build's unsigned ones, and the signed MSI must verify and
# hold the signed zip's files.
#
# The second build is always from scratch, in a fresh clone. The first is this
# checkout's own build (build/linux, build/windows, brought up to date by
# scripts/release.sh) when the checkout is that commit with nothing changed or added
# and was built as the release is, without a compiler launcher (ccache with a base
# directory writes relative source paths into the objects), as in CI after
# scripts/test.sh has built it: building it a second time from scratch would show
# nothing more. Otherwise, or with KQ_REPRO_SCRATCH=1, the first is a fresh clone too.
# Prints the SHA-256 and each step's time; exits 1 when anything differs. Uncommitted
# changes are not part of the commit, nor of the builds.
#
# Only what the release needs is built (scripts/release.sh builds its four programs,
# no tests). With four cores or more the two builds run side by side, each filling
# the other's serial stretches (CMake, linking, packaging); on fewer, ninja already
# keeps the cores busy and a second build beside it only slows both (measured on two
# cores: 40 s one after the other, 90 s side by side).
# Usage: scripts/check_reproducible.sh [COMMIT]
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if ! git rev-parse --verify -q HEAD >/dev/null 2>&1; then
  echo "check_reproducible.sh: skipped, not a git checkout (the builds are of a commit)"
  exit 0
fi
commit=$(git rev-parse "${1:-HEAD}")
base=$(mktemp -d /tmp/kqrepro.XXXXXX)
trap 'rm -rf "$base"' EXIT

products=(build/windows/Kqsfupdt.exe build/windows/kqclean.exe build/linux/kqsfupdt build/linux/kqsim)

build_once() {  # build_once NAME DIR UMASK TZ LANG: the release of DIR into $base/NAME-dist
  local name=$1 dir=$2 dist="$base/$1-dist"
  if [ "$dir" = "$root" ]; then
    echo "the first build is this checkout's own ($root), brought up to date"
  else
    git clone -q --no-hardlinks "$root" "$dir"
    git -C "$dir" checkout -q "$commit"
  fi
  local start=$SECONDS
  (umask "$3" && cd "$dir" && TZ=$4 LANG=$5 scripts/release.sh "$dist" >"$base/$name.log" 2>&1) ||
    { tail -20 "$base/$name.log"; echo "the build in $dir failed"; return 1; }
  echo "built in $dir: $((SECONDS - start)) s"
  (cd "$dir" && sha256sum "${products[@]}" && cd "$dist" && sha256sum ./*.zip ./*.msi ./*.deb) >"$base/$name.sums"
}

# msi_holds_zip DIST: the files in DIST's MSI are its zip's, byte for byte, and no others.
msi_holds_zip() {
  local out
  out=$(mktemp -d "$base/unpacked.XXXXXX")
  mkdir "$out/zip" "$out/msi"
  unzip -q "$1"/*.zip -d "$out/zip" && msiextract -C "$out/msi" "$1"/*.msi >/dev/null || return 1
  rm "$out/zip/SHA256SUMS"
  diff -r "$out/zip" "$out/msi/Program Files/CORVINA Updater" >/dev/null
}
# msi_differences A.msi B.msi: which summary fields, tables, streams (the cabinet) and
# files differ.
msi_differences() {
  local t
  diff <(msiinfo suminfo "$1") <(msiinfo suminfo "$2") | sed -n 's/^< \([^:]*\):.*/  summary field: \1/p'
  for t in $(msiinfo tables "$1" | grep -v '^_SummaryInformation$'); do
    cmp -s <(msiinfo export "$1" "$t" 2>/dev/null) <(msiinfo export "$2" "$t" 2>/dev/null) || echo "  table: $t"
  done
  for t in $(msiinfo streams "$1"); do
    cmp -s <(msiinfo extract "$1" "$t" 2>/dev/null) <(msiinfo extract "$2" "$t" 2>/dev/null) || echo "  stream: $t"
  done
  mkdir -p "$base/diff-a" "$base/diff-b"
  msiextract -C "$base/diff-a" "$1" >/dev/null && msiextract -C "$base/diff-b" "$2" >/dev/null
  diff -rq "$base/diff-a" "$base/diff-b" | sed 's/^/  /'
}

echo "commit $commit"
first_dir="$base/a"
if [ -z "${KQ_REPRO_SCRATCH:-}" ] && [ "$(git rev-parse HEAD)" = "$commit" ] &&
  [ -z "$(git status --porcelain)" ] && [ -f build/linux/build.ninja ] && [ -f build/windows/build.ninja ] &&
  ! grep -qs '^CMAKE_[A-Z]*_COMPILER_LAUNCHER:STRING=.' build/linux/CMakeCache.txt build/windows/CMakeCache.txt; then
  first_dir=$root
fi
second_dir="$base/second-build-in-a-longer-path"
start=$SECONDS
if [ "$first_dir" != "$root" ] && [ "$(nproc)" -ge 4 ]; then
  build_once a "$first_dir" 022 UTC C.UTF-8 &
  first=$!
  build_once second "$second_dir" 002 America/Bogota es_ES.UTF-8 || { wait "$first"; exit 1; }
  wait "$first" || exit 1
else
  build_once a "$first_dir" 022 UTC C.UTF-8 || exit 1
  build_once second "$second_dir" 002 America/Bogota es_ES.UTF-8 || exit 1
fi
echo "both builds: $((SECONDS - start)) s"
for side in a second; do
  echo "--- $side"
  cat "$base/$side.sums"
done
for side in a second; do
  msi_holds_zip "$base/$side-dist" || { echo "DIFFERENT: the MSI of $side does not hold its zip's files"; exit 1; }
done
echo "the files in each MSI are its zip's, byte for byte"
if cmp -s "$base/a.sums" "$base/second.sums"; then
  echo "identical: every program, the zip, the MSI and the deb"
else
  echo "DIFFERENT:"
  diff "$base/a.sums" "$base/second.sums" || true
  msis=("$base"/a-dist/*.msi "$base"/second-dist/*.msi)
  cmp -s "${msis[@]}" || { echo "the MSIs differ in:"; msi_differences "${msis[@]}"; }
  exit 1
fi

# ---- Signed, then unsigned again ------------------------------------------------------------
if ! command -v osslsigncode >/dev/null || ! command -v gpg >/dev/null; then
  echo "signed release not checked: osslsigncode or gpg missing (scripts/setup.sh installs them)"
  exit 0
fi
start=$SECONDS
# shellcheck source=throwaway_keys.sh
. "$root/scripts/throwaway_keys.sh"
trap 'throwaway_keys_end; rm -rf "$base"' EXIT
throwaway_keys "$base/keys"
(cd "$first_dir" && scripts/release.sh "$base/signed" >"$base/signed.log" 2>&1) ||
  { tail -20 "$base/signed.log"; echo "the signed release failed"; exit 1; }
unzip -q "$base/signed/"*.zip Kqsfupdt.exe kqclean.exe -d "$base/signed/zip"
different=0
for exe in Kqsfupdt.exe kqclean.exe; do
  osslsigncode verify -CAfile "$KQ_TEST_CERT" -in "$base/signed/zip/$exe" >/dev/null 2>&1 ||
    { echo "SIGNATURE DOES NOT VERIFY: $exe"; different=1; }
  osslsigncode remove-signature -in "$base/signed/zip/$exe" -out "$base/signed/$exe" >/dev/null
  if cmp -s "$base/signed/$exe" "$second_dir/build/windows/$exe"; then
    echo "signed $exe, its signature removed: $(sha256sum <"$base/signed/$exe" | cut -c1-64)"
  else
    echo "DIFFERENT: signed $exe with its signature removed is not the unsigned build"
    different=1
  fi
done
osslsigncode verify -CAfile "$KQ_TEST_CERT" -in "$base/signed/"*.msi >/dev/null 2>&1 ||
  { echo "SIGNATURE DOES NOT VERIFY: the MSI"; different=1; }
if msi_holds_zip "$base/signed"; then
  echo "the signed MSI holds the signed zip's files, byte for byte"
else
  echo "DIFFERENT: the signed MSI does not hold the signed zip's files"
  different=1
fi
echo "signed release and its check: $((SECONDS - start)) s"
[ "$different" = 0 ] && echo "identical: the signed programs without their signatures and the unsigned ones"
exit "$different"
