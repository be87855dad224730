// Dialog units to pixels: x * base / 4 across, y * height / 8 down, where
// base is the average width of "A..Za..z" in the dialog font.
#pragma once

#include <QFont>
#include <QRect>

namespace platform {

struct DialogBaseUnits {
    int cx;
    int cy;
};

DialogBaseUnits BaseUnitsFor(const QFont& font);
// Rounds to nearest, as integer multiply-then-divide would.
QRect MapDialogRect(const QRect& units, DialogBaseUnits base);

} // namespace platform
