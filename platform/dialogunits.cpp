#include "platform/dialogunits.h"

#include <QFontMetrics>

namespace platform {

namespace {
int MulDiv(int number, int numerator, int denominator) {
    const long long product = static_cast<long long>(number) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}
} // namespace

DialogBaseUnits BaseUnitsFor(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(width / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const QRect& units, DialogBaseUnits base) {
    return QRect(MulDiv(units.x(), base.cx, 4), MulDiv(units.y(), base.cy, 8),
                 MulDiv(units.width(), base.cx, 4), MulDiv(units.height(), base.cy, 8));
}

} // namespace platform
