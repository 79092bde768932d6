// The splash window's arithmetic, apart from any window system: where it
// opens, and how a drag with the left button moves it. The Win32 window
// procedure feeds it the raw message words.
#pragma once

#include <cstdint>

struct SplashPoint {
    int32_t x;
    int32_t y;
};

struct SplashRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// The drag state of the window: the anchor is the client position where the
// left button went down.
struct SplashDrag {
    int32_t drag_anchor_x;
    int32_t drag_anchor_y;
    int32_t dragging;
};

// Top-left corner of the 321 x 81 window centred on a screen: half the
// screen (integer division) less 160 and 40.
SplashPoint splash_origin(int32_t screen_width, int32_t screen_height);

// A client position packed in a mouse message's lparam: low half x, high
// half y, each a signed 16-bit value (negative left of or above the window
// while the mouse is captured).
SplashPoint splash_cursor(uint32_t lparam);

void drag_begin(SplashDrag& drag, uint32_t lparam);
void drag_end(SplashDrag& drag);
// Where a mouse move takes the window whose screen rectangle is `window`.
// False (and nothing to do) unless the left button is down and a drag is
// in progress; the size is kept.
bool drag_move(const SplashDrag& drag, bool left_button_down, uint32_t lparam,
               const SplashRect& window, SplashRect* moved);
