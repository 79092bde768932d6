/* The installer's resources: names and string ids shared by the resource
   script (kelvo.rc, read by windres's C preprocessor: keep this file plain
   preprocessor definitions) and by the native build, which has no resource
   section and serves the same strings from a table. */
#ifndef KELVO_LAUNCHER_RESOURCE_H
#define KELVO_LAUNCHER_RESOURCE_H

#define STRING_TITLE 1
#define STRING_SCRATCH_NAME 2

#define TEXT_TITLE "Initializing..."
#define TEXT_SCRATCH_NAME "kelvo08.tmp"

#define SPLASH_BITMAP_NAME "Splash"
#define MAIN_ICON_NAME "Main"

#define SPLASH_WIDTH 321
#define SPLASH_HEIGHT 81

#endif
