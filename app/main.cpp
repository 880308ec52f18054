// SPDX-License-Identifier: MIT
// pixmill: the window. The engine already exists here: a static initialiser created it at load time.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "app/SingleInstance.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

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
    OpenRequest request;
    QString why;
    if (!parseOpenRequest(QApplication::arguments().mid(1), QDir::currentPath(), request, why)) {
        fprintf(stderr, "pixmill: %s\nUsage: pixmill [--preset NAME] [FILE...]\n", qPrintable(why));
        return 2;
    }
    // A window already open for these settings takes the files (or comes forward) and this start ends.
    SingleInstance instance(instanceSocketName(QString::fromStdString(pxm->settingsFolder)));
    const SingleInstance::Role role = instance.start(request, why);
    if (!why.isEmpty()) fprintf(stderr, "pixmill: %s\n", qPrintable(why));
    if (role == SingleInstance::Role::HandedOver) return 0;
    if (role == SingleInstance::Role::Refused) return 1;

    quitOnSignals(app);
    PixmillAppDelegate delegate;
    instance.setHandler([&delegate](const OpenRequest& later) { return openInWindow(delegate, later); });
    delegate.window->show();
    delegate.applicationDidFinishLaunching();
    // The files of this start (a file manager's "Open with") are dropped once the loop runs.
    if (!request.paths.isEmpty() || !request.preset.isEmpty())
        QTimer::singleShot(0, &delegate, [&delegate, request] {
            const QString refusal = openInWindow(delegate, request);
            if (!refusal.isEmpty()) fprintf(stderr, "pixmill: %s\n", qPrintable(refusal));
        });
    return QApplication::exec();
}
