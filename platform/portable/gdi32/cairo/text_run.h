// Drawing one text run on a Cairo context whose user units are device pixels.
#pragma once

#include "platform/portable/gdi32/device.h"

#include <cairo.h>

namespace zvp {

// Glyphs are placed at the run's integer character positions, so the grid of the device holds;
// glyphs wholly outside [0, width) x [0, height) are left out.
void draw_text_run(cairo_t* cr, const TextRun& run, int width, int height);

} // namespace zvp
