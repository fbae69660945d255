#pragma once

#include "archive/Archive.h"
#include "archive/ArchiveSettings.h"

#include <QAbstractTableModel>
#include <QLocale>
#include <QStringList>

#include <array>
#include <vector>

// The archive's rows of one filter as a table: sample, date, time, device,
// calibration and the 27 indicators. Rows come a page at a time as the view
// scrolls (keyset paging), so a filter with a million rows opens as fast as
// one with ten. No widgets: the window shows it, tests read it directly.
class TArchiveModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int PageSize = 200;
    enum Column { ColSample, ColDate, ColTime, ColDevice, ColCalibration, FirstIndicator };

    // indicatorTitles: the 27 titles of the results table's indicator columns.
    explicit TArchiveModel(const QStringList& indicatorTitles,
                           const QLocale& locale = QLocale::system(), QObject* parent = nullptr);

    // nullptr: no archive, no rows. Resets the rows.
    void SetArchive(const TArchiveReader* archive);
    const TArchiveReader* Archive() const { return archive_; }
    // Resets and reads the first page; throws EArchiveError.
    void SetFilter(const TArchiveFilter& filter);
    const TArchiveFilter& Filter() const { return filter_; }
    // Reads the rows again from the start (after marks or an import).
    void Reload() { SetFilter(filter_); }
    // Reads these rows again in place, keeping what is loaded and chosen.
    void Refresh(const std::vector<int>& rows);
    // Measurements added since the last page came in: appended when every
    // row is loaded (they sort last), left to scrolling otherwise. Returns
    // how many rows were appended.
    int FetchNew();

    const std::array<int, IndicatorCount>& Decimals() const { return decimals_; }
    void SetDecimals(const std::array<int, IndicatorCount>& decimals);

    // The measurement of a loaded row (its record bytes are not kept).
    const TArchiveMeasurement& Measurement(int row) const { return rows_[size_t(row)]; }
    // The last failure of a page the view asked for; empty after SetFilter.
    const QString& FetchError() const { return fetchError_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

signals:
    // A page the view asked for could not be read.
    void fetchFailed(const QString& message);

private:
    void FetchPage();
    QString Text(const TArchiveMeasurement& m, int column) const;
    QString InvalidNote(const TArchiveMeasurement& m) const;
    // Where an imported row came from and who brought it in.
    QString ImportNote(const TArchiveMeasurement& m) const;

    QStringList titles_;
    QLocale locale_;
    QString timeFormat_;
    const TArchiveReader* archive_ = nullptr;
    TArchiveFilter filter_;
    std::array<int, IndicatorCount> decimals_ = TArchiveSettings::Defaults();
    std::vector<TArchiveMeasurement> rows_;
    bool atEnd_ = true;
    QString fetchError_;
};
