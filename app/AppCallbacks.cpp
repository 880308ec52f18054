// SPDX-License-Identifier: MIT
// The engine's callbacks into the window: setting values at start, status and progress from workers.
#include "engine/AppCallbacks.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMetaObject>
#include <QRadioButton>

#include "app/PixmillAppDelegate.h"

// Set once at launch, before any job can exist, and cleared only after the engine (and with it
// every worker) is gone, so workers read it without a lock.
PixmillAppDelegate* appPtr = nullptr;

namespace {

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void selectItem(QComboBox* popUp, int index) {
    if (index >= 0 && index < popUp->count()) popUp->setCurrentIndex(index);
}

}  // namespace

void appSetStatusField(const std::string& text) {
    PixmillAppDelegate* app = appPtr;
    if (!app) return;
    // The copy travels with the queued call; the caller's text may be gone when it runs.
    QString copy = fromUtf8(text);
    QMetaObject::invokeMethod(
        app, [app, copy] { app->showStatus(copy); }, Qt::QueuedConnection);
}

void appSetProgressBar(double fraction) {
    PixmillAppDelegate* app = appPtr;
    if (!app) return;
    QMetaObject::invokeMethod(
        app, [app, fraction] { app->showProgress(fraction); }, Qt::QueuedConnection);
}

void appSetResolution(const std::string& text) {
    if (appPtr) appPtr->resolutionComboBox->setEditText(fromUtf8(text));
}

void appSetOutputFormat(int index) {
    if (appPtr) selectItem(appPtr->outputFormat, index);
}

void appSetRotation(int code) {
    if (appPtr) selectItem(appPtr->rotation, code);
}

void appSetOverwrite(int code) {
    if (appPtr) selectItem(appPtr->overwrite, code);
}

void appSetCrop(int code) {
    if (appPtr) selectItem(appPtr->crop, code);
}

void appSetOutputFileName(const std::string& text) {
    if (appPtr) appPtr->outputFilename->setText(fromUtf8(text));
}

void appSetSubFolder(const std::string& text) {
    if (appPtr) appPtr->subFolder->setText(fromUtf8(text));
}

void appSetFixedFolder(const std::string& path) {
    if (appPtr) appPtr->fixedFolder->setText(fromUtf8(path));
}

void appSetFastDraft(bool on) {
    if (appPtr) appPtr->fastDraft->setChecked(on);
}

void appSetDestination(const std::string& word) {
    if (!appPtr) return;
    // An exclusive group never lets its last checked button go; switching all off needs it open.
    appPtr->destinationGroup->setExclusive(false);
    for (QRadioButton* cell : {appPtr->dest_fixedFolder, appPtr->dest_subFolder, appPtr->dest_sameFolder})
        cell->setChecked(false);
    if (word == "fixed") appPtr->dest_fixedFolder->setChecked(true);
    if (word == "subfolder") appPtr->dest_subFolder->setChecked(true);
    if (word == "same") appPtr->dest_sameFolder->setChecked(true);
    appPtr->destinationGroup->setExclusive(true);
}

void appSetSetting(const std::string& name, const std::string& word) {
    if (appPtr) appPtr->showSetting(fromUtf8(name), fromUtf8(word));
}
