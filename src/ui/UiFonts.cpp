#include "ui/UiFonts.h"

#include <QApplication>
#include <QFontDatabase>

namespace bhv::ui {
namespace {

QString FindCjkFamily() {
    const QStringList families = QFontDatabase::families();
    for (const char* preferred : {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Zen Hei",
                                  "Noto Sans CJK", "Droid Sans Fallback"}) {
        if (families.contains(QString::fromLatin1(preferred)))
            return QString::fromLatin1(preferred);
    }
    const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    if (!chinese.isEmpty()) return chinese.front();
    return QApplication::font().family();
}

}  // namespace

QString CjkFamily() {
    // The font database is only usable once the application exists; the answer does not change
    // afterwards.
    static const QString family = FindCjkFamily();
    return family;
}

QFont UiFont(int pixelSize, bool bold) {
    QFont font(CjkFamily());
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

}  // namespace bhv::ui
