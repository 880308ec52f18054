// SPDX-License-Identifier: MIT
// Launch and quit: the controls show the loaded settings, and quitting saves them.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <memory>

#include "AppTestSupport.h"
#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "engine/AppCallbacks.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

class LaunchTest : public QObject {
    Q_OBJECT

  private slots:
    void controlsShowLoadedSettings();
    void unknownOutputTypeKeepsInitialItem();
    void destinationWordsSwitchCells();
    void quitSavesSettingsAndDestroysEngine();
};

void LaunchTest::controlsShowLoadedSettings() {
    LaunchedApp launched(
        configWith("<RESOLUTION>640x480</RESOLUTION>\n<OUTPUTFILETYPE>bmp</OUTPUTFILETYPE>\n"
                   "<OUTPUTFILENAME>img%N3%</OUTPUTFILENAME>\n<OUTPUTFIXEDFOLDER>/tmp/Bilder "
                   "größer</OUTPUTFIXEDFOLDER>\n"
                   "<OUTPUTSUBFOLDER>small</OUTPUTSUBFOLDER>\n<CROPMODE>stretch</CROPMODE>\n"
                   "<DESTINATION>fixedfolder</DESTINATION>\n<OVERWRITE>yes</"
                   "OVERWRITE>\n<ROTATE>landscapeccw</ROTATE>\n"));
    PixmillAppDelegate* app = launched.app;
    // The callbacks reach the controls only through appPtr, so every value shown below proves it
    // was set before the engine pushed its settings.
    QCOMPARE(appPtr, app);
    QVERIFY(app->window->acceptDrops());
    QCOMPARE(app->resolutionComboBox->currentText(), QString("640x480"));
    QCOMPARE(app->outputFormat->currentIndex(), 1);
    QCOMPARE(app->crop->currentIndex(), 2);
    QCOMPARE(app->overwrite->currentIndex(), 1);
    QCOMPARE(app->rotation->currentIndex(), 3);
    QVERIFY(app->dest_fixedFolder->isChecked());
    QVERIFY(!app->dest_subFolder->isChecked() && !app->dest_sameFolder->isChecked());
    QCOMPARE(app->subFolder->text(), QString("small"));
    QCOMPARE(app->fixedFolder->text(), QString("/tmp/Bilder größer"));
    QCOMPARE(app->outputFilename->text(), QString("img%N3%"));
    // Showing a value is not a change by the user: nothing goes back to the engine.
    appSetRotation(0);
    appSetResolution("1x1");
    QCOMPARE(int(pxm->rotate), 3);
    QCOMPARE(pxm->resolution, std::string("640x480"));
}

void LaunchTest::unknownOutputTypeKeepsInitialItem() {
    LaunchedApp launched(configWith("<OUTPUTFILETYPE>gif</OUTPUTFILETYPE>\n"));
    QCOMPARE(launched.app->outputFormat->currentIndex(), 0);
    QCOMPARE(pxm->outputFileType, std::string("gif"));
}

void LaunchTest::destinationWordsSwitchCells() {
    LaunchedApp launched;
    PixmillAppDelegate* app = launched.app;
    QVERIFY(app->dest_subFolder->isChecked());  // the engine's default
    appSetDestination("same");
    QVERIFY(app->dest_sameFolder->isChecked() && !app->dest_subFolder->isChecked());
    appSetDestination("samefolder");
    QVERIFY(!app->dest_sameFolder->isChecked() && !app->dest_subFolder->isChecked() &&
            !app->dest_fixedFolder->isChecked());
}

void LaunchTest::quitSavesSettingsAndDestroysEngine() {
    auto launched = std::make_unique<LaunchedApp>();
    PixmillAppDelegate* app = launched->app;
    QVERIFY(QGuiApplication::quitOnLastWindowClosed());
    app->rotation->setCurrentIndex(4);
    app->rotationSelector();
    QAction* quit = nullptr;
    for (QAction* action : app->window->findChildren<QAction*>())
        if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_Q)) quit = action;
    QVERIFY(quit);
    quit->trigger();
    QApplication::exec();  // runs the quit just asked for
    QVERIFY(pxm == nullptr);
    QFile config(launched->settingsFolder() + "/config.xml");
    QVERIFY(config.open(QIODevice::ReadOnly));
    QVERIFY(config.readAll().contains("<ROTATE>portrait</ROTATE>"));
}

QTEST_MAIN(LaunchTest)
#include "launch_test.moc"
