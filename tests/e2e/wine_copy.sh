#!/usr/bin/env bash
# wine_copy.sh - a Wine prefix for one check from the template made once per test run
# (wine_template.sh).
#
# Usage: wine_copy.sh TEMPLATE PREFIX
# The template is 1.3 GB, nearly all of it the DLLs in drive_c/windows (system32,
# syswow64, winsxs). No check writes to those: they are hard links into the template,
# and only the rest (the registry, the folders a program writes to) is copied. Copying
# them whole for every check wrote over 10 GB a run, and the writeback that followed
# could stall the KQ-LINK checks' log writes on the same disk past their listen windows.
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -eu
[ $# -eq 2 ] || { echo "usage: $(basename "$0") TEMPLATE PREFIX" >&2; exit 2; }
template=$1 prefix=$2
shared=(drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs)
excludes=()
for d in "${shared[@]}"; do excludes+=(--exclude="./$d"); done
mkdir -p "$prefix"
tar -C "$template" "${excludes[@]}" -cf - . | tar -C "$prefix" -xf -
for d in "${shared[@]}"; do
    [ -d "$template/$d" ] && cp -al "$template/$d" "$prefix/$d"
done
exit 0
