// The font sample the main window shows: the sample line in the printer fonts of 10, 12 and 20
// characters per inch, regular, bold, underlined and bold underlined, made for the window itself.
#pragma once

#include "platform/win32.h"

void paint_font_sample(HDC dc);

// The first row below the sample: where the window may say more.
int font_sample_bottom(HDC dc);
