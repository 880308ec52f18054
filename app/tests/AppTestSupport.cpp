// SPDX-License-Identifier: MIT
// A launched window over an engine of its own, with its settings in a fresh temporary folder.
#include "AppTestSupport.h"

#include <QFile>

#include "app/PXMWindow.h"
#include "app/PixmillAppDelegate.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

LaunchedApp::LaunchedApp(const QString& configXml) {
    if (!configXml.isEmpty()) writeFile(settings.filePath("config.xml"), configXml.toUtf8());
    pxm = new Pixmill(settings.path().toStdString());
    app = new PixmillAppDelegate;
    app->window->show();
    app->applicationDidFinishLaunching();
}

LaunchedApp::~LaunchedApp() {
    // As at quit: previews end, then the engine.
    app->applicationWillTerminate();
    delete app;
}

QString configWith(const QString& elements) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<CONFIG>\n" + elements + "</CONFIG>";
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray tinyBmp() {
    // BITMAPFILEHEADER + BITMAPINFOHEADER, then two rows of 2 pixels padded to 8 bytes.
    // clang-format off
    const unsigned char header[54] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file: size 70, data at 54
                                      40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,           // info: 40 bytes, 2 x 2
                                      1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0,          // 1 plane, 24 bit, BI_RGB
                                      0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // clang-format on
    QByteArray bytes(reinterpret_cast<const char*>(header), sizeof header);
    const char pixels[16] = {0, 0, 127, 0, 127, 0, 0, 0, 127, 0, 0, 127, 127, 127, 0, 0};
    bytes.append(pixels, sizeof pixels);
    return bytes;
}
