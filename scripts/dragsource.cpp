// SPDX-License-Identifier: MIT
// A drag source for window checks under X: a press in its window drags the files named on its
// command line to wherever the pointer is released; it prints the action taken and ends.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <cstdio>

class DragSource : public QLabel {
  public:
    explicit DragSource(const QList<QUrl>& urls) : QLabel("drag source"), urls(urls) {}

  protected:
    void mousePressEvent(QMouseEvent*) override {
        auto* drag = new QDrag(this);
        auto* mime = new QMimeData;
        mime->setUrls(urls);
        drag->setMimeData(mime);
        // What a file manager offers: a copy or a link.
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::LinkAction, Qt::CopyAction);
        std::printf("drop action %d\n", int(action));
        std::fflush(stdout);
        // The target may still be reading the file list from this program: stay a moment.
        QTimer::singleShot(2000, qApp, &QApplication::quit);
    }

  private:
    QList<QUrl> urls;
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QList<QUrl> urls;
    for (const QString& path : QApplication::arguments().mid(1)) urls << QUrl::fromLocalFile(path);
    DragSource source(urls);
    source.setWindowTitle("dragsource");
    source.resize(200, 100);
    source.show();
    return QApplication::exec();
}
