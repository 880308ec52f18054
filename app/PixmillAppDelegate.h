// SPDX-License-Identifier: MIT
// PixmillAppDelegate: owns the window's controls and turns each control event into one bridge call.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class BatchModel;
class PXMWindow;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QModelIndex;
class QPoint;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class QTreeView;
class QWidget;

class PixmillAppDelegate : public QObject {
    Q_OBJECT

  public:
    // Builds the window with every control and connects each control to its action; nothing
    // reaches the engine until applicationDidFinishLaunching.
    explicit PixmillAppDelegate(QObject* parent = nullptr);
    ~PixmillAppDelegate() override;

    // Outlets, each a control of the window.
    PXMWindow* window = nullptr;
    QComboBox* resolutionComboBox = nullptr;
    QLabel* statusField = nullptr;
    QProgressBar* progressBar = nullptr;
    QComboBox* outputFormat = nullptr;
    QRadioButton* dest_sameFolder = nullptr;
    QRadioButton* dest_subFolder = nullptr;
    QRadioButton* dest_fixedFolder = nullptr;
    QLineEdit* subFolder = nullptr;
    QLineEdit* fixedFolder = nullptr;  // the fixed folder's path, shown read-only
    QLineEdit* outputFilename = nullptr;
    QComboBox* rotation = nullptr;
    QComboBox* overwrite = nullptr;
    QComboBox* crop = nullptr;
    QCheckBox* fastDraft = nullptr;  // "Fast draft decoding"

    // Controls of this window that the engine does not reach.
    QPushButton* fixedFolderButton = nullptr;
    QButtonGroup* destinationGroup = nullptr;
    QLabel* dropZone = nullptr;   // the hint where files go; highlighted while a file drag hovers
    BatchModel* batch = nullptr;  // the jobs of the current batch
    QTreeView* jobList = nullptr;
    QLabel* countField = nullptr;    // "37 of 120 done, 2 failed", then the batch's summary
    QLabel* refusedField = nullptr;  // "2 files were not images", shown when a drop refused any
    QPushButton* stopButton = nullptr;

    // Accepts drops, subscribes to the text fields, sets appPtr, then lets the engine fill the controls.
    void applicationDidFinishLaunching();
    // Lets the workers finish their current jobs, writes the settings and destroys the engine.
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

    // Paths the program was started with, handled like a drop.
    bool openFiles(const QStringList& paths);

    // The documentation: the installed README, or the source tree's when running from a build.
    static QUrl helpUrl();

  public slots:
    void comboBoxSelectionDidChange(int index);
    void cellTextDidChangeEditing();
    void textDidChange();
    void subFolderSelector();
    void outputFileNameSelector();
    void outputFolderSelector();
    void outputFormatSelector();
    void rotationSelector();
    void overwriteSelector();
    void cropSelector();
    void destinationSelector();
    void destFixedSelector();
    void destSubFolderSelector();
    void destSameFolderSelector();
    void showHelp();

    // Opens a folder chooser for the fixed folder; a chosen folder is shown and sent.
    void chooseFixedFolder();
    // The main-thread halves of appSetStatusField and appSetProgressBar.
    void showStatus(const QString& text);
    void showProgress(double fraction);
    // Ends the batch: the running files finish, the waiting ones are skipped (Stop, Esc).
    void stopBatch();
    // Shows the batch's counts and enables Stop while it runs.
    void showBatchCounts();
    void highlightDropZone(bool hovering);
    // Opens the output of a done row (double-click); any other row does nothing.
    void openJobOutput(const QModelIndex& index);
    // Opens the folder of a done row's output in the desktop's file manager.
    void showJobInFolder(const QModelIndex& index);
    // The context menu of a row: Open and Show in folder, enabled when the row's job wrote a file.
    QMenu* jobMenu(const QModelIndex& index);
    void showJobMenu(const QPoint& position);
    // Reads the batch; the timer that calls it stops once the batch has ended.
    void pollBatch();

  private:
    void loadInterface();
    QWidget* makeSettingsForm();
    QWidget* makeDestinationBox();
    QWidget* makeStatusArea();
    void makeMenus();
    void connectActions();
    QWidget* makeBatchArea();
    // Starts reading the batch a few times a second, unless that already happens.
    void watchBatch();
    QTimer* batchPoll = nullptr;
};

// The one delegate, through which the engine's callbacks reach the controls; null until launch.
extern PixmillAppDelegate* appPtr;
