// vellary-converter: starts the main window and runs until it is closed.
#include <QApplication>

#include "common/HeapPolicy.h"
#include "shell/ShellDialogs.h"
#include "shell/frmStep1.h"

int main(int argc, char* argv[]) {
    ReturnLargeBlocksToTheSystem();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vellary-converter"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vellary-converter"));
    QApplication::setWindowIcon(shell::AppIcon());

    shell::QtShellDialogs dialogs;
    shell::FrmStep1 window(dialogs);
    window.showCentred();
    return app.exec();
}
