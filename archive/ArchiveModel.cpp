#include "archive/ArchiveModel.h"

#include "archive/ArchiveRows.h"
#include "measurement/ValueText.h"
#include "results/RecordCycle.h"

#include <QFont>

TArchiveModel::TArchiveModel(const QStringList& indicatorTitles, const QLocale& locale,
                             QObject* parent)
    : QAbstractTableModel(parent), titles_(indicatorTitles), locale_(locale),
      timeFormat_(RegisterTimeFormat(locale)) {}

void TArchiveModel::SetArchive(const TArchiveReader* archive) {
    beginResetModel();
    archive_ = archive;
    rows_.clear();
    atEnd_ = true;
    endResetModel();
}

void TArchiveModel::SetFilter(const TArchiveFilter& filter) {
    beginResetModel();
    filter_ = filter;
    rows_.clear();
    rows_.shrink_to_fit();
    atEnd_ = archive_ == nullptr;
    fetchError_.clear();
    endResetModel();
    if (atEnd_)
        return;
    try {
        FetchPage();
    } catch (...) {
        atEnd_ = true; // the view must not ask again and again
        throw;
    }
}

void TArchiveModel::FetchPage() {
    std::optional<TArchiveCursor> after;
    if (!rows_.empty())
        after = TArchiveCursor{rows_.back().Measured.toMSecsSinceEpoch(), rows_.back().Id};
    std::vector<TArchiveMeasurement> page = archive_->Page(filter_, after, PageSize);
    atEnd_ = int(page.size()) < PageSize;
    if (page.empty())
        return;
    const int first = int(rows_.size());
    beginInsertRows(QModelIndex(), first, first + int(page.size()) - 1);
    for (TArchiveMeasurement& m : page) {
        m.Raw.clear(); // a million rows scrolled through would hold 115 MB of them
        rows_.push_back(std::move(m));
    }
    endInsertRows();
}

bool TArchiveModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !atEnd_;
}

void TArchiveModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent))
        return;
    // Called from the view's painting and scrolling: nothing may escape.
    try {
        FetchPage();
    } catch (const std::exception& e) {
        atEnd_ = true;
        fetchError_ = QString::fromUtf8(e.what());
        emit fetchFailed(fetchError_);
    }
}

int TArchiveModel::FetchNew() {
    if (!archive_ || !atEnd_ || !fetchError_.isEmpty())
        return 0;
    const int before = int(rows_.size());
    atEnd_ = false;
    fetchMore(QModelIndex());
    return int(rows_.size()) - before;
}

void TArchiveModel::Refresh(const std::vector<int>& rows) {
    if (!archive_)
        return;
    for (const int r : rows) {
        if (r < 0 || r >= rowCount())
            continue;
        std::optional<TArchiveMeasurement> m = archive_->FindId(rows_[size_t(r)].Id);
        if (!m)
            continue;
        m->Raw.clear();
        rows_[size_t(r)] = std::move(*m);
        emit dataChanged(index(r, 0), index(r, columnCount() - 1));
    }
}

void TArchiveModel::SetDecimals(const std::array<int, IndicatorCount>& decimals) {
    decimals_ = decimals;
    if (!rows_.empty())
        emit dataChanged(index(0, FirstIndicator), index(rowCount() - 1, columnCount() - 1),
                         {Qt::DisplayRole});
}

int TArchiveModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int TArchiveModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : FirstIndicator + IndicatorCount;
}

QString TArchiveModel::Text(const TArchiveMeasurement& m, int column) const {
    switch (column) {
    case ColSample:
        return m.SampleName;
    case ColDate:
        return locale_.toString(m.Measured.date(), QLocale::ShortFormat);
    case ColTime:
        return locale_.toString(m.Measured.time(), timeFormat_);
    case ColDevice:
        return DeviceText(m.Device);
    case ColCalibration:
        return QString::number(m.Calibration);
    default: {
        const size_t k = size_t(column - FirstIndicator);
        const std::optional<double>& v = m.Values[k];
        return v ? TValueText::Fixed(*v, ShownDecimals(m, int(k), decimals_), locale_) : QString();
    }
    }
}

QString TArchiveModel::InvalidNote(const TArchiveMeasurement& m) const {
    return QStringLiteral("Недействительно: %1\nОтметил: %2, %3")
        .arg(m.InvalidReason, m.InvalidBy, locale_.toString(m.InvalidAt, QLocale::ShortFormat));
}

QString TArchiveModel::ImportNote(const TArchiveMeasurement& m) const {
    return QStringLiteral("Импорт из файла результатов «%1»\nПрибор: %2, пользователь: %3\n"
                          "Импортировал: %4, %5")
        .arg(m.ResultsFile, DeviceText(m.Device), m.User.isEmpty() ? UnknownText : m.User,
             m.ImportedBy.isEmpty() ? UnknownText : m.ImportedBy,
             locale_.toString(m.Received, QLocale::ShortFormat));
}

QVariant TArchiveModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    const TArchiveMeasurement& m = rows_[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return Text(m, index.column());
    case Qt::FontRole:
        if (m.Invalid()) {
            QFont font;
            font.setStrikeOut(true);
            return font;
        }
        return {};
    case Qt::ToolTipRole: {
        QStringList notes;
        if (m.Invalid())
            notes << InvalidNote(m);
        if (m.Source == TArchive::SourceImport)
            notes << ImportNote(m);
        return notes.isEmpty() ? QVariant() : QVariant(notes.join(QStringLiteral("\n\n")));
    }
    case Qt::TextAlignmentRole:
        return index.column() >= ColDevice ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                                           : QVariant();
    default:
        return {};
    }
}

QVariant TArchiveModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    static const QStringList fixed{QStringLiteral("Проба"), QStringLiteral("Дата"),
                                   QStringLiteral("Время"), QStringLiteral("Прибор"),
                                   QStringLiteral("Градуировка")};
    if (section < FirstIndicator)
        return section >= 0 ? fixed[section] : QVariant();
    const int k = section - FirstIndicator;
    if (k < titles_.size() && !titles_[k].isEmpty())
        return titles_[k];
    return QStringLiteral("Показатель %1").arg(k + 1);
}
