#include "platform/qt/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

QFont dialogFont(const char* face, int points) {
    QFont font;
    font.setFamilies({QString::fromUtf8(face), QStringLiteral("MS PGothic"),
                      QStringLiteral("IPAPGothic"), QStringLiteral("IPA Pゴシック"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("VL PGothic"),
                      QStringLiteral("Droid Sans Fallback")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(points);
    return font;
}

DialogBaseUnits dialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The window system averages the 52 Latin letters and rounds half up.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogBaseUnits units;
    units.cx = (letters / 26 + 1) / 2;
    units.cy = metrics.ascent() + metrics.descent();
    return units;
}

static int mulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    // Rounds half away from zero like the window system's MulDiv.
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

QRect dialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int cx, int cy) {
    const int left = mulDiv(x, units.cx, 4);
    const int top = mulDiv(y, units.cy, 8);
    return {left, top, mulDiv(cx, units.cx, 4), mulDiv(cy, units.cy, 8)};
}
