// SPDX-License-Identifier: MIT
// PXMWindow: the main window; it takes files dragged onto it and hands each path to the engine.
#pragma once

#include <QMainWindow>
#include <QStringList>

class QMimeData;

class PXMWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit PXMWindow(QWidget* parent = nullptr);
    ~PXMWindow() override;

    // The operation offered for a drag allowing `offered`: link when the drag carries file names
    // and allows linking, else copy when it allows copying, else none (Qt::IgnoreAction).
    Qt::DropAction draggingEntered(Qt::DropActions offered, const QMimeData* mime) const;
    // Hands every dropped file path to the engine in order; true when at least one became a job.
    bool performDragOperation(const QMimeData* mime);
    // The same for paths that did not come from a drag (the command line).
    bool handleFilePaths(const QStringList& paths);

  signals:
    // Paths from a drop or the command line, before they are handed to the engine.
    void pathsArriving(const QStringList& paths);
    // Paths were handed to the engine: `queued` became jobs, `notImages` were refused for their
    // name, `refused` images were refused by the settings for `reason`.
    void filesHandled(int queued, int notImages, int refused, const QString& reason);
    // A file drag the window would take entered (true) or left, or was dropped (false).
    void dragHovering(bool hovering);

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void offerDrop(QDragMoveEvent* event);
};

// The local file paths a drag carries, in the drag's order (remote addresses are left out).
QStringList droppedFilePaths(const QMimeData* mime);
