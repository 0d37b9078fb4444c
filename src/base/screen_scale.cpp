// screen_scale.cpp - the whole-number scale of the text screen for a DPI.
#include "base/screen_scale.h"

static const unsigned BASE_DPI = 96;

int ScreenScaleForDpi(unsigned dpi, long roomWidth, long roomHeight) {
    if (dpi == 0) dpi = BASE_DPI;
    int scale = (int)((dpi + BASE_DPI / 2) / BASE_DPI);
    while (scale > 1 && ((long)SCREEN_PIXEL_WIDTH * scale > roomWidth ||
                         (long)SCREEN_PIXEL_HEIGHT * scale > roomHeight))
        scale--;
    return scale < 1 ? 1 : scale;
}
