// SPDX-License-Identifier: MIT
// One window per user and settings folder: a later start hands its files to the running window
// over a local socket and ends.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class PixmillAppDelegate;
class QLocalServer;
class QLocalSocket;

// What a start asks of the window: an optional preset, then absolute file paths (none: show the
// window).
struct OpenRequest {
    QString preset;
    QStringList paths;
};

// Reads `[--preset NAME] [--] FILE...`; relative paths and file: addresses become absolute paths
// against `workingFolder`. False, with why in words, on a malformed line.
bool parseOpenRequest(const QStringList& arguments, const QString& workingFolder, OpenRequest& request,
                      QString& why);

// The message on the socket: "PIXMILL-OPEN 1\n", then records of a tag byte ('P' preset, 'F' file),
// the decimal length of the bytes, ':' and the bytes, and "E\n" last. A preset name is UTF-8, a path
// the bytes of its name in the file system's encoding; lengths, not separators, delimit them, so a
// name may hold any byte but NUL.
QByteArray encodeOpenRequest(const OpenRequest& request);
// Decodes a message received so far: true with `complete` false while it is only cut short, true
// with `complete` true once it is whole; false when it is malformed or too large.
bool decodeOpenRequest(const QByteArray& bytes, OpenRequest& request, bool& complete);

// The socket's name for the settings folder: it holds the user id and a digest of the folder, under
// $XDG_RUNTIME_DIR when the session has one (private to the user), else in the temporary folder.
QString instanceSocketName(const QString& settingsFolder);

class SingleInstance : public QObject {
    Q_OBJECT

  public:
    explicit SingleInstance(const QString& socketName, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Role {
        Server,      // this process shows the window and takes later starts' requests
        HandedOver,  // a running window took the request (why: a note if it has not answered yet)
        Refused,     // the running window answered with a refusal (why)
        Alone,       // neither: show a window of its own without taking requests (why)
    };
    // Hands `request` to a running window, or becomes the one that later starts reach. Two starts
    // at once decide one after the other under a lock file, so one of them serves; a socket left by
    // a process that died is removed.
    Role start(const OpenRequest& request, QString& why);

    // The window's answer to a request: empty when taken, else why it was refused.
    using Handler = std::function<QString(const OpenRequest&)>;
    void setHandler(Handler handler) { this->handler = std::move(handler); }

  private:
    Role handOver(QLocalSocket& socket, const OpenRequest& request, QString& why);
    void acceptConnections();
    void readRequest(QLocalSocket* socket);

    QString socketName;
    QLocalServer* server = nullptr;
    Handler handler;
};

// Applies the request's preset, if any, then hands its files to the window exactly as a drop does and
// brings the window forward. Empty when done, else why nothing was added (an unknown preset: its files
// are not resized with other settings than the ones asked for).
QString openInWindow(PixmillAppDelegate& delegate, const OpenRequest& request);
