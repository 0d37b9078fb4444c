#!/usr/bin/env bash
# Builds the release of one commit (HEAD, or the one given) twice from scratch, one
# build after the other, in two fresh clones at paths of different lengths, with
# different umasks, time zones and locales, and compares the programs, the zip and
# the deb byte for byte. Prints both sets of SHA-256 and each build's time; exits 1
# when anything differs. Uncommitted changes are not part of the commit, nor of the
# builds.
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

build_once() {  # build_once DIR UMASK TZ LANG
  local dir=$1
  git clone -q --no-hardlinks "$root" "$dir"
  git -C "$dir" checkout -q "$commit"
  local start=$SECONDS
  (umask "$2" && cd "$dir" && TZ=$3 LANG=$4 scripts/release.sh >"$dir.log" 2>&1) ||
    { tail -20 "$dir.log"; echo "the build in $dir failed"; exit 1; }
  echo "built in $dir: $((SECONDS - start)) s"
  (cd "$dir" && sha256sum "${products[@]}" && cd dist && sha256sum ./*.zip ./*.deb) >"$dir.sums"
}

echo "commit $commit"
build_once "$base/a" 022 UTC C.UTF-8
build_once "$base/second-build-in-a-longer-path" 002 America/Bogota es_ES.UTF-8
for side in a second-build-in-a-longer-path; do
  echo "--- $base/$side"
  cat "$base/$side.sums"
done
if cmp -s "$base/a.sums" "$base/second-build-in-a-longer-path.sums"; then
  echo "identical: every program, the zip and the deb"
else
  echo "DIFFERENT:"
  diff "$base/a.sums" "$base/second-build-in-a-longer-path.sums" || true
  exit 1
fi
