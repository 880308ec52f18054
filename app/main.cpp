// SPDX-License-Identifier: MIT
// pixmill: the window. The engine already exists here: a static initialiser created it at load time.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"

namespace {

int signalSockets[2] = {-1, -1};

void writeSignalByte(int) {
    char byte = 1;
    ssize_t written = write(signalSockets[1], &byte, 1);
    (void)written;
}

// A terminal's Ctrl+C or the session's SIGTERM quits like the Quit command: the workers finish the
// files they are writing and the settings are saved. The handler only writes a byte; the event
// loop does the rest.
void quitOnSignals(QApplication& app) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0) return;
    auto* notifier = new QSocketNotifier(signalSockets[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = writeSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before the window system is reached, so it works without a display.
    if (argc == 2 && (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0)) {
        printf("pixmill %s\n", PIXMILL_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pixmill"));
    QApplication::setApplicationVersion(QStringLiteral(PIXMILL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("pixmill"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pixmill.png")));
    quitOnSignals(app);

    PixmillAppDelegate delegate;
    delegate.window->show();
    delegate.applicationDidFinishLaunching();
    // Files named on the command line (a file manager's "Open with") are dropped once the loop runs.
    const QStringList paths = QApplication::arguments().mid(1);
    if (!paths.isEmpty()) QTimer::singleShot(0, &delegate, [&delegate, paths] { delegate.openFiles(paths); });
    return QApplication::exec();
}
