#pragma once

#include <QFont>
#include <QRect>

#include "platform/qt/dialog_template.h"

// Dialog units: a quarter of the dialog font's average character width across, an eighth
// of its character height down, as the window system measures them.
struct DialogBaseUnits {
    int cx = 0;  // average character width in pixels
    int cy = 0;  // character height in pixels
};

// The template's font, falling back to a Japanese proportional gothic when the face is
// missing (IPAPGothic first, then any CJK sans).
QFont dialogFont(const char* face, int points);

DialogBaseUnits dialogBaseUnits(const QFont& font);

// Pixels for a rectangle given in dialog units.
QRect dialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int cx, int cy);
