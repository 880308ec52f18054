// SPDX-License-Identifier: MIT
// The preview beside the settings, the thumbnails of done rows, the progress of each batch, and
// every control reachable by keyboard and named for screen readers.
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QTreeView>
#include <memory>

#include "AppTestSupport.h"
#include "app/BatchModel.h"
#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "engine/Preview.h"
#include "picture/Picture.h"

namespace {

// A w x h JPEG of a smooth pattern.
bool writeJpeg(const QString& path, int w, int h) {
    CPicture picture(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* pixel = picture.pixelAt(x, y);
            pixel[0] = uint8_t(x * 255 / w), pixel[1] = uint8_t(y * 255 / h),
            pixel[2] = uint8_t((x + y) % 256);
        }
    return picture.saveToJPG(path.toStdString(), 90);
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        launched = std::make_unique<LaunchedApp>(configWith("<RESOLUTION>40x30</RESOLUTION>\n"));
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) QVERIFY(writeJpeg(launched->file(name), 80, 60));
    }
    void cleanup() { launched.reset(); }

    void previewIsWhatTheBatchWrites();
    void selectedRowIsPreviewedAndRedoneOnChange();
    void progressCountsEachBatch();
    void everyControlIsReachableAndNamed();

  private:
    std::unique_ptr<LaunchedApp> launched;
    void waitForBatch() {
        pxm->waitUntilIdle();
        launched->app->batch->refresh();
    }
};

void WindowTest::previewIsWhatTheBatchWrites() {
    pxmSetOutputFormat("webp");
    pxmSetOutputSetting("sharpen", "light");
    const QString source = launched->file("a.jpg");
    const PreviewResult preview = PreviewJob(*pxm, source.toStdString()).run(64);
    QVERIFY(preview.written);
    QCOMPARE(preview.width, 40);
    QCOMPARE(preview.picture.width, 40);
    QVERIFY(launched->app->window->handleFilePaths({source}));
    waitForBatch();
    const QString output = launched->app->batch->writtenOutput(0);
    QVERIFY(output.endsWith(".webp"));
    QCOMPARE(fileBytes(output), QByteArray::fromStdString(preview.bytes));
    // The preview left nothing behind, and its name counted nothing.
    QCOMPARE(QDir(launched->file("")).entryList(QDir::Files).size(), 3);
}

void WindowTest::selectedRowIsPreviewedAndRedoneOnChange() {
    PixmillAppDelegate* app = launched->app;
    QVERIFY(app->window->handleFilePaths({launched->file("a.jpg"), launched->file("b.jpg")}));
    // The first file of a drop onto an idle window is previewed.
    QCOMPARE(app->previewPath, launched->file("a.jpg"));
    waitForBatch();
    app->jobList->setCurrentIndex(app->batch->index(1, 0));
    QCOMPARE(app->previewPath, launched->file("b.jpg"));
    QTRY_VERIFY(app->previewResultInfo->text().startsWith("40 x 30 pixels"));
    QVERIFY(!app->previewResult->pixmap().isNull());
    QVERIFY(app->previewSourceInfo->text().startsWith("80 x 60 pixels"));
    // A change of the settings drops the preview under way and makes it again at the new size.
    const quint64 before = app->previewGeneration;
    app->resolutionComboBox->lineEdit()->selectAll();
    QTest::keyClicks(app->resolutionComboBox->lineEdit(), "20x15");
    QVERIFY(app->previewGeneration > before);
    QTRY_VERIFY(app->previewResultInfo->text().startsWith("20 x 15 pixels"));
    // Done rows get a thumbnail of their output once they are shown.
    const QModelIndex result = app->batch->index(0, BatchModel::ResultColumn);
    result.data(Qt::DecorationRole);
    QTRY_VERIFY(!result.data(Qt::DecorationRole).value<QPixmap>().isNull());
}

void WindowTest::progressCountsEachBatch() {
    PixmillAppDelegate* app = launched->app;
    QVERIFY(app->window->handleFilePaths({launched->file("a.jpg"), launched->file("b.jpg")}));
    waitForBatch();
    QCOMPARE(app->progressBar->value(), app->progressBar->maximum());
    QCOMPARE(app->progressBar->maximum(), 2);
    // The next batch counts its own file only, whatever the engine counted before.
    QVERIFY(app->window->handleFilePaths({launched->file("c.jpg")}));
    QCOMPARE(app->progressBar->maximum(), 1);
    waitForBatch();
    QCOMPARE(app->progressBar->value(), 1);
}

void WindowTest::everyControlIsReachableAndNamed() {
    for (QWidget* control : launched->app->window->findChildren<QWidget*>()) {
        // A spin box's own text field is reached, and named, through the spin box.
        if (!(control->focusPolicy() & Qt::TabFocus) || qobject_cast<QAbstractSpinBox*>(control->parent()))
            continue;
        if (control->window() != launched->app->window) continue;  // a pop-up's list, named by its pop-up
        QVERIFY2(!control->accessibleName().isEmpty(), control->metaObject()->className());
        auto* button = qobject_cast<QAbstractButton*>(control);
        if (button && !button->text().isEmpty())
            QVERIFY2(button->text().contains('&'), qPrintable(button->text()));
    }
    for (QLabel* label : launched->app->window->findChildren<QLabel*>())
        if (label->buddy()) QVERIFY2(label->text().contains('&'), qPrintable(label->text()));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
