// SPDX-License-Identifier: MIT
// A launched window over an engine of its own, with its settings in a fresh temporary folder.
#pragma once

#include <QString>
#include <QTemporaryDir>

class PixmillAppDelegate;

class LaunchedApp {
  public:
    // Writes `configXml` (when given) as the settings file, creates the engine `pxm` on the
    // folder, builds the window and runs the launch sequence.
    explicit LaunchedApp(const QString& configXml = QString());
    // Ends the previews, destroys the engine (waiting for its workers), then the window.
    ~LaunchedApp();
    LaunchedApp(const LaunchedApp&) = delete;
    LaunchedApp& operator=(const LaunchedApp&) = delete;

    PixmillAppDelegate* app = nullptr;
    QString settingsFolder() const { return settings.path(); }
    // A scratch folder for images and outputs.
    QString file(const QString& name) const { return files.filePath(name); }

  private:
    QTemporaryDir settings;
    QTemporaryDir files;
};

// A settings file holding the given elements between the fixed first and last lines.
QString configWith(const QString& elements);
// Writes `bytes` to `path`; false when that failed.
bool writeFile(const QString& path, const QByteArray& bytes);
// A valid 2 by 2 24-bit BMP file.
QByteArray tinyBmp();
