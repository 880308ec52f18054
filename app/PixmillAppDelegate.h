// PixmillAppDelegate: owns the window's controls and turns each control event into one bridge call.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <vector>

class PXMWindow;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
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

    // Controls of this window that the engine does not reach.
    QPushButton* fixedFolderButton = nullptr;
    QButtonGroup* destinationGroup = nullptr;
    QListWidget* failedJobs = nullptr;   // "file name: message", one line per failed job
    QWidget* failedJobsPanel = nullptr;  // the list with its heading, shown once a job failed

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
    // Lists the jobs that ended with an error under the status line.
    void refreshFailedJobs();

  private:
    void loadInterface();
    QWidget* makeSettingsForm();
    QWidget* makeDestinationBox();
    QWidget* makeStatusArea();
    void makeMenus();
    void connectActions();
    QTimer* failurePoll = nullptr;
    int shownFailureCount = 0;
};

// The one delegate, through which the engine's callbacks reach the controls; null until launch.
extern PixmillAppDelegate* appPtr;

// A job that ended with an error, as the engine recorded it.
struct FailedJob {
    QString sourcePath;
    QString message;
};
// The failed jobs of the engine `pxm`, in queue order; read under the engine's task lock.
std::vector<FailedJob> failedJobsOfEngine();
