// SPDX-License-Identifier: MIT
// BatchModel: the jobs of the current batch as rows, and the texts that count them.
#include "app/BatchModel.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QStyle>
#include <algorithm>

#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

namespace {

QString text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Paths are the file system's bytes; messages are the engine's UTF-8 text.
QString pathText(const std::string& path) {
    return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

QString stateWord(JobPhase phase) {
    switch (phase) {
        case JobPhase::Waiting:
            return QObject::tr("waiting");
        case JobPhase::Running:
            return QObject::tr("resizing");
        case JobPhase::Resized:
            return QObject::tr("done");
        case JobPhase::Damaged:
            return QObject::tr("damaged");
        case JobPhase::Failed:
            return QObject::tr("failed");
        default:
            return QObject::tr("skipped");
    }
}

// "message: reason", or either alone.
QString withReason(const JobSnapshot& job) {
    if (job.reason.empty()) return text(job.message);
    if (job.message.empty()) return text(job.reason);
    return text(job.message) + ": " + text(job.reason);
}

// The engine's messages name whole paths; in a row the file names say it (the tooltip has all).
QString withFileNames(QString line, const JobSnapshot& job) {
    for (const std::string& path : {job.source, job.output}) {
        const QString whole = pathText(path);
        if (!whole.isEmpty()) line.replace(whole, QFileInfo(whole).fileName());
    }
    return line;
}

// What a row says after its state: the size and name written, with the warning of a damaged
// source and the job's note; the message and cause of a failure; why a job was skipped. `full` keeps whole paths.
QString resultText(const JobSnapshot& job, bool full = false) {
    const QString written =
        QString("%1x%2, %3").arg(job.width).arg(job.height).arg(QFileInfo(pathText(job.output)).fileName());
    // A note (the first of several frames) follows the size and name, after any warning.
    const QString note = job.note.empty() ? QString() : text(job.note);
    switch (job.phase) {
        case JobPhase::Resized:
            return note.isEmpty() ? written : written + " (" + note + ")";
        case JobPhase::Damaged:
            return written + " (" + text(job.reason) + (note.isEmpty() ? QString() : "; " + note) + ")";
        case JobPhase::Failed:
        case JobPhase::Skipped:
            return full ? withReason(job) : withFileNames(withReason(job), job);
        default:
            return QString();
    }
}

QVariant stateIcon(JobPhase phase) {
    QStyle* style = QApplication::style();
    switch (phase) {
        case JobPhase::Resized:
            return style->standardIcon(QStyle::SP_DialogApplyButton);
        case JobPhase::Damaged:
            return style->standardIcon(QStyle::SP_MessageBoxWarning);
        case JobPhase::Failed:
            return style->standardIcon(QStyle::SP_MessageBoxCritical);
        default:
            return QVariant();
    }
}

QString count(size_t n) {
    return QString::number(static_cast<qulonglong>(n));
}

}  // namespace

size_t* BatchTally::counterOf(JobPhase phase) {
    switch (phase) {
        case JobPhase::Resized:
            return &resized;
        case JobPhase::Damaged:
            return &damaged;
        case JobPhase::Failed:
            return &failed;
        case JobPhase::Skipped:
            return &skipped;
        default:
            return nullptr;
    }
}

void BatchTally::add(JobPhase phase) {
    if (size_t* counter = counterOf(phase)) ++*counter;
}

void BatchTally::remove(JobPhase phase) {
    if (size_t* counter = counterOf(phase)) --*counter;
}

QString batchCountText(const BatchTally& tally) {
    if (tally.total == 0) return QString();
    QString line;
    if (tally.hasEnded())
        line = QObject::tr("%1 resized, %2 failed, %3 damaged")
                   .arg(count(tally.resized), count(tally.failed), count(tally.damaged));
    else
        line = QObject::tr("%1 of %2 done, %3 failed")
                   .arg(count(tally.ended()), count(tally.total), count(tally.failed));
    if (tally.skipped > 0) line += QObject::tr(", %1 skipped").arg(count(tally.skipped));
    return line;
}

QString refusedText(size_t notImages, size_t refusedImages, const QString& reason) {
    QStringList parts;
    if (notImages == 1) parts << QObject::tr("1 file was not an image");
    if (notImages > 1) parts << QObject::tr("%1 files were not images").arg(count(notImages));
    if (refusedImages == 1) parts << QObject::tr("1 image was not resized: %1").arg(reason);
    if (refusedImages > 1)
        parts << QObject::tr("%1 images were not resized: %2").arg(count(refusedImages), reason);
    return parts.join("; ");
}

BatchModel::BatchModel(QObject* parent) : QAbstractTableModel(parent) {}

int BatchModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
}

int BatchModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant BatchModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return QVariant();
    const JobSnapshot& shown = job(index.row());
    if (role == Qt::DisplayRole) {
        if (index.column() == NameColumn) return QFileInfo(pathText(shown.source)).fileName();
        if (index.column() == StateColumn) return stateWord(shown.phase);
        return resultText(shown);
    }
    if (role == Qt::ToolTipRole) {
        if (index.column() == NameColumn) return pathText(shown.source);
        if (index.column() == ResultColumn && !writtenOutput(index.row()).isEmpty())
            return writtenOutput(index.row());
        if (index.column() == ResultColumn) return resultText(shown, true);
    }
    if (role == Qt::DecorationRole && index.column() == StateColumn) return stateIcon(shown.phase);
    if (role == Qt::DecorationRole && index.column() == ResultColumn) return thumbnailOf(index.row());
    return QVariant();
}

// Decoded only for rows that are painted, and once: the first look asks for it.
QVariant BatchModel::thumbnailOf(int row) const {
    const QString output = writtenOutput(row);
    if (output.isEmpty()) return QVariant();
    const auto found = thumbnails.constFind(output);
    if (found != thumbnails.constEnd()) return *found;
    if (!thumbnailsAsked.contains(output)) {
        thumbnailsAsked.insert(output);
        emit const_cast<BatchModel*>(this)->thumbnailWanted(output);
    }
    return QVariant();
}

void BatchModel::setThumbnail(const QString& output, const QPixmap& thumbnail) {
    thumbnails.insert(output, thumbnail);
    for (int row = 0; row < rowCount(); ++row) {
        if (writtenOutput(row) != output) continue;
        const QModelIndex cell = index(row, ResultColumn);
        emit dataChanged(cell, cell, {Qt::DecorationRole});
    }
}

QVariant BatchModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return QVariant();
    switch (section) {
        case NameColumn:
            return tr("File");
        case StateColumn:
            return tr("State");
        case ResultColumn:
            return tr("Result");
        default:
            return QVariant();
    }
}

QString BatchModel::writtenOutput(int row) const {
    if (row < 0 || row >= rowCount()) return QString();
    const JobSnapshot& shown = job(row);
    if (shown.phase != JobPhase::Resized && shown.phase != JobPhase::Damaged) return QString();
    return pathText(shown.output);
}

std::vector<JobPhase> BatchModel::unsettledPhases() const {
    std::vector<JobPhase> phases;
    phases.reserve(rows.size() - firstUnsettled);
    for (size_t row = firstUnsettled; row < rows.size(); ++row) phases.push_back(rows[row].phase);
    return phases;
}

void BatchModel::refresh() {
    if (!pxm) return;
    const std::vector<JobChange> changes = pxm->changedJobs(batchStart + firstUnsettled, unsettledPhases());
    const size_t end = batchStart + rows.size();
    const auto firstNew = std::find_if(changes.begin(), changes.end(),
                                       [end](const JobChange& change) { return change.position >= end; });
    bool changed = update(changes.begin(), firstNew);
    if (firstNew != changes.end()) {
        if (counts.hasEnded()) startBatch();
        append(firstNew, changes.end());
        changed = true;
    }
    while (firstUnsettled < rows.size() && hasEnded(rows[firstUnsettled].phase)) ++firstUnsettled;
    if (changed) emit batchChanged();
}

void BatchModel::noteDrop(int queued, int notImageNames, int refusedBySettings, const QString& reason) {
    refresh();
    if (queued == 0 && !isRunning()) forgetRefusals();
    notImages += static_cast<size_t>(std::max(notImageNames, 0));
    refusedImages += static_cast<size_t>(std::max(refusedBySettings, 0));
    if (refusedBySettings > 0) refusalReason = reason;
    emit batchChanged();
}

void BatchModel::forgetRefusals() {
    notImages = refusedImages = 0;
    refusalReason.clear();
}

// Rows whose job moved on: one repaint for the whole span, however many rows it holds.
bool BatchModel::update(std::vector<JobChange>::const_iterator first,
                        std::vector<JobChange>::const_iterator last) {
    if (first == last) return false;
    for (auto change = first; change != last; ++change) {
        JobSnapshot& row = rows[change->position - batchStart];
        counts.remove(row.phase);
        counts.add(change->job.phase);
        row = change->job;
    }
    const int top = static_cast<int>(first->position - batchStart);
    const int bottom = static_cast<int>((last - 1)->position - batchStart);
    emit dataChanged(index(top, 0), index(bottom, ColumnCount - 1));
    return true;
}

void BatchModel::append(std::vector<JobChange>::const_iterator first,
                        std::vector<JobChange>::const_iterator last) {
    const int top = rowCount();
    beginInsertRows(QModelIndex(), top, top + static_cast<int>(last - first) - 1);
    for (auto change = first; change != last; ++change) {
        rows.push_back(change->job);
        counts.add(change->job.phase);
        ++counts.total;
    }
    endInsertRows();
}

void BatchModel::startBatch() {
    beginResetModel();
    batchStart += rows.size();
    rows.clear();
    firstUnsettled = 0;
    counts = BatchTally();
    forgetRefusals();
    thumbnails.clear();
    thumbnailsAsked.clear();
    endResetModel();
}
