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
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QThreadPool>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include "app/BatchModel.h"
#include "app/PXMWindow.h"
#include "app/PresetBar.h"
#include "engine/ImageResizeTask.h"
#include "engine/OutputSettings.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "engine/Preview.h"

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

const char* const kResizeQualityWords[] = {"basic", "high", "best", "nearest"};
const char* const kResizeQualityTitles[] = {"Basic (fastest)", "High", "Best (sharpest)",
                                            "Nearest neighbour (pixel art)"};
const char* const kSharpenTitles[] = {"None", "Light", "Medium", "Strong"};
const char* const kMetadataTitles[] = {"Keep all (EXIF, XMP, IPTC)", "Keep all but the location",
                                       "Remove all"};
const char* const kColourTitles[] = {"Keep the colour profile", "Convert to sRGB (for the web)"};
// The further types offered beside the chosen one, and their box titles.
const char* const kMoreTypeWords[] = {"jpg", "png", "webp", "avif", "jxl", "tif"};
const char* const kMoreTypeTitles[] = {"&JPEG", "PN&G", "We&bP", "&AVIF", "JPEG X&L", "T&IFF"};

const char* const kResolutionPresets[] = {
    "2048",      "1600x",     "x1080",     "320x240",   "640x480",   "800x600", "1024x768", "1280x720",
    "1280x1024", "1600x1200", "1920x1080", "2560x1440", "3840x2160", "25%",     "50%",      "75%"};

// The batch is read this often while it runs: each read costs a look at every job not yet ended,
// and the list repaints only the rows that changed.
const int kBatchPollMs = 250;

// The longest side of the preview's pictures, in the window's own (device-independent) pixels.
const int kPreviewSide = 200;
const int kThumbnailSide = 24;
// Settings changed within this time give one preview.
const int kPreviewDelayMs = 150;

// The quality setting the format pop-up's position takes: the type's own, JPEG's for "same"
// (most sources are JPEG), none for the lossless types.
QString qualityTypeAt(int index) {
    static const char* const types[] = {"jpg", "", "", "webp", "avif", "jxl", "", "jpg"};
    return index >= 0 && index < 8 ? QString::fromLatin1(types[index]) : QString();
}

QImage imageOf(const DisplayPicture& picture) {
    if (picture.isEmpty()) return QImage();
    // Blue, green, red, alpha in memory is ARGB32 on a little-endian machine.
    QImage image(picture.width, picture.height, QImage::Format_ARGB32);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const uint8_t* p = &picture.bgra[(size_t(y) * picture.width + x) * 4];
            image.setPixel(x, y, qRgba(p[2], p[1], p[0], p[3]));
        }
    return image;
}

QPixmap pixmapFor(const QImage& image, qreal ratio) {
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

// "1600 x 1200 pixels, 312 KB (319,488 bytes)".
QString sizeLine(int width, int height, qint64 bytes) {
    const QLocale locale;
    return QObject::tr("%1 x %2 pixels, %3 (%4 bytes)")
        .arg(width)
        .arg(height)
        .arg(locale.formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat), locale.toString(bytes));
}

// A file-size limit as people write it: "500K", "2M", plain bytes otherwise, "" for none.
QString bytesWord(qulonglong bytes) {
    if (bytes == 0) return QString();
    if (bytes % (1 << 20) == 0) return QString::number(bytes >> 20) + "M";
    if (bytes % (1 << 10) == 0) return QString::number(bytes >> 10) + "K";
    return QString::number(bytes);
}

// Gives every control a name for screen readers.
void name(QWidget* control, const QString& text) {
    control->setAccessibleName(text);
}

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
    previewPool = new QThreadPool(this);
    previewPool->setMaxThreadCount(1);
    thumbnailPool = new QThreadPool(this);
    thumbnailPool->setMaxThreadCount(1);
    previewDelay = new QTimer(this);
    previewDelay->setSingleShot(true);
    previewDelay->setInterval(kPreviewDelayMs);
    connect(previewDelay, &QTimer::timeout, this, [this] { previewFile(previewPath); });
    batchPoll = new QTimer(this);
    batchPoll->setInterval(kBatchPollMs);
    connect(batchPoll, &QTimer::timeout, this, &PixmillAppDelegate::pollBatch);
    QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    connect(qApp, &QCoreApplication::aboutToQuit, this, &PixmillAppDelegate::applicationWillTerminate);
}

PixmillAppDelegate::~PixmillAppDelegate() {
    previewPool->waitForDone();
    thumbnailPool->waitForDone();
    if (appPtr == this) appPtr = nullptr;
    delete window;
}

void PixmillAppDelegate::loadInterface() {
    window = new PXMWindow;
    window->setWindowTitle(tr("Pixmill"));
    window->setMinimumWidth(520);
    window->resize(900, 740);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(new PresetBar);  // presets: app/PresetBar.h
    auto* top = new QHBoxLayout;
    top->addWidget(makeSettingsForm(), 3);
    top->addWidget(makePreviewBox(), 2);
    layout->addLayout(top);
    layout->addWidget(makeStatusArea());
    layout->addWidget(makeBatchArea(), 1);
    window->setCentralWidget(central);
    makeMenus();
    nameControls();
    connectActions();
    connectSettings();
    // Every drop goes to the window: a text field would otherwise take a dragged file as its text.
    for (QLineEdit* field :
         {resolutionComboBox->lineEdit(), subFolder, fixedFolder, outputFilename, moreSizes, maxBytes})
        field->setAcceptDrops(false);
}

// The settings in five tabs, so that the window stays calm: size, format, quality, metadata and
// colour, destination and name.
QWidget* PixmillAppDelegate::makeSettingsForm() {
    settingsTabs = new QTabWidget;
    settingsTabs->addTab(makeSizeTab(), tr("Si&ze"));
    settingsTabs->addTab(makeFormatTab(), tr("Fo&rmat"));
    settingsTabs->addTab(makeQualityTab(), tr("&Quality"));
    settingsTabs->addTab(makeMetadataTab(), tr("&Metadata && colour"));
    settingsTabs->addTab(makeDestinationTab(), tr("Desti&nation && name"));
    return settingsTabs;
}

QWidget* PixmillAppDelegate::makeSizeTab() {
    resolutionComboBox = new QComboBox;
    resolutionComboBox->setEditable(true);
    resolutionComboBox->setInsertPolicy(QComboBox::NoInsert);
    // No completion: the engine must hold exactly what was typed, not a preset completed into it.
    resolutionComboBox->setCompleter(nullptr);
    for (const char* preset : kResolutionPresets) resolutionComboBox->addItem(QString::fromLatin1(preset));
    resolutionComboBox->setToolTip(
        tr("Width x height in pixels (\"1024x768\"), the long edge alone (\"2048\"), the width alone "
           "(\"1600x\"), the height alone (\"x1080\"), or a percentage (\"50%\")"));
    crop = makePopUp(kCropTitles);
    rotation = makePopUp(kRotationTitles);
    noEnlarge = new QCheckBox(tr("Never &enlarge"));
    noEnlarge->setToolTip(tr("A picture already inside the size is written at its own size"));
    moreSizes = new QLineEdit;
    moreSizes->setPlaceholderText(tr("e.g. 1024, 320"));
    moreSizes->setToolTip(tr("Further sizes written from the same decode, separated by commas"));

    auto* tab = new QWidget;
    auto* layout = new QFormLayout(tab);
    layout->addRow(tr("&Size:"), resolutionComboBox);
    layout->addRow(QString(), noEnlarge);
    layout->addRow(tr("&Aspect ratio:"), crop);
    layout->addRow(tr("R&otation:"), rotation);
    layout->addRow(tr("Also ma&ke:"), moreSizes);
    return tab;
}

QWidget* PixmillAppDelegate::makeFormatTab() {
    outputFormat = makePopUp(kOutputFormatTitles);
    qualitySlider = new QSlider(Qt::Horizontal);
    qualityBox = new QSpinBox;
    qualitySlider->setRange(1, 100);
    qualityBox->setRange(1, 100);
    qualityBox->setToolTip(tr("1 to 100; 100 is lossless for WebP and JPEG XL"));
    auto* quality = new QWidget;
    auto* qualityRow = new QHBoxLayout(quality);
    qualityRow->setContentsMargins(0, 0, 0, 0);
    qualityRow->addWidget(qualitySlider, 1);
    qualityRow->addWidget(qualityBox);
    progressive = new QCheckBox(tr("&Progressive JPEG"));
    maxBytes = new QLineEdit;
    maxBytes->setPlaceholderText(tr("No limit"));
    maxBytes->setToolTip(
        tr("At most this many bytes per JPEG, WebP, AVIF or JPEG XL file (\"500K\", \"2M\"): "
           "the highest quality up to the one set whose file fits"));
    auto* types = new QWidget;
    auto* typeRow = new QHBoxLayout(types);
    typeRow->setContentsMargins(0, 0, 0, 0);
    for (const char* title : kMoreTypeTitles) {
        moreTypes << new QCheckBox(tr(title));
        typeRow->addWidget(moreTypes.back());
    }
    typeRow->addStretch(1);

    auto* tab = new QWidget;
    auto* layout = new QFormLayout(tab);
    layout->addRow(tr("F&ormat:"), outputFormat);
    layout->addRow(tr("Q&uality:"), quality);
    // The label's mnemonic goes to the number, where a typed quality lands.
    static_cast<QLabel*>(layout->labelForField(quality))->setBuddy(qualityBox);
    layout->addRow(QString(), progressive);
    layout->addRow(tr("Ma&x file size:"), maxBytes);
    layout->addRow(tr("Also &write:"), types);
    static_cast<QLabel*>(layout->labelForField(types))->setBuddy(moreTypes.front());
    return tab;
}

QWidget* PixmillAppDelegate::makeQualityTab() {
    resizeQuality = makePopUp(kResizeQualityTitles);
    linearLight = new QCheckBox(tr("&Linear light"));
    linearLight->setToolTip(tr("Resamples in linear light: dark and bright details keep their weight"));
    sharpen = makePopUp(kSharpenTitles);
    sharpen->setToolTip(tr("An unsharp mask after the reduction"));
    fastDraft = new QCheckBox(tr("Fast &draft decoding"));
    fastDraft->setToolTip(
        tr("JPEG files are decoded at a reduced scale that still leaves 1.5 times the "
           "target size: several times faster, very slightly less sharp"));

    auto* tab = new QWidget;
    auto* layout = new QFormLayout(tab);
    layout->addRow(tr("Resampling f&ilter:"), resizeQuality);
    layout->addRow(QString(), linearLight);
    layout->addRow(tr("Sh&arpen:"), sharpen);
    layout->addRow(QString(), fastDraft);
    return tab;
}

QWidget* PixmillAppDelegate::makeMetadataTab() {
    metadata = makePopUp(kMetadataTitles);
    metadata->setToolTip(
        tr("EXIF, XMP and IPTC; without the location, no GPS position or place name is left"));
    colour = makePopUp(kColourTitles);
    keepDates = new QCheckBox(tr("Keep file &dates"));
    keepDates->setToolTip(tr("Each output gets its source's modification time"));

    auto* tab = new QWidget;
    auto* layout = new QFormLayout(tab);
    layout->addRow(tr("M&etadata:"), metadata);
    layout->addRow(tr("&Colour:"), colour);
    layout->addRow(QString(), keepDates);
    return tab;
}

QWidget* PixmillAppDelegate::makeDestinationTab() {
    overwrite = makePopUp(kOverwriteTitles);
    outputFilename = new QLineEdit;
    outputFilename->setToolTip(
        tr("%SRC% source name, %DSTX% and %DSTY% target size, %N% counter (%N2% to %N6% zero-padded)"));

    auto* tab = new QWidget;
    auto* layout = new QFormLayout(tab);
    QWidget* destinations = makeDestinationBox();
    layout->addRow(tr("Sa&ve to:"), destinations);
    // The mnemonic goes to the first choice; the arrow keys move between them.
    static_cast<QLabel*>(layout->labelForField(destinations))->setBuddy(dest_sameFolder);
    layout->addRow(tr("File n&ame:"), outputFilename);
    layout->addRow(tr("&Existing files:"), overwrite);
    return tab;
}

QWidget* PixmillAppDelegate::makePreviewBox() {
    auto* box = new QGroupBox(tr("Preview"));
    previewSource = new QLabel;
    previewResult = new QLabel;
    for (QLabel* picture : {previewSource, previewResult}) {
        picture->setAlignment(Qt::AlignCenter);
        // Room for a picture from the start, so that the window does not jump when one arrives.
        picture->setMinimumSize(kPreviewSide * 3 / 4, kPreviewSide);
        picture->setFrameShape(QFrame::StyledPanel);
    }
    previewSourceInfo = new QLabel(tr("Select a file in the list"));
    previewResultInfo = new QLabel;
    for (QLabel* line : {previewSourceInfo, previewResultInfo}) {
        line->setWordWrap(true);
        line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    auto* grid = new QGridLayout(box);
    grid->addWidget(new QLabel(tr("Source")), 0, 0);
    grid->addWidget(new QLabel(tr("Result")), 0, 1);
    grid->addWidget(previewSource, 1, 0);
    grid->addWidget(previewResult, 1, 1);
    grid->addWidget(previewSourceInfo, 2, 0);
    grid->addWidget(previewResultInfo, 2, 1);
    grid->setRowStretch(1, 1);
    return box;
}

// Names for screen readers, one per control (the labels' texts without their mnemonics).
void PixmillAppDelegate::nameControls() {
    name(settingsTabs, tr("Settings"));
    name(settingsTabs->findChild<QTabBar*>(), tr("Settings pages"));
    name(resolutionComboBox, tr("Size"));
    name(resolutionComboBox->lineEdit(), tr("Size"));
    name(noEnlarge, tr("Never enlarge"));
    name(crop, tr("Aspect ratio"));
    name(rotation, tr("Rotation"));
    name(moreSizes, tr("Further sizes"));
    name(outputFormat, tr("Format"));
    name(qualitySlider, tr("Quality"));
    name(qualityBox, tr("Quality"));
    name(progressive, tr("Progressive JPEG"));
    name(maxBytes, tr("File size limit"));
    for (int i = 0; i < moreTypes.size(); ++i)
        name(moreTypes[i], tr("Also write %1").arg(moreTypes[i]->text().remove(QLatin1Char('&'))));
    name(resizeQuality, tr("Resampling filter"));
    name(linearLight, tr("Linear light"));
    name(sharpen, tr("Sharpen"));
    name(fastDraft, tr("Fast draft decoding"));
    name(metadata, tr("Metadata"));
    name(colour, tr("Colour"));
    name(keepDates, tr("Keep file dates"));
    name(dest_sameFolder, tr("Save to the source folder"));
    name(dest_subFolder, tr("Save to a sub folder"));
    name(dest_fixedFolder, tr("Save to a fixed folder"));
    name(subFolder, tr("Sub folder name"));
    name(fixedFolder, tr("Fixed folder"));
    name(fixedFolderButton, tr("Choose the fixed folder"));
    name(outputFilename, tr("File name"));
    name(overwrite, tr("Existing files"));
    name(previewSource, tr("Preview of the source"));
    name(previewResult, tr("Preview of the result"));
    name(jobList, tr("Files of the batch"));
    name(stopButton, tr("Stop"));
    name(progressBar, tr("Batch progress"));
}

QWidget* PixmillAppDelegate::makeDestinationBox() {
    dest_sameFolder = new QRadioButton(tr("S&ource folder"));
    dest_subFolder = new QRadioButton(tr("S&ub folder:"));
    dest_fixedFolder = new QRadioButton(tr("F&ixed folder:"));
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
    dropZone =
        new QLabel(tr("Drop photos and images (JPEG, PNG, HEIC, AVIF, WebP, TIFF, JPEG XL, GIF, BMP) on this "
                      "window to resize them."));
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
    stopButton = new QPushButton(tr("S&top"));
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
    jobList->setIconSize(QSize(kThumbnailSide, kThumbnailSide));

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

// The controls of the later settings, each sending its one setter; then every setting control
// also renews the preview.
void PixmillAppDelegate::connectSettings() {
    using D = PixmillAppDelegate;
    auto sendBox = [this](QCheckBox* box, const char* setting) {
        connect(box, &QCheckBox::toggled, this,
                [setting](bool on) { pxmSetOutputSetting(setting, on ? "true" : "false"); });
    };
    sendBox(noEnlarge, "noenlarge");
    sendBox(progressive, "progressive");
    sendBox(linearLight, "linear");
    sendBox(keepDates, "keepdates");
    auto sendWord = [this](QComboBox* popUp, const char* setting, const char* const* words, int count) {
        connect(popUp, qOverload<int>(&QComboBox::activated), this, [setting, words, count](int index) {
            if (index >= 0 && index < count) pxmSetOutputSetting(setting, words[index]);
        });
    };
    sendWord(sharpen, "sharpen", kSharpenWords, 4);
    sendWord(metadata, "metadata", kMetadataWords, 3);
    sendWord(colour, "colour", kColourWords, 2);
    connect(resizeQuality, qOverload<int>(&QComboBox::activated), this,
            [](int index) { sendWordAt(pxmSetResizeQuality, kResizeQualityWords, index); });
    connect(qualitySlider, &QSlider::valueChanged, qualityBox, &QSpinBox::setValue);
    connect(qualityBox, qOverload<int>(&QSpinBox::valueChanged), qualitySlider, &QSlider::setValue);
    connect(qualityBox, qOverload<int>(&QSpinBox::valueChanged), this, &D::qualitySelector);
    connect(outputFormat, qOverload<int>(&QComboBox::currentIndexChanged), this, &D::showQualityOfType);
    // An empty field is no limit; a word the engine does not take changes nothing.
    connect(maxBytes, &QLineEdit::textEdited, this, [](const QString& text) {
        sendText([](const char* word) { pxmSetOutputSetting("maxbytes", *word ? word : "0"); },
                 text.trimmed());
    });
    connect(moreSizes, &QLineEdit::textEdited, this,
            [](const QString& text) { sendText(pxmSetMoreSizes, text); });
    for (QCheckBox* box : moreTypes) connect(box, &QCheckBox::toggled, this, &D::moreTypesSelector);

    for (QComboBox* popUp : settingsTabs->findChildren<QComboBox*>())
        connect(popUp, qOverload<int>(&QComboBox::activated), this, &D::settingsChanged);
    for (QLineEdit* field : settingsTabs->findChildren<QLineEdit*>())
        connect(field, &QLineEdit::textEdited, this, &D::settingsChanged);
    for (QCheckBox* box : settingsTabs->findChildren<QCheckBox*>())
        connect(box, &QCheckBox::toggled, this, &D::settingsChanged);
    connect(qualityBox, qOverload<int>(&QSpinBox::valueChanged), this, &D::settingsChanged);
    connect(destinationGroup, &QButtonGroup::buttonClicked, this, &D::settingsChanged);
    connect(jobList->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &D::previewCurrentRow);
    connect(window, &PXMWindow::pathsArriving, this, &D::previewDrop);
    connect(batch, &BatchModel::thumbnailWanted, this, &D::makeThumbnail, Qt::QueuedConnection);
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
    // Previews and thumbnails run the engine's code; they end before the engine goes.
    previewPool->clear();
    previewPool->waitForDone();
    thumbnailPool->clear();
    thumbnailPool->waitForDone();
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

// The bar counts the batch's own jobs (showBatchCounts), not the engine's queue position, which
// counts every job since the program started; a report only has the batch read soon.
void PixmillAppDelegate::showProgress(double) {
    watchBatch();
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
    // Done of total for this batch: 0 for a new one, the whole bar once it has ended.
    const BatchTally& tally = batch->tally();
    progressBar->setMaximum(int(std::max<size_t>(tally.total, 1)));
    progressBar->setValue(tally.total > 0 ? int(tally.ended()) : 0);
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

void PixmillAppDelegate::qualitySelector(int quality) {
    const QString type = qualityTypeAt(outputFormat->currentIndex());
    if (type.isEmpty()) return;
    qualities[type] = quality;
    pxmSetQuality(type.toLatin1().constData(), quality);
}

void PixmillAppDelegate::showQualityOfType() {
    const QString type = qualityTypeAt(outputFormat->currentIndex());
    const QSignalBlocker quiet(qualityBox);
    qualityBox->setValue(qualities.value(type.isEmpty() ? QStringLiteral("jpg") : type, 90));
    qualitySlider->setValue(qualityBox->value());
    qualityBox->setEnabled(!type.isEmpty());
    qualitySlider->setEnabled(!type.isEmpty());
    progressive->setEnabled(type == "jpg");
}

void PixmillAppDelegate::moreTypesSelector() {
    QStringList words;
    for (int i = 0; i < moreTypes.size(); ++i)
        if (moreTypes[i]->isChecked()) words << QString::fromLatin1(kMoreTypeWords[i]);
    sendText(pxmSetMoreTypes, words.join(','));
}

void PixmillAppDelegate::showSetting(const QString& setting, const QString& word) {
    auto pick = [&word](QComboBox* popUp, const char* const* words, int count) {
        for (int i = 0; i < count; ++i)
            if (word == QLatin1String(words[i])) popUp->setCurrentIndex(i);
    };
    auto check = [&word](QCheckBox* box) {
        const QSignalBlocker quiet(box);
        box->setChecked(word == "true");
    };
    if (setting == "resizequality") pick(resizeQuality, kResizeQualityWords, 4);
    if (setting == "sharpen") pick(sharpen, kSharpenWords, 4);
    if (setting == "metadata") pick(metadata, kMetadataWords, 3);
    if (setting == "colour") pick(colour, kColourWords, 2);
    if (setting == "noenlarge") check(noEnlarge);
    if (setting == "progressive") check(progressive);
    if (setting == "linear") check(linearLight);
    if (setting == "keepdates") check(keepDates);
    if (setting == "maxbytes") maxBytes->setText(bytesWord(word.toULongLong()));
    if (setting == "moresizes") moreSizes->setText(QString(word).replace(',', ", "));
    if (setting == "moretypes") {
        const QStringList words = word.split(',');
        for (int i = 0; i < moreTypes.size(); ++i) {
            const QSignalBlocker quiet(moreTypes[i]);
            moreTypes[i]->setChecked(words.contains(QLatin1String(kMoreTypeWords[i])));
        }
    }
    if (setting.endsWith("quality") && setting != "resizequality") {
        const QString type = setting.left(setting.size() - 7) == "jpeg" ? QStringLiteral("jpg")
                                                                        : setting.left(setting.size() - 7);
        qualities[type] = word.toInt();
        showQualityOfType();
    }
    // Settings pushed by the engine (a preset applied) renew the preview like a control does.
    settingsChanged();
}

void PixmillAppDelegate::previewCurrentRow() {
    const QModelIndex current = jobList->currentIndex();
    if (current.isValid())
        previewFile(QFile::decodeName(QByteArray::fromStdString(batch->job(current.row()).source)));
}

void PixmillAppDelegate::previewDrop(const QStringList& paths) {
    if (batch->isRunning()) return;
    for (const QString& path : paths) {
        if (!pxmIsImageFileName(QFile::encodeName(path).constData())) continue;
        previewFile(path);
        return;
    }
}

void PixmillAppDelegate::settingsChanged() {
    ++previewGeneration;
    if (!previewPath.isEmpty()) previewDelay->start();
}

void PixmillAppDelegate::previewFile(const QString& path) {
    const quint64 generation = ++previewGeneration;
    previewPath = path;
    previewDelay->stop();
    if (path.isEmpty() || !pxm) return;
    // A source already shown is not decoded again when only the settings changed.
    const bool needSource = shownSourcePath != path;
    if (needSource) previewSourceInfo->setText(QFileInfo(path).fileName());
    previewResultInfo->setText(tr("Computing..."));
    // The job takes the settings here, on the GUI thread; the pool runs it.
    auto job = std::make_shared<PreviewJob>(*pxm, QFile::encodeName(path).toStdString());
    const int side = qRound(kPreviewSide * window->devicePixelRatioF());
    previewPool->start([this, job, side, path, needSource, generation] {
        if (generation != previewGeneration) return;
        DisplayPicture shown;
        if (needSource) shown = displayPictureOf(QFile::encodeName(path).toStdString(), side);
        const QString sourceLine = shown.isEmpty()
                                       ? tr("Cannot be read")
                                       : sizeLine(shown.fullWidth, shown.fullHeight, QFileInfo(path).size());
        const PreviewResult result = job->run(side);
        QString resultLine =
            result.written ? sizeLine(result.width, result.height, qint64(result.bytes.size())) : QString();
        if (!result.message.empty())
            resultLine += (resultLine.isEmpty() ? "" : "\n") + QString::fromStdString(result.message);
        const QImage sourceImage = imageOf(shown), resultImage = imageOf(result.picture);
        QMetaObject::invokeMethod(
            this,
            [=] {
                if (generation != previewGeneration) return;
                if (needSource) {
                    previewSource->setPixmap(pixmapFor(sourceImage, window->devicePixelRatioF()));
                    previewSourceInfo->setText(sourceLine);
                    shownSourcePath = path;
                }
                showPreview(resultImage, resultLine);
            },
            Qt::QueuedConnection);
    });
}

void PixmillAppDelegate::showPreview(const QImage& result, const QString& resultLine) {
    previewResult->setPixmap(pixmapFor(result, window->devicePixelRatioF()));
    previewResultInfo->setText(resultLine);
}

void PixmillAppDelegate::makeThumbnail(const QString& output) {
    const qreal ratio = jobList->devicePixelRatioF();
    const int side = qRound(kThumbnailSide * ratio);
    const std::string path = QFile::encodeName(output).toStdString();
    thumbnailPool->start([this, output, path, side, ratio] {
        const QImage image = imageOf(displayPictureOf(path, side));
        QMetaObject::invokeMethod(
            this, [this, output, image, ratio] { batch->setThumbnail(output, pixmapFor(image, ratio)); },
            Qt::QueuedConnection);
    });
}
