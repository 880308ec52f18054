// SPDX-License-Identifier: MIT
// One window per user and settings folder: the request's message, the socket's name, the hand-over
// and the serving side.
#include "app/SingleInstance.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QUrl>
#include <memory>

#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "engine/Presets.h"

namespace {

const QByteArray kHeader("PIXMILL-OPEN 1\n");
const QByteArray kEnd("E\n");
// A message carries at most this much; a record (a preset name or a path) at most a tenth of it.
const qsizetype kMaxMessage = 16 << 20;
const qsizetype kMaxRecord = 1 << 20;

// How long a start waits for the running window: to connect, and for its answer.
const int kConnectMs = 2000;
const int kAnswerMs = 20000;
// Two starts at once wait this long for each other's decision.
const int kLockMs = 10000;

void appendRecord(QByteArray& message, char tag, const QByteArray& bytes) {
    message.append(tag).append(QByteArray::number(bytes.size())).append(':').append(bytes);
}

// Reads one record at `at`: 1 read, 0 cut short, -1 malformed.
int readRecord(const QByteArray& bytes, qsizetype& at, char& tag, QByteArray& value) {
    if (at >= bytes.size()) return 0;
    tag = bytes[at];
    if (tag == 'E') {
        if (at + 1 >= bytes.size()) return 0;
        return bytes[at + 1] == '\n' ? (at += 2, 1) : -1;
    }
    if (tag != 'P' && tag != 'F') return -1;
    qsizetype length = 0, digits = 0, i = at + 1;
    for (; i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; ++i, ++digits) {
        length = length * 10 + (bytes[i] - '0');
        if (length > kMaxRecord) return -1;
    }
    if (i >= bytes.size()) return 0;
    if (digits == 0 || bytes[i] != ':') return -1;
    if (bytes.size() - (i + 1) < length) return 0;
    value = bytes.mid(i + 1, length);
    if (value.contains('\0')) return -1;
    at = i + 1 + length;
    return 1;
}

QString answerOf(const QString& refusal) {
    return refusal.isEmpty() ? QStringLiteral("OK\n") : QStringLiteral("NO ") + refusal.simplified() + '\n';
}

}  // namespace

bool parseOpenRequest(const QStringList& arguments, const QString& workingFolder, OpenRequest& request,
                      QString& why) {
    request = OpenRequest();
    bool options = true;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (options && argument == QLatin1String("--")) {
            options = false;
        } else if (options && (argument == QLatin1String("--preset") || argument.startsWith("--preset="))) {
            const bool joined = argument.size() > 8;
            if (!joined && i + 1 >= arguments.size()) {
                why = QObject::tr("--preset needs the name of a preset");
                return false;
            }
            request.preset = joined ? argument.mid(9) : arguments[++i];
            if (request.preset.isEmpty()) {
                why = QObject::tr("--preset needs the name of a preset");
                return false;
            }
        } else if (options && argument.startsWith(QLatin1String("--"))) {
            why = QObject::tr("unknown option %1 (a file of that name can follow --)").arg(argument);
            return false;
        } else {
            // Desktops that ignore the entry's %F hand over file: addresses instead of paths.
            const QUrl url(argument);
            const bool address = argument.startsWith(QLatin1String("file:")) && url.isLocalFile();
            request.paths << QDir(workingFolder).absoluteFilePath(address ? url.toLocalFile() : argument);
        }
    }
    return true;
}

QByteArray encodeOpenRequest(const OpenRequest& request) {
    QByteArray message = kHeader;
    if (!request.preset.isEmpty()) appendRecord(message, 'P', request.preset.toUtf8());
    for (const QString& path : request.paths) appendRecord(message, 'F', QFile::encodeName(path));
    return message.append(kEnd);
}

bool decodeOpenRequest(const QByteArray& bytes, OpenRequest& request, bool& complete) {
    request = OpenRequest();
    complete = false;
    if (bytes.size() > kMaxMessage) return false;
    if (!kHeader.startsWith(bytes.left(kHeader.size()))) return false;
    if (bytes.size() < kHeader.size()) return true;
    qsizetype at = kHeader.size();
    bool presetSeen = false;
    for (;;) {
        char tag = 0;
        QByteArray value;
        const int read = readRecord(bytes, at, tag, value);
        if (read <= 0) return read == 0;
        if (tag == 'E') {
            complete = true;
            return at == bytes.size();
        }
        if (tag == 'P') {
            if (presetSeen || !request.paths.isEmpty() || value.isEmpty()) return false;
            presetSeen = true;
            request.preset = QString::fromUtf8(value);
        } else {
            if (value.isEmpty()) return false;
            request.paths << QFile::decodeName(value);
        }
    }
}

QString instanceSocketName(const QString& settingsFolder) {
    // A socket's path is short (108 bytes on Linux): the folder enters as a digest.
    const QByteArray digest =
        QCryptographicHash::hash(QFile::encodeName(settingsFolder), QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    const QString name = QStringLiteral("pixmill-%1-%2").arg(getuid()).arg(QString::fromLatin1(digest));
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    const bool privateFolder = runtime.startsWith('/') && QFileInfo(runtime).isDir();
    return QDir(privateFolder ? runtime : QDir::tempPath()).filePath(name);
}

SingleInstance::SingleInstance(const QString& socketName, QObject* parent)
    : QObject(parent), socketName(socketName) {
    // A window that is quitting takes no more files: the next start opens a window of its own.
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
            if (server) server->close();
        });
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Role SingleInstance::start(const OpenRequest& request, QString& why) {
    why.clear();
    // In a shared temporary folder another user could have taken the name: never talk to them.
    const QFileInfo existing(socketName);
    if (existing.exists() && existing.ownerId() != getuid()) {
        why = tr("%1 belongs to another user; this window works alone").arg(socketName);
        return Role::Alone;
    }
    QLockFile lock(socketName + QStringLiteral(".lock"));
    const bool locked = lock.tryLock(kLockMs);
    QLocalSocket socket;
    socket.connectToServer(socketName);
    if (socket.waitForConnected(kConnectMs)) {
        if (locked) lock.unlock();
        return handOver(socket, request, why);
    }
    if (!locked) {
        why = tr("another start held %1 too long; this window works alone").arg(lock.fileName());
        return Role::Alone;
    }
    // Nobody answers: a socket file left here belongs to a process that ended without removing it.
    QLocalServer::removeServer(socketName);
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketName)) {
        why = tr("later starts cannot reach this window: %1").arg(server->errorString());
        delete server;
        server = nullptr;
        return Role::Alone;
    }
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return Role::Server;
}

SingleInstance::Role SingleInstance::handOver(QLocalSocket& socket, const OpenRequest& request,
                                              QString& why) {
    socket.write(encodeOpenRequest(request));
    if (!socket.waitForBytesWritten(kConnectMs) && socket.bytesToWrite() > 0) {
        why = tr("the running window did not take the files: %1").arg(socket.errorString());
        return Role::Alone;
    }
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(kAnswerMs)) answer += socket.readAll();
    answer += socket.readAll();
    if (answer.startsWith("OK\n")) return Role::HandedOver;
    if (answer.startsWith("NO ")) {
        why = QString::fromUtf8(answer.mid(3)).trimmed();
        return Role::Refused;
    }
    // The request is written: the window takes it once it can.
    why = tr("the running window has not answered yet; it takes the files when it can");
    return Role::HandedOver;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        readRequest(socket);
    }
}

void SingleInstance::readRequest(QLocalSocket* socket) {
    QByteArray bytes = socket->property("received").toByteArray() + socket->readAll();
    socket->setProperty("received", bytes);
    OpenRequest request;
    bool complete = false;
    const bool wellFormed = decodeOpenRequest(bytes, request, complete);
    if (wellFormed && !complete) return;
    socket->setProperty("received", QByteArray());
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    QString refusal = tr("the message was not understood");
    if (wellFormed) refusal = handler ? handler(request) : QString();
    socket->write(answerOf(refusal).toUtf8());
    socket->disconnectFromServer();
}

QString openInWindow(PixmillAppDelegate& delegate, const OpenRequest& request) {
    QString refusal;
    if (!request.preset.isEmpty()) {
        std::string why;
        if (pxm && applyPreset(*pxm, request.preset.toStdString(), why)) {
            pxm->initGUIMac();
        } else {
            refusal = QObject::tr("The preset \"%1\" was not applied (%2); its files were not added.")
                          .arg(request.preset, QString::fromStdString(why));
            delegate.showStatus(refusal);
        }
    }
    if (refusal.isEmpty() && !request.paths.isEmpty()) delegate.openFiles(request.paths);
    QWidget* window = delegate.window;
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
    return refusal;
}
