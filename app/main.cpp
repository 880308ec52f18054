// pixmill: the window. The engine already exists here: a static initialiser created it at load time.
#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pixmill"));
    QApplication::setDesktopFileName(QStringLiteral("pixmill"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pixmill.png")));

    PixmillAppDelegate delegate;
    delegate.window->show();
    delegate.applicationDidFinishLaunching();
    // Files named on the command line (a file manager's "Open with") are dropped once the loop runs.
    const QStringList paths = QApplication::arguments().mid(1);
    if (!paths.isEmpty()) QTimer::singleShot(0, &delegate, [&delegate, paths] { delegate.openFiles(paths); });
    return QApplication::exec();
}
