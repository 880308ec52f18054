// SPDX-License-Identifier: MIT
// PresetBar: the window's preset pop-up with Save as preset, Rename and Delete.
#pragma once

#include <QComboBox>
#include <QString>
#include <QWidget>
#include <string>

class QPushButton;

// A pop-up that reads presets.xml again each time it opens, so it shows what the command line
// (or another window) stored meanwhile.
class PresetPopUp : public QComboBox {
    Q_OBJECT

  public:
    using QComboBox::QComboBox;
    void showPopup() override;

  protected:
    void focusInEvent(QFocusEvent* event) override;

  signals:
    void aboutToShow();
};

class PresetBar : public QWidget {
    Q_OBJECT

  public:
    explicit PresetBar(QWidget* parent = nullptr);

    PresetPopUp* popUp = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* renameButton = nullptr;
    QPushButton* deleteButton = nullptr;

    // The names of the engine's presets file, the chosen one kept chosen when it is still there.
    void reload();
    // Sets the engine from the preset and lets it push every setting into the window's controls;
    // false (after saying why) when the preset cannot be read.
    bool choose(const QString& name);
    // The changes behind the dialogs, each followed by a reload; false after saying why.
    bool saveAs(const QString& name);
    bool rename(const QString& from, const QString& to);
    bool remove(const QString& name);

  public slots:
    void presetChosen(int index);
    void askSaveAs();
    void askRename();
    void askDelete();
    // Writes the file managers' menus for the presets there are, so the shipped defaults have
    // their entries before the first change (a menu that is already right is not rewritten).
    void refreshMenus();

  private slots:
    void updateButtons();

  private:
    void showProblem(const QString& what, const std::string& why);
    // Says why a change failed, or what went wrong beside a change that was made.
    void reportChange(bool done, const QString& failure, const std::string& why);
};
