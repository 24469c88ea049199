#include "shell/UiFont.h"

#include <QFile>
#include <QFontDatabase>
#include <QStringList>

namespace shell {
namespace {

QString findFamily() {
    const QString wanted = QStringLiteral("Tahoma");
    if (QFontDatabase::families().contains(wanted, Qt::CaseInsensitive)) return wanted;

    // Wine's replacement is made to Tahoma's metrics but is not installed
    // where the font configuration looks; register it for this program. Only
    // the regular face: Wine's bold face has Tahoma Bold's widths but strokes
    // hardly heavier than the regular, so bold text is left to the font
    // engine's emboldening of the regular face, which reads as bold.
    const char* const candidates[] = {
        "/usr/share/wine/fonts/tahoma.ttf",
        "/usr/lib/wine/fonts/tahoma.ttf",
    };
    QString found;
    for (const char* path : candidates) {
        if (!QFile::exists(QString::fromLatin1(path))) continue;
        int id = QFontDatabase::addApplicationFont(QString::fromLatin1(path));
        if (id < 0) continue;
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (found.isEmpty() && !families.isEmpty()) found = families.front();
    }
    if (!found.isEmpty()) return found;
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

}  // namespace

QString UiFontFamily() {
    static const QString family = findFamily();
    return family;
}

QFont UiFont(double points, bool bold) {
    QFont font(UiFontFamily());
    font.setPointSizeF(points);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}

}  // namespace shell
