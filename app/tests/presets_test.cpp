// SPDX-License-Identifier: MIT
// The preset bar: choosing a preset sets the engine and shows it in the controls; saving, renaming
// and deleting change presets.xml and the list.
#include "engine/Presets.h"

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "AppTestSupport.h"
#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "app/PresetBar.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

namespace {

QStringList itemsOf(const QComboBox* popUp) {
    QStringList items;
    for (int i = 0; i < popUp->count(); ++i) items << popUp->itemText(i);
    return items;
}

}  // namespace

class PresetsTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        launched = std::make_unique<LaunchedApp>();
        bar = launched->app->window->findChild<PresetBar*>();
        QVERIFY(bar);
        QCoreApplication::processEvents();  // the first reading of the presets
    }
    void cleanup() { launched.reset(); }

    void choosingAPresetFillsTheControls() {
        QCOMPARE(itemsOf(bar->popUp).first(), QStringLiteral("Web 1600"));
        QVERIFY(!bar->deleteButton->isEnabled());
        bar->popUp->setFocus();
        QTest::keyClick(bar->popUp, Qt::Key_Down);  // the first preset, chosen with the keyboard
        QCOMPARE(QString::fromStdString(pxm->resolution), QStringLiteral("1600"));
        QCOMPARE(launched->app->resolutionComboBox->currentText(), QStringLiteral("1600"));
        QCOMPARE(launched->app->outputFormat->currentIndex(), 3);  // WebP
        QVERIFY(bar->deleteButton->isEnabled());
    }

    void saveRenameAndDeleteChangeTheList() {
        pxm->resolution = "4000";
        QVERIFY(bar->saveAs(QStringLiteral("Print 4000")));
        QCOMPARE(bar->popUp->currentText(), QStringLiteral("Print 4000"));
        QVERIFY(bar->rename(QStringLiteral("Print 4000"), QStringLiteral("Print")));
        QVERIFY(bar->remove(QStringLiteral("Email 1024")));
        QCOMPARE(itemsOf(bar->popUp),
                 QStringList({"Web 1600", "Thumbnails 320", "Same size, no location", "Print"}));
        QCOMPARE(presetNames(pxm->settingsFolder).back(), std::string("Print"));
        pxm->resolution = "50%";
        QVERIFY(bar->choose(QStringLiteral("Print")));
        QCOMPARE(launched->app->resolutionComboBox->currentText(), QStringLiteral("4000"));
    }

  private:
    std::unique_ptr<LaunchedApp> launched;
    PresetBar* bar = nullptr;
};

QTEST_MAIN(PresetsTest)
#include "presets_test.moc"
