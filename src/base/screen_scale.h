// screen_scale.h - how many device pixels each pixel of the text screen takes on a
// display of a given DPI.
//
// The screen font is a raster font of 8 x 11 pixels, drawn for 96 DPI. At a higher DPI
// the text screen is drawn at a whole-number scale N: every pixel of the 96-DPI picture
// becomes an N x N block, so the glyphs stay sharp (a fractional scale would smear
// them). N is the DPI's share of 96 rounded to the nearest whole number, halves up:
//   96 (100 %) 1,  120 (125 %) 1,  144 (150 %) 2,  168 (175 %) 2,  192 (200 %) 2,
//   216 (225 %) 2,  240 (250 %) 3,  288 (300 %) 3.
// The nearest whole scale keeps the text nearest the size the technician's scaling asks
// for, between 0.8 and 1.33 times it. At 150 % a third too large wins over a third too
// small: at scale 1 the 11-pixel rows on such a display are under 2 mm tall. N is
// lowered until the client area of 640N x 396N fits the room the screen's work area
// leaves, and is never below 1.
#pragma once

// The text screen at scale 1: 80 columns of 8 pixels, 36 rows of 11.
const int SCREEN_PIXEL_WIDTH = 640;
const int SCREEN_PIXEL_HEIGHT = 396;

// The scale for dpi, given the largest client area (in device pixels) that fits on the
// screen. A dpi of 0 (unknown) counts as 96.
int ScreenScaleForDpi(unsigned dpi, long roomWidth, long roomHeight);
