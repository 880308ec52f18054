// SPDX-License-Identifier: MIT
// BatchModel: the jobs of the current batch, one row each in queue order, read from the engine.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QPixmap>
#include <QSet>
#include <QString>
#include <vector>

#include "engine/JobState.h"

struct JobChange;

// How many jobs of a batch are in each phase.
struct BatchTally {
    size_t total = 0;
    size_t resized = 0;
    size_t damaged = 0;
    size_t failed = 0;
    size_t skipped = 0;

    size_t ended() const { return resized + damaged + failed + skipped; }
    // True also for a batch without jobs: nothing in it waits or runs.
    bool hasEnded() const { return ended() == total; }
    // Counts a job's phase in, or out again; waiting and running jobs are only in total.
    void add(JobPhase phase);
    void remove(JobPhase phase);

  private:
    size_t* counterOf(JobPhase phase);
};

// "37 of 120 done, 2 failed" while the batch runs, "120 resized, 2 failed, 1 damaged" once it has
// ended, both followed by ", 3 skipped" when any were skipped; empty for a batch without jobs.
QString batchCountText(const BatchTally& tally);
// Dropped paths that became no job: "2 files were not images" ("1 file was not an image") for
// names of no image type, "3 images were not resized: REASON" for images the settings refused,
// both joined by "; "; empty for none.
QString refusedText(size_t notImages, size_t refusedImages, const QString& reason);

// A batch is every job queued since the engine last had nothing to do: a drop onto a running
// batch joins it, a drop after it ended starts the next one (and the rows of the last go).
class BatchModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column { NameColumn, StateColumn, ResultColumn, ColumnCount };

    explicit BatchModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const JobSnapshot& job(int row) const { return rows[static_cast<size_t>(row)]; }
    const BatchTally& tally() const { return counts; }
    bool isRunning() const { return !counts.hasEnded(); }
    // Dropped paths that became no job, in refusedText's words, for the batch they were dropped on.
    QString refusedLine() const { return refusedText(notImages, refusedImages, refusalReason); }
    // The output of a row, when its job wrote one (resized or damaged); else empty.
    QString writtenOutput(int row) const;

  public slots:
    // Takes in the engine's jobs that changed since the last call; cheap when nothing did.
    void refresh();
    // A drop gave `queued` jobs and refused the rest (PXMWindow::filesHandled): the jobs are shown
    // at once and the refusals counted (a drop without jobs after a batch ended counts afresh).
    void noteDrop(int queued, int notImageNames, int refusedBySettings, const QString& reason);

    // Shows `thumbnail` in the Result cell of every row whose written output is `output`.
    void setThumbnail(const QString& output, const QPixmap& thumbnail);

  signals:
    // The tally, the refused count or a row changed.
    void batchChanged();
    // A row of a written output was shown without its thumbnail; asked once per output and batch.
    void thumbnailWanted(const QString& output);

  private:
    std::vector<JobSnapshot> rows;
    size_t batchStart = 0;      // the engine's position of row 0
    size_t firstUnsettled = 0;  // every row before it has ended: its job never changes again
    BatchTally counts;
    size_t notImages = 0;
    size_t refusedImages = 0;
    QString refusalReason;  // the latest one given
    // Thumbnails of the batch's outputs, by output path, and the outputs already asked for.
    QHash<QString, QPixmap> thumbnails;
    mutable QSet<QString> thumbnailsAsked;

    QVariant thumbnailOf(int row) const;

    std::vector<JobPhase> unsettledPhases() const;
    bool update(std::vector<JobChange>::const_iterator first, std::vector<JobChange>::const_iterator last);
    void append(std::vector<JobChange>::const_iterator first, std::vector<JobChange>::const_iterator last);
    void startBatch();
    void forgetRefusals();
};
