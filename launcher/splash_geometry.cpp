#include "launcher/splash_geometry.h"

#include "launcher/resource.h"

SplashPoint splash_origin(int32_t screen_width, int32_t screen_height)
{
    // (321 - 1) / 2 and (81 - 1) / 2: the odd pixel falls to the right and below.
    constexpr int32_t HALF_WIDTH = (SPLASH_WIDTH - 1) / 2;
    constexpr int32_t HALF_HEIGHT = (SPLASH_HEIGHT - 1) / 2;
    static_assert(HALF_WIDTH == 160 && HALF_HEIGHT == 40);
    return {screen_width / 2 - HALF_WIDTH, screen_height / 2 - HALF_HEIGHT};
}

SplashPoint splash_cursor(uint32_t lparam)
{
    return {static_cast<int16_t>(lparam & 0xFFFF), static_cast<int16_t>(lparam >> 16)};
}

void drag_begin(SplashDrag& drag, uint32_t lparam)
{
    SplashPoint at = splash_cursor(lparam);
    drag.drag_anchor_x = at.x;
    drag.drag_anchor_y = at.y;
    drag.dragging = 1;
}

void drag_end(SplashDrag& drag) { drag.dragging = 0; }

bool drag_move(const SplashDrag& drag, bool left_button_down, uint32_t lparam,
               const SplashRect& window, SplashRect* moved)
{
    if (!left_button_down || !drag.dragging)
        return false;
    SplashPoint at = splash_cursor(lparam);
    int32_t dx = at.x - drag.drag_anchor_x;
    int32_t dy = at.y - drag.drag_anchor_y;
    *moved = {window.left + dx, window.top + dy, window.right + dx, window.bottom + dy};
    return true;
}
