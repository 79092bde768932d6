#include <gtest/gtest.h>

#include <cstdint>

#include "launcher/splash_geometry.h"

namespace {

uint32_t pack(int32_t x, int32_t y)
{
    return static_cast<uint32_t>(static_cast<uint16_t>(x)) |
           static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16;
}

const SplashRect AT_CENTRE = {352, 344, 352 + 321, 344 + 81};

}  // namespace

TEST(LauncherSplash, OpensCentredWithIntegerHalves)
{
    SplashPoint p = splash_origin(1024, 768);
    EXPECT_EQ(p.x, 352);
    EXPECT_EQ(p.y, 344);
    // Odd screens: the halves round down before the offsets come off.
    p = splash_origin(1023, 767);
    EXPECT_EQ(p.x, 351);
    EXPECT_EQ(p.y, 343);
    // A screen smaller than the window puts it partly off screen, no clamp.
    p = splash_origin(200, 50);
    EXPECT_EQ(p.x, -60);
    EXPECT_EQ(p.y, -15);
}

TEST(LauncherSplash, CursorHalvesAreSigned16Bit)
{
    SplashPoint p = splash_cursor(pack(-2, -1));
    EXPECT_EQ(p.x, -2);
    EXPECT_EQ(p.y, -1);
    p = splash_cursor(pack(32767, -32768));
    EXPECT_EQ(p.x, 32767);
    EXPECT_EQ(p.y, -32768);
    p = splash_cursor(0x00500140u);  // y 80, x 320: the far corner
    EXPECT_EQ(p.x, 320);
    EXPECT_EQ(p.y, 80);
}

TEST(LauncherSplash, MovingWithoutAPressDoesNothing)
{
    SplashDrag drag{};
    SplashRect moved{-1, -1, -1, -1};
    EXPECT_FALSE(drag_move(drag, true, pack(50, 50), AT_CENTRE, &moved));
    EXPECT_FALSE(drag_move(drag, false, pack(50, 50), AT_CENTRE, &moved));
    EXPECT_EQ(moved.left, -1);
}

TEST(LauncherSplash, DragMovesByTheCursorDisplacementAndKeepsTheSize)
{
    SplashDrag drag{};
    drag_begin(drag, pack(10, 20));
    EXPECT_EQ(drag.dragging, 1);
    SplashRect moved;
    ASSERT_TRUE(drag_move(drag, true, pack(15, 18), AT_CENTRE, &moved));
    EXPECT_EQ(moved.left, 357);
    EXPECT_EQ(moved.top, 342);
    EXPECT_EQ(moved.right - moved.left, 321);
    EXPECT_EQ(moved.bottom - moved.top, 81);

    // Captured: the cursor left of and above the window gives negative
    // client positions, and the window follows it there.
    ASSERT_TRUE(drag_move(drag, true, pack(-30, -5), AT_CENTRE, &moved));
    EXPECT_EQ(moved.left, 352 - 40);
    EXPECT_EQ(moved.top, 344 - 25);

    // A move without the button held (the release went elsewhere) is ignored.
    EXPECT_FALSE(drag_move(drag, false, pack(100, 100), AT_CENTRE, &moved));

    drag_end(drag);
    EXPECT_EQ(drag.dragging, 0);
    EXPECT_FALSE(drag_move(drag, true, pack(100, 100), AT_CENTRE, &moved));
}

TEST(LauncherSplash, AnchorIsWhereTheButtonWentDown)
{
    // Once the window has followed the cursor, the cursor is back at the
    // anchor in client terms: a further report there moves nothing.
    SplashDrag drag{};
    drag_begin(drag, pack(100, 40));
    SplashRect moved;
    ASSERT_TRUE(drag_move(drag, true, pack(100, 40), AT_CENTRE, &moved));
    EXPECT_EQ(moved.left, AT_CENTRE.left);
    EXPECT_EQ(moved.top, AT_CENTRE.top);
    // A second press re-anchors.
    drag_begin(drag, pack(0, 0));
    ASSERT_TRUE(drag_move(drag, true, pack(3, 4), AT_CENTRE, &moved));
    EXPECT_EQ(moved.left, AT_CENTRE.left + 3);
    EXPECT_EQ(moved.top, AT_CENTRE.top + 4);
}
