// The whole-number scale of the text screen: the DPI rule and the room on the screen.
#include <gtest/gtest.h>

#include "base/screen_scale.h"

TEST(ScreenScale, FollowsTheDpiRoundedToWholeMultiplesOf96) {
    const long BIG = 100000;  // room for any scale
    const struct {
        unsigned dpi;
        int scale;
    } cases[] = {{0, 1},   {72, 1},  {96, 1},  {120, 1}, {143, 1}, {144, 2}, {168, 2},
                 {192, 2}, {216, 2}, {239, 2}, {240, 3}, {288, 3}, {384, 4}};
    for (const auto& c : cases) EXPECT_EQ(ScreenScaleForDpi(c.dpi, BIG, BIG), c.scale) << c.dpi << " DPI";
}

TEST(ScreenScale, NeverOutgrowsTheRoomAndNeverDropsBelowOne) {
    const struct {
        unsigned dpi;
        long width, height;
        int scale;
    } cases[] = {
        {192, 1280, 792, 2},   // exactly the room
        {192, 1279, 792, 1},   // a pixel too narrow
        {192, 1280, 791, 1},   // a pixel too low
        {144, 1366, 680, 1},   // a 1366 x 768 laptop: 792 rows do not fit under its taskbar
        {288, 1920, 1000, 2},  // 300 % wants 3; 1188 rows do not fit, 792 do
        {96, 300, 200, 1},     // smaller than the screen itself: still 1
        {192, -5, -5, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ScreenScaleForDpi(c.dpi, c.width, c.height), c.scale)
            << c.dpi << " DPI in " << c.width << " x " << c.height;
}
