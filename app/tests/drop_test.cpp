// SPDX-License-Identifier: MIT
// Files dropped on the window become jobs; workers' status and progress reach the window.
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <memory>
#include <thread>

#include "AppTestSupport.h"
#include "app/BatchModel.h"
#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "engine/AppCallbacks.h"
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

namespace {

std::unique_ptr<QMimeData> fileDrag(const QStringList& paths) {
    auto mime = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    mime->setUrls(urls);
    return mime;
}

std::unique_ptr<QMimeData> textDrag() {
    auto mime = std::make_unique<QMimeData>();
    mime->setText("/tmp/photo.jpg");
    return mime;
}

// Sends a drag entering the window's centre; returns the event as the window left it.
std::unique_ptr<QDragEnterEvent> enter(PXMWindow* window, Qt::DropActions offered, const QMimeData* mime) {
    auto event = std::make_unique<QDragEnterEvent>(window->rect().center(), offered, mime, Qt::LeftButton,
                                                   Qt::NoModifier);
    QApplication::sendEvent(window, event.get());
    return event;
}

size_t queuedJobs() {
    EnterCriticalSection(&pxm->taskMutex);
    size_t count = pxm->tasks.size();
    LeaveCriticalSection(&pxm->taskMutex);
    return count;
}

}  // namespace

class DropTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { launched = std::make_unique<LaunchedApp>(); }
    void cleanup() { launched.reset(); }

    void fileDragsPreferLinking();
    void moveOnlyAndTextDragsAreRefused();
    void dropOfThreePathsQueuesTheImage();
    void emptyDropFails();
    void commandLinePathsAreDropped();
    void failedJobsAreListed();
    void statusAndProgressArriveFromAWorker();

  private:
    std::unique_ptr<LaunchedApp> launched;
};

void DropTest::fileDragsPreferLinking() {
    auto mime = fileDrag({"/tmp/a.jpg"});
    PXMWindow* window = launched->app->window;
    auto all = enter(window, Qt::CopyAction | Qt::LinkAction | Qt::MoveAction, mime.get());
    QVERIFY(all->isAccepted());
    QCOMPARE(all->dropAction(), Qt::LinkAction);
    auto copy = enter(window, Qt::CopyAction | Qt::MoveAction, mime.get());
    QVERIFY(copy->isAccepted());
    QCOMPARE(copy->dropAction(), Qt::CopyAction);
}

void DropTest::moveOnlyAndTextDragsAreRefused() {
    PXMWindow* window = launched->app->window;
    auto files = fileDrag({"/tmp/a.jpg"});
    QVERIFY(!enter(window, Qt::MoveAction, files.get())->isAccepted());
    auto text = textDrag();
    QVERIFY(!enter(window, Qt::CopyAction | Qt::LinkAction, text.get())->isAccepted());
    QVERIFY(!window->performDragOperation(text.get()));
    auto remote = std::make_unique<QMimeData>();
    remote->setUrls({QUrl("https://example.org/a.jpg")});
    QVERIFY(!enter(window, Qt::LinkAction, remote.get())->isAccepted());
    QCOMPARE(queuedJobs(), size_t(0));
}

void DropTest::dropOfThreePathsQueuesTheImage() {
    QVERIFY(writeFile(launched->file("notes.txt"), "not an image"));
    QVERIFY(QDir().mkpath(launched->file("folder")));
    QVERIFY(writeFile(launched->file("tiny.bmp"), tinyBmp()));
    auto mime = fileDrag({launched->file("notes.txt"), launched->file("folder"), launched->file("tiny.bmp")});
    PXMWindow* window = launched->app->window;
    const Qt::DropActions offered = Qt::CopyAction | Qt::LinkAction;
    QVERIFY(enter(window, offered, mime.get())->isAccepted());
    QDropEvent drop(QPointF(window->rect().center()), offered, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(drop.dropAction(), Qt::LinkAction);
    QCOMPARE(queuedJobs(), size_t(1));
    EnterCriticalSection(&pxm->taskMutex);
    std::string source = pxm->tasks[0]->sourcePath;
    LeaveCriticalSection(&pxm->taskMutex);
    QCOMPARE(QString::fromStdString(source), launched->file("tiny.bmp"));
}

void DropTest::emptyDropFails() {
    auto mime = fileDrag({});
    QVERIFY(!launched->app->window->performDragOperation(mime.get()));
    auto unsupported = fileDrag({launched->file("a.psd"), launched->file("b.txt")});
    QVERIFY(!launched->app->window->performDragOperation(unsupported.get()));
    QCOMPARE(queuedJobs(), size_t(0));
}

void DropTest::commandLinePathsAreDropped() {
    QVERIFY(writeFile(launched->file("tiny.bmp"), tinyBmp()));
    QString previous = QDir::currentPath();
    QDir::setCurrent(launched->file(""));
    bool queued = launched->app->openFiles({"tiny.bmp", "missing.txt"});
    QDir::setCurrent(previous);
    QVERIFY(queued);
    QVERIFY(launched->app->openFiles({QUrl::fromLocalFile(launched->file("tiny.bmp")).toString()}));
    QCOMPARE(queuedJobs(), size_t(2));
    EnterCriticalSection(&pxm->taskMutex);
    std::string source = pxm->tasks[0]->sourcePath;
    std::string second = pxm->tasks[1]->sourcePath;
    LeaveCriticalSection(&pxm->taskMutex);
    QCOMPARE(QString::fromStdString(source), QDir(launched->file("")).absoluteFilePath("tiny.bmp"));
    QCOMPARE(QString::fromStdString(second), launched->file("tiny.bmp"));
}

void DropTest::failedJobsAreListed() {
    QVERIFY(writeFile(launched->file("broken.png"), "no PNG signature here"));
    auto mime = fileDrag({launched->file("broken.png")});
    QVERIFY(launched->app->window->performDragOperation(mime.get()));
    pxm->waitUntilIdle();
    BatchModel* batch = launched->app->batch;
    QTRY_COMPARE(batch->tally().failed, size_t(1));
    QCOMPARE(batch->rowCount(), 1);
    QVERIFY(launched->app->jobList->isVisibleTo(launched->app->window));
    QCOMPARE(batch->index(0, BatchModel::NameColumn).data().toString(), QString("broken.png"));
    QCOMPARE(batch->index(0, BatchModel::StateColumn).data().toString(), QString("failed"));
    QVERIFY(batch->index(0, BatchModel::ResultColumn).data().toString().startsWith("Error opening "));
    QCOMPARE(batch->index(0, BatchModel::NameColumn).data(Qt::ToolTipRole).toString(),
             launched->file("broken.png"));
    // The status line keeps the engine's own words (they come by queued call, the rows by reading).
    QTRY_COMPARE(launched->app->statusField->text(), QString("Finished"));
}

void DropTest::statusAndProgressArriveFromAWorker() {
    QLabel* status = launched->app->statusField;
    QProgressBar* progress = launched->app->progressBar;
    std::thread worker([] {
        std::string text = "Resizing Straße.jpg";
        appSetProgressBar(0.25);
        appSetStatusField(text);
        text.assign(text.size(), '#');  // the caller reuses its text at once
    });
    worker.join();  // returned without the GUI thread running: nothing waited for it
    QCOMPARE(status->text(), QString());
    QTRY_COMPARE(status->text(), QString("Resizing Straße.jpg"));
    // The bar counts the window's batch, not the engine's queue position: no batch, no progress.
    QCOMPARE(progress->value(), 0);
}

QTEST_MAIN(DropTest)
#include "drop_test.moc"
