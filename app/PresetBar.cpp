// SPDX-License-Identifier: MIT
// PresetBar: the preset pop-up and its buttons; each one hands a name to the engine's presets.
#include "app/PresetBar.h"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "engine/PresetMenus.h"
#include "engine/Presets.h"

namespace {

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

}  // namespace

void PresetPopUp::showPopup() {
    emit aboutToShow();
    QComboBox::showPopup();
}

void PresetPopUp::focusInEvent(QFocusEvent* event) {
    emit aboutToShow();
    QComboBox::focusInEvent(event);
}

PresetBar::PresetBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("presetBar"));
    popUp = new PresetPopUp;
    popUp->setPlaceholderText(tr("Choose a preset"));
    popUp->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    popUp->setAccessibleName(tr("Preset"));
    popUp->setToolTip(tr("Sets every output setting from a named preset, shared with pixmill-cli --preset"));
    auto* label = new QLabel(tr("&Preset:"));
    label->setBuddy(popUp);
    saveButton = new QPushButton(tr("Sa&ve as preset..."));
    saveButton->setAccessibleName(tr("Save the output settings as a preset"));
    renameButton = new QPushButton(tr("Rena&me..."));
    renameButton->setAccessibleName(tr("Rename the chosen preset"));
    deleteButton = new QPushButton(tr("De&lete"));
    deleteButton->setAccessibleName(tr("Delete the chosen preset"));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(label);
    layout->addWidget(popUp, 1);
    layout->addWidget(saveButton);
    layout->addWidget(renameButton);
    layout->addWidget(deleteButton);

    connect(popUp, &PresetPopUp::aboutToShow, this, &PresetBar::reload);
    connect(popUp, qOverload<int>(&QComboBox::activated), this, &PresetBar::presetChosen);
    connect(popUp, qOverload<int>(&QComboBox::currentIndexChanged), this, &PresetBar::updateButtons);
    connect(saveButton, &QPushButton::clicked, this, &PresetBar::askSaveAs);
    connect(renameButton, &QPushButton::clicked, this, &PresetBar::askRename);
    connect(deleteButton, &QPushButton::clicked, this, &PresetBar::askDelete);
    updateButtons();
    // Once the event loop runs, the engine exists.
    QTimer::singleShot(0, this, [this] {
        reload();
        refreshMenus();
    });
}

void PresetBar::reload() {
    if (!pxm) return;
    const QString chosen = popUp->currentText();
    popUp->clear();
    std::vector<Preset> presets;
    std::string why;
    const bool readable = readPresets(pxm->settingsFolder, presets, why);
    popUp->setPlaceholderText(readable ? tr("Choose a preset") : tr("Presets unreadable"));
    for (const std::string& name : presetNames(pxm->settingsFolder))
        popUp->addItem(QString::fromStdString(name));
    popUp->setToolTip(why.empty() ? tr("Sets every output setting from a named preset, shared with "
                                       "pixmill-cli --preset")
                                  : QString::fromStdString(why));
    popUp->setCurrentIndex(popUp->findText(chosen, Qt::MatchExactly));
}

bool PresetBar::choose(const QString& name) {
    std::string why;
    if (!pxm || !applyPreset(*pxm, utf8(name), why)) {
        showProblem(tr("The preset could not be used."), why);
        return false;
    }
    pxm->initGUIMac();
    return true;
}

bool PresetBar::saveAs(const QString& name) {
    std::string why;
    const bool saved = pxm && savePreset(*pxm, utf8(name), why);
    reportChange(saved, tr("The preset could not be saved."), why);
    reload();
    if (saved) popUp->setCurrentIndex(popUp->findText(name.trimmed(), Qt::MatchExactly));
    return saved;
}

bool PresetBar::rename(const QString& from, const QString& to) {
    std::string why;
    const bool renamed = pxm && renamePreset(pxm->settingsFolder, utf8(from), utf8(to), why);
    reportChange(renamed, tr("The preset could not be renamed."), why);
    reload();
    if (renamed) popUp->setCurrentIndex(popUp->findText(to.trimmed(), Qt::MatchExactly));
    return renamed;
}

bool PresetBar::remove(const QString& name) {
    std::string why;
    const bool removed = pxm && deletePreset(pxm->settingsFolder, utf8(name), why);
    reportChange(removed, tr("The preset could not be deleted."), why);
    reload();
    return removed;
}

void PresetBar::presetChosen(int index) {
    if (index >= 0) choose(popUp->itemText(index));
}

void PresetBar::askSaveAs() {
    bool ok = false;
    const QString name = QInputDialog::getText(window(), tr("Save as Preset"),
                                               tr("Name of the preset for the current output settings:"),
                                               QLineEdit::Normal, popUp->currentText(), &ok);
    if (!ok || name.trimmed().isEmpty()) return;
    reload();
    if (popUp->findText(name.trimmed(), Qt::MatchExactly) >= 0 &&
        QMessageBox::question(window(), tr("Replace Preset"),
                              tr("There is a preset \"%1\" already. Replace it?").arg(name.trimmed())) !=
            QMessageBox::Yes)
        return;
    saveAs(name);
}

void PresetBar::askRename() {
    const QString from = popUp->currentText();
    bool ok = false;
    const QString to = QInputDialog::getText(
        window(), tr("Rename Preset"), tr("New name of \"%1\":").arg(from), QLineEdit::Normal, from, &ok);
    if (ok && !to.trimmed().isEmpty() && to != from) rename(from, to);
}

void PresetBar::askDelete() {
    const QString name = popUp->currentText();
    if (QMessageBox::question(window(), tr("Delete Preset"), tr("Delete the preset \"%1\"?").arg(name)) ==
        QMessageBox::Yes)
        remove(name);
}

void PresetBar::refreshMenus() {
    std::vector<Preset> presets;
    std::string why;
    // A file that cannot be read now says nothing about the menus: they stay as they are.
    if (!pxm || !readPresets(pxm->settingsFolder, presets, why)) return;
    writePresetMenus(userDataFolder(), presetNames(pxm->settingsFolder), why);
}

void PresetBar::showProblem(const QString& what, const std::string& why) {
    QMessageBox::warning(window(), tr("Presets"), what + "\n" + QString::fromStdString(why));
}

void PresetBar::reportChange(bool done, const QString& failure, const std::string& why) {
    if (!done)
        showProblem(failure, why);
    else if (!why.empty())
        showProblem(tr("The presets were changed, but not everything went well:"), why);
}

void PresetBar::updateButtons() {
    const bool chosen = popUp->currentIndex() >= 0;
    renameButton->setEnabled(chosen);
    deleteButton->setEnabled(chosen);
}
