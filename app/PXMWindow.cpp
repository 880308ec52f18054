// SPDX-License-Identifier: MIT
// PXMWindow: drag and drop of files onto the main window.
#include "app/PXMWindow.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>

#include "engine/PixmillMacHelper.h"

PXMWindow::PXMWindow(QWidget* parent) : QMainWindow(parent) {}

PXMWindow::~PXMWindow() = default;

QStringList droppedFilePaths(const QMimeData* mime) {
    QStringList paths;
    if (!mime || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile()) paths << url.toLocalFile();
    }
    return paths;
}

Qt::DropAction PXMWindow::draggingEntered(Qt::DropActions offered, const QMimeData* mime) const {
    if (droppedFilePaths(mime).isEmpty()) return Qt::IgnoreAction;
    // Linking says best what happens: the files stay where they are and are only read.
    if (offered & Qt::LinkAction) return Qt::LinkAction;
    if (offered & Qt::CopyAction) return Qt::CopyAction;
    return Qt::IgnoreAction;
}

bool PXMWindow::performDragOperation(const QMimeData* mime) {
    return handleFilePaths(droppedFilePaths(mime));
}

bool PXMWindow::handleFilePaths(const QStringList& paths) {
    int queued = 0, notImages = 0, refused = 0;
    QString reason;
    emit pathsArriving(paths);
    for (const QString& path : paths) {
        // The engine works on the bytes of the name as the file system holds them.
        const QByteArray name = QFile::encodeName(path);
        if (pxmHandleFileDrop(name.constData())) {
            ++queued;
        } else if (!pxmIsImageFileName(name.constData())) {
            ++notImages;
        } else {
            ++refused;
            reason = QString::fromStdString(pxmRefusalReason(name.constData()));
        }
    }
    emit filesHandled(queued, notImages, refused, reason);
    return queued > 0;
}

void PXMWindow::dragEnterEvent(QDragEnterEvent* event) {
    offerDrop(event);
}

// A drag entering and a drag moving over the window get the same answer.
void PXMWindow::dragMoveEvent(QDragMoveEvent* event) {
    offerDrop(event);
}

void PXMWindow::offerDrop(QDragMoveEvent* event) {
    Qt::DropAction action = draggingEntered(event->possibleActions(), event->mimeData());
    emit dragHovering(action != Qt::IgnoreAction);
    if (action == Qt::IgnoreAction) {
        event->ignore();
        return;
    }
    event->setDropAction(action);
    event->accept();
}

void PXMWindow::dragLeaveEvent(QDragLeaveEvent*) {
    emit dragHovering(false);
}

void PXMWindow::dropEvent(QDropEvent* event) {
    emit dragHovering(false);
    Qt::DropAction action = draggingEntered(event->possibleActions(), event->mimeData());
    if (action == Qt::IgnoreAction || !performDragOperation(event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(action);
    event->accept();
}
