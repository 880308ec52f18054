// SPDX-License-Identifier: MIT
// PixmillAppDelegate: the window's controls, their actions, the menus and the launch sequence.
#include "app/PixmillAppDelegate.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/BatchModel.h"
#include "app/PXMWindow.h"
#include "app/PresetBar.h"
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

namespace {

// The word each pop-up position sends; the positions equal the engine's setting codes.
const char* const kOutputFormatWords[] = {"jpg", "bmp", "png", "webp", "avif", "jxl", "tif", "same"};
const char* const kRotationWords[] = {"none", "exif", "landscape", "landscapeccw", "portrait"};
const char* const kOverwriteWords[] = {"no", "yes"};
const char* const kCropWords[] = {"nocrop", "crop", "stretch"};

const char* const kOutputFormatTitles[] = {"JPEG (.jpg)",  "BMP (.bmp)",        "PNG (.png)",
                                           "WebP (.webp)", "AVIF (.avif)",      "JPEG XL (.jxl)",
                                           "TIFF (.tif)",  "Same as the source"};
const char* const kRotationTitles[] = {"Keep as stored", "By EXIF orientation", "Landscape (turn clockwise)",
                                       "Landscape (turn counter-clockwise)", "Portrait"};
const char* const kOverwriteTitles[] = {"Keep them (skip the image)", "Overwrite them"};
const char* const kCropTitles[] = {"Fit inside the size", "Crop to fill the size", "Stretch to the size"};

const char* const kResolutionPresets[] = {"320x240",   "640x480",   "800x600",   "1024x768",  "1280x720",
                                          "1280x1024", "1600x1200", "1920x1080", "2560x1440", "3840x2160",
                                          "25%",       "50%",       "75%"};

// The batch is read this often while it runs: each read costs a look at every job not yet ended,
// and the list repaints only the rows that changed.
const int kBatchPollMs = 250;

// Sends the word of the selected position; a position without a word sends nothing.
template <size_t N>
void sendWordAt(void (*setter)(const char*), const char* const (&words)[N], int index) {
    if (index >= 0 && static_cast<size_t>(index) < N) setter(words[index]);
}

template <size_t N>
QComboBox* makePopUp(const char* const (&titles)[N]) {
    auto* popUp = new QComboBox;
    for (const char* title : titles) popUp->addItem(QObject::tr(title));
    return popUp;
}

void sendText(void (*setter)(const char*), const QString& text) {
    setter(text.toUtf8().constData());
}

}  // namespace

PixmillAppDelegate::PixmillAppDelegate(QObject* parent) : QObject(parent) {
    batch = new BatchModel(this);
    loadInterface();
    batchPoll = new QTimer(this);
    batchPoll->setInterval(kBatchPollMs);
    connect(batchPoll, &QTimer::timeout, this, &PixmillAppDelegate::pollBatch);
    QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    connect(qApp, &QCoreApplication::aboutToQuit, this, &PixmillAppDelegate::applicationWillTerminate);
}

PixmillAppDelegate::~PixmillAppDelegate() {
    if (appPtr == this) appPtr = nullptr;
    delete window;
}

void PixmillAppDelegate::loadInterface() {
    window = new PXMWindow;
    window->setWindowTitle(tr("Pixmill"));
    window->setMinimumWidth(520);
    window->resize(760, 720);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(new PresetBar);  // presets: app/PresetBar.h
    layout->addWidget(makeSettingsForm());
    layout->addWidget(makeStatusArea());
    layout->addWidget(makeBatchArea(), 1);
    window->setCentralWidget(central);
    makeMenus();
    connectActions();
    // Every drop goes to the window: a text field would otherwise take a dragged file as its text.
    for (QLineEdit* field : {resolutionComboBox->lineEdit(), subFolder, fixedFolder, outputFilename})
        field->setAcceptDrops(false);
}

QWidget* PixmillAppDelegate::makeSettingsForm() {
    resolutionComboBox = new QComboBox;
    resolutionComboBox->setEditable(true);
    resolutionComboBox->setInsertPolicy(QComboBox::NoInsert);
    // No completion: the engine must hold exactly what was typed, not a preset completed into it.
    resolutionComboBox->setCompleter(nullptr);
    for (const char* preset : kResolutionPresets) resolutionComboBox->addItem(QString::fromLatin1(preset));
    resolutionComboBox->setToolTip(tr("Width x height in pixels (\"1024x768\"), or a percentage (\"50%\")"));
    outputFormat = makePopUp(kOutputFormatTitles);
    rotation = makePopUp(kRotationTitles);
    overwrite = makePopUp(kOverwriteTitles);
    crop = makePopUp(kCropTitles);
    outputFilename = new QLineEdit;
    outputFilename->setToolTip(
        tr("%SRC% source name, %DSTX% and %DSTY% target size, %N% counter (%N2% to %N6% zero-padded)"));

    auto* form = new QWidget;
    auto* layout = new QFormLayout(form);
    layout->addRow(tr("&Size:"), resolutionComboBox);
    layout->addRow(tr("&Aspect ratio:"), crop);
    layout->addRow(tr("&Rotation:"), rotation);
    layout->addRow(tr("F&ormat:"), outputFormat);
    layout->addRow(tr("&Existing files:"), overwrite);
    layout->addRow(tr("Save to:"), makeDestinationBox());
    layout->addRow(tr("File &name:"), outputFilename);
    fastDraft = new QCheckBox(tr("Fast &draft decoding"));
    fastDraft->setToolTip(
        tr("JPEG files are decoded at a reduced scale that still leaves 1.5 times the "
           "target size: several times faster, very slightly less sharp"));
    layout->addRow(QString(), fastDraft);
    return form;
}

QWidget* PixmillAppDelegate::makeDestinationBox() {
    dest_sameFolder = new QRadioButton(tr("Source folder"));
    dest_subFolder = new QRadioButton(tr("Sub folder:"));
    dest_fixedFolder = new QRadioButton(tr("Fixed folder:"));
    destinationGroup = new QButtonGroup(this);
    for (QRadioButton* cell : {dest_sameFolder, dest_subFolder, dest_fixedFolder})
        destinationGroup->addButton(cell);
    subFolder = new QLineEdit;
    fixedFolder = new QLineEdit;
    fixedFolder->setReadOnly(true);
    fixedFolder->setPlaceholderText(tr("No folder chosen"));
    fixedFolderButton = new QPushButton(tr("&Choose..."));

    auto* box = new QWidget;
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(dest_sameFolder, 0, 0);
    grid->addWidget(dest_subFolder, 1, 0);
    grid->addWidget(subFolder, 1, 1, 1, 2);
    grid->addWidget(dest_fixedFolder, 2, 0);
    grid->addWidget(fixedFolder, 2, 1);
    grid->addWidget(fixedFolderButton, 2, 2);
    grid->setColumnStretch(1, 1);
    return box;
}

QWidget* PixmillAppDelegate::makeStatusArea() {
    dropZone = new QLabel(tr("Drop photos and images (JPEG, PNG, HEIC, AVIF, WebP, TIFF, JPEG XL, GIF, BMP) on this window to resize them."));
    dropZone->setAlignment(Qt::AlignCenter);
    dropZone->setMinimumHeight(64);
    highlightDropZone(false);
    statusField = new QLabel;
    // Long file names are cut rather than widening the window.
    statusField->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    progressBar = new QProgressBar;
    progressBar->setRange(0, 100);
    progressBar->setValue(0);

    auto* area = new QWidget;
    auto* layout = new QVBoxLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(dropZone);
    layout->addWidget(statusField);
    layout->addWidget(progressBar);
    return area;
}

QWidget* PixmillAppDelegate::makeBatchArea() {
    countField = new QLabel;
    stopButton = new QPushButton(tr("Stop"));
    stopButton->setToolTip(tr("Files being resized are finished, the others are skipped (Esc)"));
    stopButton->setEnabled(false);
    refusedField = new QLabel;
    refusedField->hide();
    jobList = new QTreeView;
    jobList->setModel(batch);
    jobList->setRootIsDecorated(false);
    jobList->setUniformRowHeights(true);  // 10,000 rows are laid out without measuring each
    jobList->setAlternatingRowColors(true);
    jobList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    jobList->setContextMenuPolicy(Qt::CustomContextMenu);
    jobList->header()->setStretchLastSection(true);
    jobList->setColumnWidth(BatchModel::NameColumn, 200);
    jobList->setColumnWidth(BatchModel::StateColumn, 110);
    jobList->setMinimumHeight(120);

    auto* area = new QWidget;
    auto* layout = new QGridLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(countField, 0, 0);
    layout->addWidget(stopButton, 0, 1);
    layout->addWidget(refusedField, 1, 0, 1, 2);
    layout->addWidget(jobList, 2, 0, 1, 2);
    layout->setColumnStretch(0, 1);
    layout->setRowStretch(2, 1);
    return area;
}

void PixmillAppDelegate::makeMenus() {
    QMenu* fileMenu = window->menuBar()->addMenu(tr("&File"));
    QAction* quit = fileMenu->addAction(tr("&Quit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    QMenu* helpMenu = window->menuBar()->addMenu(tr("&Help"));
    QAction* help = helpMenu->addAction(tr("Pixmill &Help"));
    help->setShortcut(QKeySequence::HelpContents);
    connect(help, &QAction::triggered, this, &PixmillAppDelegate::showHelp);
}

void PixmillAppDelegate::connectActions() {
    using D = PixmillAppDelegate;
    connect(resolutionComboBox, qOverload<int>(&QComboBox::activated), this, &D::comboBoxSelectionDidChange);
    connect(subFolder, &QLineEdit::editingFinished, this, &D::subFolderSelector);
    // Sent on every keystroke too, so a drop made while the field is still being edited uses
    // the template the user sees.
    connect(outputFilename, &QLineEdit::textEdited, this, &D::outputFileNameSelector);
    connect(outputFilename, &QLineEdit::editingFinished, this, &D::outputFileNameSelector);
    connect(fixedFolderButton, &QPushButton::clicked, this, &D::chooseFixedFolder);
    connect(outputFormat, qOverload<int>(&QComboBox::activated), this, &D::outputFormatSelector);
    connect(rotation, qOverload<int>(&QComboBox::activated), this, &D::rotationSelector);
    connect(overwrite, qOverload<int>(&QComboBox::activated), this, &D::overwriteSelector);
    connect(crop, qOverload<int>(&QComboBox::activated), this, &D::cropSelector);
    connect(destinationGroup, &QButtonGroup::buttonClicked, this, &D::destinationSelector);
    connect(fastDraft, &QCheckBox::toggled, this, [](bool on) { pxmSetFastDraft(on); });
    connect(stopButton, &QPushButton::clicked, this, &D::stopBatch);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    connect(escape, &QShortcut::activated, this, &D::stopBatch);
    connect(batch, &BatchModel::batchChanged, this, &D::showBatchCounts);
    connect(jobList, &QTreeView::doubleClicked, this, &D::openJobOutput);
    connect(jobList, &QTreeView::customContextMenuRequested, this, &D::showJobMenu);
    connect(window, &PXMWindow::dragHovering, this, &D::highlightDropZone);
    connect(window, &PXMWindow::filesHandled, batch, &BatchModel::noteDrop);
    connect(window, &PXMWindow::filesHandled, this, &D::watchBatch);
}

void PixmillAppDelegate::applicationDidFinishLaunching() {
    using D = PixmillAppDelegate;
    window->setAcceptDrops(true);
    QLineEdit* resolutionEditor = resolutionComboBox->lineEdit();
    connect(resolutionEditor, &QLineEdit::textEdited, this, &D::cellTextDidChangeEditing);
    connect(resolutionEditor, &QLineEdit::editingFinished, this, &D::cellTextDidChangeEditing);
    connect(subFolder, &QLineEdit::textEdited, this, &D::textDidChange);
    appPtr = this;
    pxmInitGUI();
}

void PixmillAppDelegate::applicationWillTerminate() {
    pxmDestroy();
}

bool PixmillAppDelegate::openFiles(const QStringList& paths) {
    QStringList absolute;
    for (const QString& path : paths) {
        // Desktops that ignore the entry's %F hand over file: addresses instead of paths.
        QUrl url(path);
        absolute << QFileInfo(url.isLocalFile() ? url.toLocalFile() : path).absoluteFilePath();
    }
    return window->handleFilePaths(absolute);
}

QUrl PixmillAppDelegate::helpUrl() {
    QString installed =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(PIXMILL_DOC_RELATIVE));
    if (QFile::exists(installed)) return QUrl::fromLocalFile(QDir::cleanPath(installed));
    return QUrl::fromLocalFile(QDir::cleanPath(
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(PIXMILL_SOURCE_README))));
}

void PixmillAppDelegate::comboBoxSelectionDidChange(int index) {
    if (index < 0 || index >= resolutionComboBox->count()) return;
    sendText(pxmSetResolution, resolutionComboBox->itemText(index));
}

void PixmillAppDelegate::cellTextDidChangeEditing() {
    sendText(pxmSetResolution, resolutionComboBox->currentText());
}

void PixmillAppDelegate::textDidChange() {
    sendText(pxmSetSubFolder, subFolder->text());
}

void PixmillAppDelegate::subFolderSelector() {
    sendText(pxmSetSubFolder, subFolder->text());
}

void PixmillAppDelegate::outputFileNameSelector() {
    sendText(pxmSetOutputFileName, outputFilename->text());
}

void PixmillAppDelegate::outputFolderSelector() {
    sendText(pxmSetFixedFolder, fixedFolder->text());
}

void PixmillAppDelegate::outputFormatSelector() {
    sendWordAt(pxmSetOutputFormat, kOutputFormatWords, outputFormat->currentIndex());
}

void PixmillAppDelegate::rotationSelector() {
    sendWordAt(pxmSetRotation, kRotationWords, rotation->currentIndex());
}

void PixmillAppDelegate::overwriteSelector() {
    sendWordAt(pxmSetOverwrite, kOverwriteWords, overwrite->currentIndex());
}

void PixmillAppDelegate::cropSelector() {
    sendWordAt(pxmSetCrop, kCropWords, crop->currentIndex());
}

void PixmillAppDelegate::destinationSelector() {
    if (dest_fixedFolder->isChecked())
        pxmSetDestination("fixed");
    else if (dest_subFolder->isChecked())
        pxmSetDestination("subfolder");
    else if (dest_sameFolder->isChecked())
        pxmSetDestination("same");
}

void PixmillAppDelegate::destFixedSelector() {
    pxmSetDestination("fixed");
}

void PixmillAppDelegate::destSubFolderSelector() {
    pxmSetDestination("subfolder");
}

void PixmillAppDelegate::destSameFolderSelector() {
    pxmSetDestination("same");
}

void PixmillAppDelegate::showHelp() {
    QDesktopServices::openUrl(helpUrl());
}

void PixmillAppDelegate::chooseFixedFolder() {
    QString folder =
        QFileDialog::getExistingDirectory(window, tr("Fixed output folder"), fixedFolder->text());
    if (folder.isEmpty()) return;
    fixedFolder->setText(folder);
    outputFolderSelector();
}

void PixmillAppDelegate::showStatus(const QString& text) {
    statusField->setText(text);
    // Workers report each job they start; the batch is read a moment later, not once per report.
    watchBatch();
}

void PixmillAppDelegate::showProgress(double fraction) {
    progressBar->setValue(qRound(std::clamp(fraction, 0.0, 1.0) * 100));
}

void PixmillAppDelegate::stopBatch() {
    pxmStopBatch();
    batch->refresh();
}

void PixmillAppDelegate::showBatchCounts() {
    countField->setText(batchCountText(batch->tally()));
    refusedField->setText(batch->refusedLine());
    refusedField->setVisible(!refusedField->text().isEmpty());
    stopButton->setEnabled(batch->isRunning());
}

void PixmillAppDelegate::highlightDropZone(bool hovering) {
    if (dropZone->property("hovering").isValid() && dropZone->property("hovering").toBool() == hovering)
        return;
    dropZone->setProperty("hovering", hovering);
    dropZone->setFrameShape(hovering ? QFrame::Box : QFrame::StyledPanel);
    dropZone->setLineWidth(hovering ? 2 : 1);
    dropZone->setBackgroundRole(hovering ? QPalette::Highlight : QPalette::Window);
    dropZone->setForegroundRole(hovering ? QPalette::HighlightedText : QPalette::WindowText);
    dropZone->setAutoFillBackground(hovering);
}

void PixmillAppDelegate::openJobOutput(const QModelIndex& index) {
    const QString output = batch->writtenOutput(index.row());
    if (!output.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(output));
}

void PixmillAppDelegate::showJobInFolder(const QModelIndex& index) {
    const QString output = batch->writtenOutput(index.row());
    if (!output.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(output).absolutePath()));
}

QMenu* PixmillAppDelegate::jobMenu(const QModelIndex& index) {
    auto* menu = new QMenu(jobList);
    const bool written = !batch->writtenOutput(index.row()).isEmpty();
    QAction* open = menu->addAction(tr("&Open"), this, [this, index] { openJobOutput(index); });
    QAction* folder = menu->addAction(tr("Show in &folder"), this, [this, index] { showJobInFolder(index); });
    open->setEnabled(written);
    folder->setEnabled(written);
    return menu;
}

void PixmillAppDelegate::showJobMenu(const QPoint& position) {
    const QModelIndex index = jobList->indexAt(position);
    if (!index.isValid()) return;
    QMenu* menu = jobMenu(index);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(jobList->viewport()->mapToGlobal(position));
}

void PixmillAppDelegate::pollBatch() {
    batch->refresh();
    if (!batch->isRunning()) batchPoll->stop();
}

void PixmillAppDelegate::watchBatch() {
    if (!batchPoll->isActive()) batchPoll->start();
}
