// SPDX-License-Identifier: MIT
// The batch in the window: one row per job through every state, the counts, Stop and Esc, opening
// a result, the drop zone's highlight, and a list of 10,000 jobs.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <memory>

#include "AppTestSupport.h"
#include "app/BatchModel.h"
#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "picture/Picture.h"

namespace {

void drop(PXMWindow* window, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    mime.setUrls(urls);
    const Qt::DropActions offered = Qt::CopyAction | Qt::LinkAction;
    // A drop goes to the widget that took the drag's entry.
    QDragEnterEvent enter(window->rect().center(), offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &enter);
    QDropEvent event(QPointF(window->rect().center()), offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &event);
}

// A JPEG of a smooth pattern, whole or cut to `percent` of its bytes.
bool writeJpeg(const QString& path, int width, int height, int percent = 100) {
    CPicture picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = picture.pixelAt(x, y);
            pixel[0] = uint8_t(x * 255 / width);
            pixel[1] = uint8_t(y * 255 / height);
            pixel[2] = uint8_t((x + y) % 256);
        }
    if (!picture.saveToJPG(path.toStdString(), 90)) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    return file.resize(file.size() * percent / 100);
}

// A TIFF of two 1 x 1 grey pages, uncompressed, each directory with its eight entries.
QByteArray twoPageTiff() {
    QByteArray b("II*\0\x08\0\0\0", 8);
    auto u16 = [&b](uint32_t v) { b.append(char(v & 255)).append(char(v >> 8 & 255)); };
    auto u32 = [&u16](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    for (uint32_t page = 0; page < 2; ++page) {
        const uint32_t entries[8][3] = {{256, 3, 1}, {257, 3, 1},          {258, 3, 8}, {259, 3, 1},
                                        {262, 3, 1}, {273, 4, 212 + page}, {278, 3, 1}, {279, 4, 1}};
        u16(8);
        for (const auto& e : entries) u16(e[0]), u16(e[1]), u32(1), u32(e[2]);
        u32(page == 0 ? 110 : 0);
    }
    return b.append("\x80\x40", 2);
}

QString cell(BatchModel* batch, int row, int column) {
    return batch->index(row, column).data().toString();
}

QStringList tempFilesIn(const QString& folder) {
    return QDir(folder).entryList({".pixmill-*.tmp"}, QDir::Files | QDir::Hidden);
}

}  // namespace

class BatchTest : public QObject {
    Q_OBJECT

  public slots:
    void openUrl(const QUrl& url) { openedUrls << url; }

  private slots:
    void init() {
        launched =
            std::make_unique<LaunchedApp>(configWith("<RESOLUTION>64x48</RESOLUTION>\n"
                                                     "<OUTPUTFILENAME>%SRC%_%N3%</OUTPUTFILENAME>\n"));
        openedUrls.clear();
    }
    void cleanup() { launched.reset(); }

    void countTexts();
    void rowsFollowEveryStateThroughABatch();
    void doneRowsOpenTheirOutputAndFolder();
    void stopSkipsTheWaitingJobsAndALaterDropRuns();
    void dropZoneIsLitWhileAFileDragHovers();
    void tenThousandJobsAreListed();
    void aFileOfSeveralFramesSaysSoInItsRow();

  private:
    std::unique_ptr<LaunchedApp> launched;
    QList<QUrl> openedUrls;
    PixmillAppDelegate* app() const { return launched->app; }
    // Waits until the window shows the batch ended.
    bool batchShownEnded() {
        pxm->waitUntilIdle();
        return QTest::qWaitFor([this] { return !app()->batch->isRunning(); }, 5000);
    }
};

void BatchTest::countTexts() {
    BatchTally tally;
    QCOMPARE(batchCountText(tally), QString());
    tally.total = 120;
    tally.resized = 34;
    tally.damaged = 1;
    tally.failed = 2;
    QCOMPARE(batchCountText(tally), QString("37 of 120 done, 2 failed"));
    tally.resized = 117;
    QCOMPARE(batchCountText(tally), QString("117 resized, 2 failed, 1 damaged"));
    tally.resized = 114;
    tally.skipped = 3;
    QCOMPARE(batchCountText(tally), QString("114 resized, 2 failed, 1 damaged, 3 skipped"));
    QCOMPARE(refusedText(0, 0, QString()), QString());
    QCOMPARE(refusedText(1, 0, QString()), QString("1 file was not an image"));
    QCOMPARE(refusedText(2, 1, "why"), QString("2 files were not images; 1 image was not resized: why"));
    QCOMPARE(refusedText(0, 3, "why"), QString("3 images were not resized: why"));
}

void BatchTest::rowsFollowEveryStateThroughABatch() {
    QVERIFY(writeFile(launched->file("tiny.bmp"), tinyBmp()));
    QVERIFY(writeJpeg(launched->file("cut.jpg"), 320, 240, 60));
    QVERIFY(writeFile(launched->file("broken.png"), "no PNG signature here"));
    QVERIFY(writeFile(launched->file("notes.txt"), "words"));
    QVERIFY(QDir().mkpath(launched->file("folder")));
    drop(app()->window, {launched->file("tiny.bmp"), launched->file("notes.txt"), launched->file("cut.jpg"),
                         launched->file("folder"), launched->file("broken.png")});
    BatchModel* batch = app()->batch;
    // The rows are there at once, in drop order, the refusals counted beside them.
    QCOMPARE(batch->rowCount(), 3);
    QCOMPARE(cell(batch, 0, BatchModel::NameColumn), QString("tiny.bmp"));
    QCOMPARE(cell(batch, 1, BatchModel::NameColumn), QString("cut.jpg"));
    QCOMPARE(cell(batch, 2, BatchModel::NameColumn), QString("broken.png"));
    QCOMPARE(app()->refusedField->text(), QString("2 files were not images"));
    QVERIFY(app()->refusedField->isVisibleTo(app()->window));
    QVERIFY(batchShownEnded());

    QCOMPARE(cell(batch, 0, BatchModel::StateColumn), QString("done"));
    const QString output = launched->file("resized/tiny_001.jpg");
    QVERIFY(QFile::exists(output));
    QCOMPARE(cell(batch, 0, BatchModel::ResultColumn), QString("48x48, tiny_001.jpg"));
    QCOMPARE(batch->index(0, BatchModel::ResultColumn).data(Qt::ToolTipRole).toString(), output);
    QCOMPARE(cell(batch, 1, BatchModel::StateColumn), QString("damaged"));
    QCOMPARE(cell(batch, 1, BatchModel::ResultColumn),
             QString("64x48, cut_002.jpg (Premature end of JPEG file)"));
    QVERIFY(QFile::exists(launched->file("resized/cut_002.jpg")));
    QCOMPARE(cell(batch, 2, BatchModel::StateColumn), QString("failed"));
    // The row names the file, its tooltip the whole path; the cause follows the message.
    const QString failure = cell(batch, 2, BatchModel::ResultColumn);
    QVERIFY2(failure.startsWith("Error opening broken.png: "), qPrintable(failure));
    QVERIFY(failure.size() > QString("Error opening broken.png: ").size());
    QVERIFY(batch->index(2, BatchModel::ResultColumn)
                .data(Qt::ToolTipRole)
                .toString()
                .startsWith("Error opening " + launched->file("broken.png") + ": "));
    QCOMPARE(app()->countField->text(), QString("1 resized, 1 failed, 1 damaged"));
    QVERIFY(!app()->stopButton->isEnabled());

    // The summary stays until the next drop, which starts a batch of its own.
    QTest::qWait(300);
    QCOMPARE(app()->countField->text(), QString("1 resized, 1 failed, 1 damaged"));
    drop(app()->window, {launched->file("tiny.bmp")});
    QCOMPARE(batch->rowCount(), 1);
    QVERIFY(app()->refusedField->isHidden());
    QVERIFY(batchShownEnded());
    QCOMPARE(app()->countField->text(), QString("1 resized, 0 failed, 0 damaged"));
    QCOMPARE(cell(batch, 0, BatchModel::ResultColumn), QString("48x48, tiny_004.jpg"));

    // Images the settings refuse are not called "not images"; the list keeps the ended batch.
    pxmSetResolution("0x48");
    drop(app()->window, {launched->file("tiny.bmp"), launched->file("cut.jpg")});
    QCOMPARE(app()->refusedField->text(),
             QString("2 images were not resized: the resolution \"0x48\" has a zero or unreadable side"));
    QCOMPARE(batch->rowCount(), 1);
}

void BatchTest::doneRowsOpenTheirOutputAndFolder() {
    QVERIFY(writeFile(launched->file("tiny.bmp"), tinyBmp()));
    drop(app()->window, {launched->file("tiny.bmp"), launched->file("missing.bmp")});
    QVERIFY(batchShownEnded());
    QDesktopServices::setUrlHandler("file", this, "openUrl");
    QTreeView* list = app()->jobList;
    const QModelIndex done = app()->batch->index(0, BatchModel::NameColumn);
    const QModelIndex failed = app()->batch->index(1, BatchModel::NameColumn);
    for (const QModelIndex& row : {failed, done}) {
        // A double-click is the second click on the row just pressed.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(row).center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(row).center());
    }
    std::unique_ptr<QMenu> doneMenu(app()->jobMenu(done));
    std::unique_ptr<QMenu> failedMenu(app()->jobMenu(failed));
    QAction* showInFolder = nullptr;
    for (QAction* action : doneMenu->actions())
        if (action->text().remove('&') == "Show in folder") showInFolder = action;
    QVERIFY(showInFolder);
    showInFolder->trigger();
    QDesktopServices::unsetUrlHandler("file");
    // A failed job wrote nothing: its row opens nothing and offers nothing.
    for (QAction* action : failedMenu->actions()) QVERIFY(!action->isEnabled());
    QCOMPARE(openedUrls.size(), 2);
    QCOMPARE(openedUrls[0], QUrl::fromLocalFile(launched->file("resized/tiny_001.jpg")));
    QCOMPARE(openedUrls[1], QUrl::fromLocalFile(launched->file("resized")));
}

// One worker and 40 jobs of a 1600x1200 photo: a stop right after the drop finds most of them
// waiting. Stopped by the button, then by Esc typed in the size field (a shortcut of the whole
// window), then a drop runs as usual.
void BatchTest::stopSkipsTheWaitingJobsAndALaterDropRuns() {
    pxm->maxWorkers = 1;
    const QString photo = launched->file("photo.jpg");
    QVERIFY(writeJpeg(photo, 1600, 1200));
    const QString outputs = launched->file("resized");
    const QStringList forty(40, photo);
    BatchModel* batch = app()->batch;
    size_t written = 0;
    for (int round = 0; round < 2; ++round) {
        drop(app()->window, forty);
        QVERIFY(app()->stopButton->isEnabled());
        if (round == 0) {
            QTest::mouseClick(app()->stopButton, Qt::LeftButton);
        } else {
            app()->window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(app()->window));
            app()->resolutionComboBox->lineEdit()->setFocus();
            QVERIFY(QTest::qWaitFor([this] { return app()->resolutionComboBox->lineEdit()->hasFocus(); }));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        }
        QVERIFY(batchShownEnded());
        const BatchTally& tally = batch->tally();
        QCOMPARE(tally.total, size_t(40));
        QCOMPARE(tally.resized + tally.skipped, size_t(40));
        QVERIFY2(tally.skipped >= 30, qPrintable(batchCountText(tally)));
        for (int row = 0; row < 40; ++row) {
            if (cell(batch, row, BatchModel::StateColumn) == "done") continue;
            QCOMPARE(cell(batch, row, BatchModel::StateColumn), QString("skipped"));
            QCOMPARE(cell(batch, row, BatchModel::ResultColumn), QString("the batch was stopped"));
        }
        written += tally.resized;
        QCOMPARE(size_t(QDir(outputs).entryList(QDir::Files).size()), written);
        QVERIFY(tempFilesIn(outputs).isEmpty());
        QVERIFY(app()->countField->text().endsWith(QString(", %1 skipped").arg(tally.skipped)));
        QVERIFY(!app()->stopButton->isEnabled());
    }
    drop(app()->window, {photo});
    QVERIFY(batchShownEnded());
    QCOMPARE(app()->countField->text(), QString("1 resized, 0 failed, 0 damaged"));
    QCOMPARE(size_t(QDir(outputs).entryList(QDir::Files).size()), written + 1);
}

void BatchTest::dropZoneIsLitWhileAFileDragHovers() {
    PXMWindow* window = app()->window;
    QLabel* zone = app()->dropZone;
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(launched->file("a.jpg"))});
    QMimeData text;
    text.setText("/tmp/a.jpg");
    const Qt::DropActions offered = Qt::CopyAction | Qt::LinkAction;
    QDragEnterEvent enterFiles(window->rect().center(), offered, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &enterFiles);
    QVERIFY(zone->property("hovering").toBool());
    QDragLeaveEvent leave;
    QApplication::sendEvent(window, &leave);
    QVERIFY(!zone->property("hovering").toBool());
    QDragEnterEvent enterText(window->rect().center(), offered, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &enterText);
    QVERIFY(!zone->property("hovering").toBool());
}

// Files that are not there fail at once, so the list's own cost is what this measures: 10,000
// jobs ending are shown in a few updates a second, not one each.
void BatchTest::tenThousandJobsAreListed() {
    QStringList paths;
    for (int i = 0; i < 10000; ++i) paths << launched->file(QString("missing%1.bmp").arg(i));
    int updates = 0;
    connect(app()->batch, &BatchModel::dataChanged, this, [&updates] { ++updates; });
    QElapsedTimer clock;
    clock.start();
    drop(app()->window, paths);
    QCOMPARE(app()->batch->rowCount(), 10000);
    QVERIFY(batchShownEnded());
    QVERIFY2(updates <= 2 + 5 * clock.elapsed() / 1000, qPrintable(QString::number(updates)));
    QCOMPARE(app()->countField->text(), QString("0 resized, 10000 failed, 0 damaged"));
    QCOMPARE(cell(app()->batch, 9999, BatchModel::NameColumn), QString("missing9999.bmp"));
}

void BatchTest::aFileOfSeveralFramesSaysSoInItsRow() {
    QVERIFY(writeFile(launched->file("pages.tif"), twoPageTiff()));
    drop(app()->window, {launched->file("pages.tif")});
    QVERIFY(batchShownEnded());
    // A note is no damage: the row is done, the note follows the size and name.
    QCOMPARE(cell(app()->batch, 0, BatchModel::StateColumn), QString("done"));
    QCOMPARE(cell(app()->batch, 0, BatchModel::ResultColumn),
             QString("48x48, pages_001.jpg (first of 2 frames)"));
}

QTEST_MAIN(BatchTest)
#include "batch_test.moc"
