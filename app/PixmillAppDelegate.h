// SPDX-License-Identifier: MIT
// PixmillAppDelegate: owns the window's controls and turns each control event into one bridge call.
#pragma once

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <atomic>

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
class QSlider;
class QSpinBox;
class QTabWidget;
class QThreadPool;
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
    QCheckBox* fastDraft = nullptr;    // "Fast draft decoding"
    QCheckBox* noEnlarge = nullptr;    // "Never enlarge"
    QLineEdit* moreSizes = nullptr;    // further sizes of several outputs, "1024, 320"
    QList<QCheckBox*> moreTypes;       // further types, one box each (kMoreTypeWords' order)
    QSlider* qualitySlider = nullptr;  // the quality of the type chosen, with qualityBox
    QSpinBox* qualityBox = nullptr;
    QCheckBox* progressive = nullptr;  // "Progressive JPEG"
    QLineEdit* maxBytes = nullptr;     // file-size limit, "500K"; empty for none
    QComboBox* resizeQuality = nullptr;
    QCheckBox* linearLight = nullptr;
    QComboBox* sharpen = nullptr;
    QComboBox* metadata = nullptr;
    QComboBox* colour = nullptr;
    QCheckBox* keepDates = nullptr;

    // Controls of this window that the engine does not reach.
    QPushButton* fixedFolderButton = nullptr;
    QButtonGroup* destinationGroup = nullptr;
    QLabel* dropZone = nullptr;   // the hint where files go; highlighted while a file drag hovers
    BatchModel* batch = nullptr;  // the jobs of the current batch
    QTreeView* jobList = nullptr;
    QLabel* countField = nullptr;    // "37 of 120 done, 2 failed", then the batch's summary
    QLabel* refusedField = nullptr;  // "2 files were not images", shown when a drop refused any
    QPushButton* stopButton = nullptr;
    QTabWidget* settingsTabs = nullptr;
    // The preview: the selected (or first dropped) source and its result at the current settings.
    QLabel* previewSource = nullptr;
    QLabel* previewResult = nullptr;
    QLabel* previewSourceInfo = nullptr;  // "4032 x 3024 pixels, 3.1 MB"
    QLabel* previewResultInfo = nullptr;  // the result's size in pixels and bytes, or why it failed
    QString previewPath;                  // the source shown; empty for none
    // Each request and each change of the settings counts up; a result of an older count is dropped.
    // Read by the preview thread too, so that a request already outdated is not computed.
    std::atomic<quint64> previewGeneration{0};

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
    // The quality of the output type chosen, sent for that type.
    void qualitySelector(int quality);
    // Shows the quality of the output type chosen (types without one disable it).
    void showQualityOfType();
    void moreTypesSelector();
    // The engine's setting `name` (AppCallbacks.h's appSetSetting) shown in its control.
    void showSetting(const QString& name, const QString& word);
    // Shows the preview of `path` (none for empty) at the current settings, computed off the GUI thread.
    void previewFile(const QString& path);
    // A setting changed: a preview under way is dropped and the shown one made again.
    void settingsChanged();
    // The row made current in the list is previewed.
    void previewCurrentRow();
    // Paths about to be dropped: the first image is previewed unless a batch runs.
    void previewDrop(const QStringList& paths);
    // Decodes a thumbnail of an output off the GUI thread and hands it to the batch.
    void makeThumbnail(const QString& output);

  private:
    void loadInterface();
    QWidget* makeSettingsForm();
    QWidget* makeSizeTab();
    QWidget* makeFormatTab();
    QWidget* makeQualityTab();
    QWidget* makeMetadataTab();
    QWidget* makeDestinationTab();
    QWidget* makePreviewBox();
    void nameControls();
    void connectSettings();
    // The main-thread half of a preview, once it is known to be the latest.
    void showPreview(const QImage& result, const QString& resultLine);
    QString shownSourcePath;  // the source whose picture the preview shows
    QWidget* makeDestinationBox();
    QWidget* makeStatusArea();
    void makeMenus();
    void connectActions();
    QWidget* makeBatchArea();
    // Starts reading the batch a few times a second, unless that already happens.
    void watchBatch();
    QTimer* batchPoll = nullptr;
    QTimer* previewDelay = nullptr;  // settings changes close together make one preview
    QThreadPool* previewPool = nullptr;
    QThreadPool* thumbnailPool = nullptr;
    // The qualities the engine holds, by output type word ("jpg", "webp", "avif", "jxl").
    QHash<QString, int> qualities;
};

// The one delegate, through which the engine's callbacks reach the controls; null until launch.
extern PixmillAppDelegate* appPtr;
