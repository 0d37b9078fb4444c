#!/bin/bash
# wine_template.sh - makes the Wine prefix that the Wine checks of one test run copy
# (KQ_WINE_TEMPLATE), with the same settings as their own make_prefix.
#   tests/e2e/wine_template.sh build/linux/wine-template
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -u
DEST=${1:?usage: wine_template.sh path/to/template}
EXE=$DEST/none
mkdir -p "$(dirname "$DEST")"
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
rmdir "$OUT" 2>/dev/null
unset KQ_WINE_TEMPLATE
make_prefix
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "FAIL wineboot makes a prefix"
    exit 1
fi
rm -rf "$DEST" "$DEST.new"
cp -a "$WINEPREFIX" "$DEST.new" && mv "$DEST.new" "$DEST"
echo "PASS the template prefix is ready in $DEST"
