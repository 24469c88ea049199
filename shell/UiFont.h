// The window's face: Tahoma, or where it is missing a metric-compatible
// replacement (Wine's own Tahoma, registered from its font folder), or
// failing both the platform's general face.
#pragma once

#include <QFont>
#include <QString>

namespace shell {

QString UiFontFamily();
QFont UiFont(double points, bool bold = false);

}  // namespace shell
