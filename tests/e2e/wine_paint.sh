#!/bin/bash
# wine_paint.sh - the Windows build draws the text screen a row per call; the pixels
# must be those of the drawing a cell per call (KQ_PAINT_CELLS=1). Both show the
# Spanish help text (code page 437 accents included) and the screenshots are compared
# with ImageMagick; the time per paint of each drawing is printed for the benchmark.
#   tests/e2e/wine_paint.sh build/windows/Kqsfupdt.exe
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe" "$@"
APP_LOCALE=es_ES.UTF-8

# shot_of MODE CELLS: starts the program with KQ_PAINT_CELLS=CELLS, waits until its
# screen shows the help text's rows, keeps a screenshot in $OUT/wine_paint_MODE.png,
# forces 50 more repaints, closes it and keeps its paint times in $WORK/MODE.times.
# Rows of the Spanish help text with ink: its second paragraph line fits in 80
# columns, so the blank rows are 3, 5 and 16.
HELP_ROWS_ES=" 0 1 2 4 6 7 8 9 10 11 12 13 14 15 17 18 19 20 21 "
shot_of() {
    local mode=$1
    export KQ_PAINT_CELLS=$2 KQ_PAINT_TIMES
    KQ_PAINT_TIMES=$(winpath "$WORK/$mode.times")
    run_program "$mode"
    [ -n "$WIN" ] || return 1
    local shown=0
    HELP_ROWS=$HELP_ROWS_ES wait_for 30 eval 'shoot "$OUT/wine_paint_$mode.png" && screen_rows_match "$OUT/wine_paint_$mode.png" >/dev/null' || shown=1
    [ "$shown" = 0 ] || HELP_ROWS=$HELP_ROWS_ES screen_rows_match "$OUT/wine_paint_$mode.png"
    probe repaint 50 >/dev/null
    probe close >/dev/null
    finish_app 30
    unset KQ_PAINT_CELLS KQ_PAINT_TIMES
    return "$shown"
}

check "the row drawing shows the help text" shot_of rows 0
check "the cell drawing shows the help text" shot_of cells 1
DIFFERENT=$(compare -metric AE "$OUT/wine_paint_rows.png" "$OUT/wine_paint_cells.png" null: 2>&1)
check "rows and cells give the same pixels (differing: $DIFFERENT)" test "$DIFFERENT" = 0
for mode in rows cells; do
    [ -f "$WORK/$mode.times" ] && echo "paint times: $(tr -d '\r' <"$WORK/$mode.times")"
done
check "the row drawing's paint times were written" test -s "$WORK/rows.times"
summary
