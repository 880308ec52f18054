// SPDX-License-Identifier: MIT
// Each control, changed as a user changes it, makes its one bridge call with its word or text.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <memory>

#include "AppTestSupport.h"
#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "engine/AppCallbacks.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

namespace {

// Picks the item at `index` of a closed pop-up with the keyboard, as a user does (passing the
// items before it on the way).
void pickItem(QComboBox* popUp, int index) {
    QTest::keyClick(popUp, Qt::Key_Home);
    for (int i = 0; i < index; ++i) QTest::keyClick(popUp, Qt::Key_Down);
}

}  // namespace

class ControlsTest : public QObject {
    Q_OBJECT

  public slots:
    void openUrl(const QUrl& url) { openedUrls << url; }

  private slots:
    void init() { launched = std::make_unique<LaunchedApp>(); }
    void cleanup() { launched.reset(); }

    void popUpsSendTheirWords_data();
    void popUpsSendTheirWords();
    void positionWithoutWordSendsNothing();
    void destinationCellsSendTheirWords();
    void noDestinationCellOnSendsNothing();
    void everyKeystrokeSendsTheWholeResolution();
    void pickingAPresetSendsThePreset();
    void textFieldsSendWhatIsTyped();
    void chosenFixedFolderIsShownAndSent();
    void helpOpensTheReadme();
    void fastDraftBoxSendsItsState();
    void laterSettingsGoAndComeBack_data();
    void laterSettingsGoAndComeBack();
    void sizeWordsAreOffered();

  private:
    std::unique_ptr<LaunchedApp> launched;
    QList<QUrl> openedUrls;
};

void ControlsTest::popUpsSendTheirWords_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("code");
    // Every row ends away from the engine's default, so a missing call shows.
    QTest::newRow("rotation none") << "rotation" << 0 << 0;
    QTest::newRow("rotation landscape") << "rotation" << 2 << 2;
    QTest::newRow("rotation landscapeccw") << "rotation" << 3 << 3;
    QTest::newRow("rotation portrait") << "rotation" << 4 << 4;
    QTest::newRow("crop crop") << "crop" << 1 << 1;
    QTest::newRow("crop stretch") << "crop" << 2 << 2;
    QTest::newRow("overwrite yes") << "overwrite" << 1 << 1;
    QTest::newRow("format bmp") << "outputFormat" << 1 << 1;
    QTest::newRow("format jxl") << "outputFormat" << 5 << 5;
    QTest::newRow("format same") << "outputFormat" << 7 << 7;
}

void ControlsTest::popUpsSendTheirWords() {
    QFETCH(QString, control);
    QFETCH(int, position);
    QFETCH(int, code);
    PixmillAppDelegate* app = launched->app;
    if (control == "rotation") {
        pickItem(app->rotation, position);
        QCOMPARE(int(pxm->rotate), code);
    } else if (control == "crop") {
        pickItem(app->crop, position);
        QCOMPARE(int(pxm->cropMode), code);
    } else if (control == "overwrite") {
        pickItem(app->overwrite, position);
        QCOMPARE(int(pxm->overwrite), code);
    } else {
        pickItem(app->outputFormat, position);
        const char* const words[] = {"jpg", "bmp", "png", "webp", "avif", "jxl", "tif", "same"};
        QCOMPARE(pxm->outputFileType, std::string(words[code]));
    }
}

void ControlsTest::positionWithoutWordSendsNothing() {
    PixmillAppDelegate* app = launched->app;
    app->rotation->addItem("sixth");
    app->rotation->setCurrentIndex(5);
    emit app->rotation->activated(5);
    QCOMPARE(int(pxm->rotate), int(Rotation::ByExif));
}

// Clicks a radio button on its label, where a user clicks.
void clickCell(QRadioButton* cell) {
    QTest::mouseClick(cell, Qt::LeftButton, {}, QPoint(8, cell->height() / 2));
}

void ControlsTest::destinationCellsSendTheirWords() {
    PixmillAppDelegate* app = launched->app;
    clickCell(app->dest_sameFolder);
    QCOMPARE(int(pxm->destination), int(Destination::SameFolder));
    clickCell(app->dest_fixedFolder);
    QCOMPARE(int(pxm->destination), int(Destination::FixedFolder));
    QVERIFY(!app->dest_sameFolder->isChecked());
    clickCell(app->dest_subFolder);
    QCOMPARE(int(pxm->destination), int(Destination::SubFolder));
}

void ControlsTest::noDestinationCellOnSendsNothing() {
    PixmillAppDelegate* app = launched->app;
    appSetDestination("none of them");
    pxm->destination = Destination::FixedFolder;
    app->destinationSelector();
    QCOMPARE(int(pxm->destination), int(Destination::FixedFolder));
}

void ControlsTest::everyKeystrokeSendsTheWholeResolution() {
    QLineEdit* editor = launched->app->resolutionComboBox->lineEdit();
    editor->selectAll();
    QTest::keyClick(editor, Qt::Key_Delete);
    QCOMPARE(pxm->resolution, std::string());
    const QString typed = "800x";
    for (int i = 0; i < typed.size(); ++i) {
        QTest::keyClick(editor, typed[i].toLatin1());
        QCOMPARE(QString::fromStdString(pxm->resolution), typed.left(i + 1));
    }
    // Nothing completes "800x" into a preset such as 800x600.
    QCOMPARE(editor->text(), typed);
    QTest::keyClick(editor, Qt::Key_Backspace);
    QCOMPARE(pxm->resolution, std::string("800"));
}

void ControlsTest::pickingAPresetSendsThePreset() {
    QComboBox* combo = launched->app->resolutionComboBox;
    int index = combo->findText("50%");
    QVERIFY(index > 0);
    combo->setCurrentIndex(index);
    emit combo->activated(index);  // what the list does when the user clicks an item
    QCOMPARE(pxm->resolution, std::string("50%"));
    QCOMPARE(combo->currentText(), QString("50%"));
}

void ControlsTest::textFieldsSendWhatIsTyped() {
    PixmillAppDelegate* app = launched->app;
    app->subFolder->clear();
    QTest::keyClicks(app->subFolder, "klein");
    QCOMPARE(pxm->outputSubFolder, std::string("klein"));
    app->outputFilename->clear();
    QTest::keyClicks(app->outputFilename, "%SRC%-%N4%");
    QCOMPARE(pxm->outputFileName, std::string("%SRC%-%N4%"));
    app->outputFilename->setText("set by code");
    QTest::keyClick(app->outputFilename, Qt::Key_Return);
    QCOMPARE(pxm->outputFileName, std::string("set by code"));
}

void ControlsTest::chosenFixedFolderIsShownAndSent() {
    PixmillAppDelegate* app = launched->app;
    const QString folder = QDir(launched->file("out")).absolutePath();
    QVERIFY(QDir().mkpath(folder));
    // The chooser is modal: answer it from the event loop it runs.
    QTimer::singleShot(0, [folder] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        dialog->setDirectory(folder);
        static_cast<QDialog*>(dialog)->accept();
    });
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    app->chooseFixedFolder();
    QCOMPARE(app->fixedFolder->text(), folder);
    QCOMPARE(QString::fromStdString(pxm->outputFixedFolder), folder);
}

void ControlsTest::helpOpensTheReadme() {
    QDesktopServices::setUrlHandler("file", this, "openUrl");
    launched->app->showHelp();
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(openedUrls.size(), 1);
    QVERIFY(openedUrls[0].isLocalFile());
    QVERIFY(openedUrls[0].toLocalFile().endsWith("README.md"));
    QVERIFY(QFile::exists(openedUrls[0].toLocalFile()));
}

void ControlsTest::fastDraftBoxSendsItsState() {
    QCheckBox* box = launched->app->fastDraft;
    QVERIFY(!box->isChecked());
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    QVERIFY(bool(pxm->fastDraft));
    QTest::keyClick(box, Qt::Key_Space);
    QVERIFY(!pxm->fastDraft);
    appSetFastDraft(true);
    QVERIFY(box->isChecked());
}

// The control of the window that the table calls `control`.
QWidget* controlNamed(PixmillAppDelegate* app, const QString& control) {
    const QMap<QString, QWidget*> controls = {
        {"noEnlarge", app->noEnlarge}, {"progressive", app->progressive}, {"linear", app->linearLight},
        {"keepDates", app->keepDates}, {"filter", app->resizeQuality},    {"sharpen", app->sharpen},
        {"metadata", app->metadata},   {"colour", app->colour},           {"maxBytes", app->maxBytes},
        {"moreSizes", app->moreSizes}, {"quality", app->qualityBox},      {"webpBox", app->moreTypes[2]}};
    return controls.value(control);
}

// Changes the control as a user does.
void operate(QWidget* control, const QString& value) {
    if (auto* box = qobject_cast<QCheckBox*>(control)) {
        if (box->isChecked() != (value == "true")) QTest::keyClick(box, Qt::Key_Space);
    } else if (auto* popUp = qobject_cast<QComboBox*>(control)) {
        pickItem(popUp, value.toInt());
    } else if (auto* field = qobject_cast<QLineEdit*>(control)) {
        field->clear();
        QTest::keyClicks(field, value);
    } else if (auto* number = qobject_cast<QSpinBox*>(control)) {
        number->selectAll();
        QTest::keyClicks(number, value);
    }
}

QString shownIn(QWidget* control) {
    if (auto* box = qobject_cast<QCheckBox*>(control)) return box->isChecked() ? "true" : "false";
    if (auto* popUp = qobject_cast<QComboBox*>(control)) return QString::number(popUp->currentIndex());
    if (auto* field = qobject_cast<QLineEdit*>(control)) return field->text();
    if (auto* number = qobject_cast<QSpinBox*>(control)) return QString::number(number->value());
    return QString();
}

void ControlsTest::laterSettingsGoAndComeBack_data() {
    QTest::addColumn<int>("format");  // the format chosen first; -1 leaves the default
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("element");  // what config.xml then holds, and what sets it back
    // clang-format off
    QTest::newRow("never enlarge") << -1 << "noEnlarge" << "true" << "<NOENLARGE>true</NOENLARGE>";
    QTest::newRow("progressive") << -1 << "progressive" << "true" << "<PROGRESSIVE>true</PROGRESSIVE>";
    QTest::newRow("linear") << -1 << "linear" << "true" << "<LINEAR>true</LINEAR>";
    QTest::newRow("keep dates") << -1 << "keepDates" << "true" << "<KEEPDATES>true</KEEPDATES>";
    QTest::newRow("nearest") << -1 << "filter" << "3" << "<RESIZEQUALITY>nearest</RESIZEQUALITY>";
    QTest::newRow("basic") << -1 << "filter" << "0" << "<RESIZEQUALITY>basic</RESIZEQUALITY>";
    QTest::newRow("sharpen") << -1 << "sharpen" << "2" << "<SHARPEN>medium</SHARPEN>";
    QTest::newRow("no location") << -1 << "metadata" << "1" << "<METADATA>no-location</METADATA>";
    QTest::newRow("no metadata") << -1 << "metadata" << "2" << "<METADATA>none</METADATA>";
    QTest::newRow("srgb") << -1 << "colour" << "1" << "<COLOUR>srgb</COLOUR>";
    QTest::newRow("size limit") << -1 << "maxBytes" << "500K" << "<MAXBYTES>512000</MAXBYTES>";
    QTest::newRow("more sizes") << -1 << "moreSizes" << "1024, 320" << "<MORESIZES>1024,320</MORESIZES>";
    QTest::newRow("more types") << -1 << "webpBox" << "true" << "<MORETYPES>webp</MORETYPES>";
    QTest::newRow("jpeg quality") << 0 << "quality" << "75" << "<JPEGQUALITY>75</JPEGQUALITY>";
    QTest::newRow("webp quality") << 3 << "quality" << "70" << "<WEBPQUALITY>70</WEBPQUALITY>";
    QTest::newRow("avif quality") << 4 << "quality" << "50" << "<AVIFQUALITY>50</AVIFQUALITY>";
    QTest::newRow("jxl quality") << 5 << "quality" << "100" << "<JXLQUALITY>100</JXLQUALITY>";
    // clang-format on
}

// Each control sends its setting, and a window launched on that setting shows it again (the
// settings pushed by initGUIMac, as after a preset).
void ControlsTest::laterSettingsGoAndComeBack() {
    QFETCH(int, format);
    QFETCH(QString, control);
    QFETCH(QString, value);
    QFETCH(QString, element);
    const char* const formats[] = {"jpg", "bmp", "png", "webp", "avif", "jxl", "tif", "same"};
    if (format >= 0) pickItem(launched->app->outputFormat, format);
    operate(controlNamed(launched->app, control), value);
    QVERIFY2(QString::fromStdString(pxm->settingsText()).contains(element), pxm->settingsText().c_str());

    const QString shownFormat =
        format >= 0 ? QString("<OUTPUTFILETYPE>%1</OUTPUTFILETYPE>\n").arg(formats[format]) : QString();
    launched.reset();
    launched = std::make_unique<LaunchedApp>(configWith(shownFormat + element + "\n"));
    QCOMPARE(shownIn(controlNamed(launched->app, control)), value);
}

void ControlsTest::sizeWordsAreOffered() {
    QComboBox* combo = launched->app->resolutionComboBox;
    for (const char* word : {"2048", "1600x", "x1080", "50%"}) QVERIFY2(combo->findText(word) >= 0, word);
}

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"
