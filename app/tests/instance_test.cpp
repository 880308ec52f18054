// SPDX-License-Identifier: MIT
// One window: the request's message and command line, a socket left by a dead window, and real
// starts that end in one process resizing every file, or are refused for an unknown preset.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "AppTestSupport.h"
#include "app/SingleInstance.h"

namespace {

// A socket file as a crashed window leaves it: bound, never listening, closed.
bool leaveStaleSocket(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (name.size() >= qsizetype(sizeof address.sun_path)) return false;
    memcpy(address.sun_path, name.constData(), name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return bound && QFile::exists(path);
}

}  // namespace

class InstanceTest : public QObject {
    Q_OBJECT

  private slots:
    void messagesRoundTripAndRefuseDamage();
    void commandLineMakesPathsAbsolute();
    void staleSocketIsReplaced();
    void laterStartsHandTheirFilesToOneWindow();
};

void InstanceTest::messagesRoundTripAndRefuseDamage() {
    const OpenRequest requests[] = {
        {"", {}},
        {"Same size, no location", {"/a b/c.jpg"}},
        {"Größe ⇒ web", {"/x/line\nbreak.png", "/x/F3:colon.jpg", QString("/x/") + QChar(0x263A) + ".heic"}},
    };
    for (const OpenRequest& sent : requests) {
        const QByteArray message = encodeOpenRequest(sent);
        OpenRequest got;
        bool complete = false;
        QVERIFY(decodeOpenRequest(message, got, complete) && complete);
        QCOMPARE(got.preset, sent.preset);
        QCOMPARE(got.paths, sent.paths);
        // Every cut of the message waits for more.
        for (qsizetype cut = 0; cut < message.size(); ++cut)
            QVERIFY2(decodeOpenRequest(message.left(cut), got, complete) && !complete, message.left(cut));
    }
    const QByteArray header("PIXMILL-OPEN 1\n");
    const QByteArray damaged[] = {"PIXMILL-OPEN 2\nE\n",  header + "X1:aE\n", header + "F:E\n",
                                  header + "F2;abE\n",    header + "F0:E\n",  header + "F1:/P1:xE\n",
                                  header + "P1:xP1:yE\n", header + "E\nF1:/", header + "F2:/" + '\0' + "E\n",
                                  header + "F99999999:"};
    for (const QByteArray& message : damaged) {
        OpenRequest got;
        bool complete = false;
        QVERIFY2(!decodeOpenRequest(message, got, complete), message);
    }
}

void InstanceTest::commandLineMakesPathsAbsolute() {
    OpenRequest request;
    QString why;
    QVERIFY(parseOpenRequest({"--preset=Web 1600", "a.jpg", "/b.png", "file:///c%20d.jpg", "--", "--e.jpg"},
                             "/home/u", request, why));
    QCOMPARE(request.preset, QString("Web 1600"));
    QCOMPARE(request.paths, QStringList({"/home/u/a.jpg", "/b.png", "/c d.jpg", "/home/u/--e.jpg"}));
    for (const QStringList& wrong :
         {QStringList{"--preset"}, QStringList{"--preset="}, QStringList{"--fast"}})
        QVERIFY(!parseOpenRequest(wrong, "/", request, why) && !why.isEmpty());
}

void InstanceTest::staleSocketIsReplaced() {
    QTemporaryDir folder;
    const QString name = instanceSocketName(folder.path());
    QVERIFY(name == instanceSocketName(folder.path()) && name != instanceSocketName(folder.path() + "/b"));
    QVERIFY(leaveStaleSocket(name));
    SingleInstance first(name);
    QString why;
    QCOMPARE(first.start({}, why), SingleInstance::Role::Server);
    QLocalSocket later;
    later.connectToServer(name);
    QVERIFY(later.waitForConnected(5000));
}

void InstanceTest::laterStartsHandTheirFilesToOneWindow() {
    QTemporaryDir home;
    const QDir folder(home.path());
    QVERIFY(folder.mkpath("config/pixmill") && folder.mkpath("out"));
    QVERIFY(writeFile(
        folder.filePath("config/pixmill/config.xml"),
        configWith("<RESOLUTION>16x12</RESOLUTION>\n<DESTINATION>fixedfolder</DESTINATION>\n"
                   "<OUTPUTFIXEDFOLDER>" +
                   folder.filePath("out") + "</OUTPUTFIXEDFOLDER>\n<OUTPUTFILENAME>%SRC%</OUTPUTFILENAME>\n")
            .toUtf8()));
    for (const char* name : {"a", "b", "c", "d"})
        QVERIFY(writeFile(folder.filePath(name + QString(".bmp")), tinyBmp()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", folder.filePath("config"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    auto start = [&](QProcess& process, const QStringList& arguments) {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder.path());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(PIXMILL_WINDOW_PROGRAM, arguments);
    };
    // Two starts at once: one serves, the other hands over its file and ends at once.
    QProcess one, two;
    start(one, {folder.filePath("a.bmp")});
    start(two, {folder.filePath("b.bmp")});
    QTRY_VERIFY_WITH_TIMEOUT(one.state() == QProcess::NotRunning || two.state() == QProcess::NotRunning,
                             20000);
    QProcess& window = one.state() == QProcess::NotRunning ? two : one;
    QProcess& ended = &window == &one ? two : one;
    QCOMPARE(ended.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ended.exitCode(), 0);
    // Names relative to the start's own folder; no files (raises the window); a preset not known.
    const std::pair<QStringList, int> laterStarts[] = {
        {{"c.bmp", "d.bmp"}, 0}, {{}, 0}, {{"--preset", "Not a preset", "e.bmp"}, 1}};
    for (const auto& [arguments, status] : laterStarts) {
        QProcess later;
        start(later, arguments);
        QVERIFY(later.waitForFinished(20000));
        QCOMPARE(later.exitCode(), status);
    }
    for (const char* name : {"a", "b", "c", "d"})
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder.filePath("out/" + QString(name) + ".jpg")), 20000);
    QCOMPARE(window.state(), QProcess::Running);
    window.terminate();
    QVERIFY(window.waitForFinished(20000));
    QCOMPARE(window.exitCode(), 0);
}

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"
