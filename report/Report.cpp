#include "report/Report.h"

#include "archive/Archive.h"
#include "archive/ArchiveSettings.h"
#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "qc/ControlChart.h"
#include "results/RecordCycle.h"
#include "results/ResultsTable.h"

#include <QFileInfo>

#include <algorithm>

namespace {

QString ColumnTitle(const QStringList& titles, int column, const QString& otherwise) {
    const QString title = titles.value(column).simplified();
    return title.isEmpty() ? otherwise : title;
}

QString InvalidText(const TArchiveMeasurement& m, const QLocale& locale) {
    QString text =
        QStringLiteral("Недействительно: ") +
        (m.InvalidReason.isEmpty() ? QStringLiteral("причина не указана") : m.InvalidReason);
    QStringList who;
    if (!m.InvalidBy.isEmpty())
        who << m.InvalidBy;
    who << locale.toString(m.InvalidAt, QLocale::ShortFormat);
    return text + QStringLiteral(" (") + who.join(QStringLiteral(", ")) + u')';
}

QString Value(const TArchiveMeasurement& m, int indicator, const TArchiveSettings& settings,
              const QLocale& locale) {
    const std::optional<double>& v = m.Values[size_t(indicator)];
    return v ? TValueText::Fixed(*v, ShownDecimals(m, indicator, settings.Decimals), locale)
             : QString();
}

// Device, port and computer, once each in the order met.
void AddInstrument(QStringList& instruments, const TArchiveMeasurement& m) {
    const QString text = InstrumentText(m.Device, m.Port, m.Computer);
    if (!instruments.contains(text))
        instruments << text;
}

} // namespace

TReport TReport::Start(const QStringList& titles, const std::vector<int>& indicators) {
    TReport report;
    report.Columns = QStringList{ColumnTitle(titles, 0, QStringLiteral("№")),
                                 ColumnTitle(titles, 1, QStringLiteral("Проба")),
                                 ColumnTitle(titles, 2, QStringLiteral("Дата")),
                                 ColumnTitle(titles, 3, QStringLiteral("Время")),
                                 ColumnTitle(titles, 4, QStringLiteral("Калибровка"))};
    for (const int k : indicators)
        report.Columns << ColumnTitle(titles, k + FixedColumns,
                                      QStringLiteral("Показатель %1").arg(k + 1));
    report.User = TArchive::ThisUser();
    report.Printed = QDateTime::currentDateTime();
    return report;
}

void TReport::Finish(const QStringList& instruments, const QDateTime& first, const QDateTime& last,
                     const TRecordCycle& cycle) {
    Instrument = instruments.isEmpty() ? QStringLiteral("не известен (измерений нет в архиве)")
                                       : instruments.join(QStringLiteral("; "));
    if (!first.isValid())
        Period = QStringLiteral("измерений нет");
    else
        Period = QStringLiteral("с %1 %2 по %3 %4")
                     .arg(cycle.DateText(first), cycle.TimeText(first), cycle.DateText(last),
                          cycle.TimeText(last));
}

TReport TReport::FromArchive(const TArchiveReader& archive, const TArchiveFilter& filter,
                             const QStringList& titles, const std::vector<int>& indicators,
                             const TArchiveSettings& settings, const TRecordCycle& cycle) {
    TReport report = Start(titles, indicators);
    report.Title = QStringLiteral("Протокол измерений из архива");
    report.Filter = FilterText(filter, cycle.Locale);
    QStringList instruments;
    QDateTime first;
    QDateTime last;
    archive.ForEach(filter, [&](const TArchiveMeasurement& m) {
        TReportRow row;
        row.Cells << QString::number(report.Rows.size() + 1) << m.SampleName
                  << cycle.DateText(m.Measured) << cycle.TimeText(m.Measured)
                  << QString::number(m.Calibration);
        for (const int k : indicators)
            row.Cells << Value(m, k, settings, cycle.Locale);
        if (m.Invalid())
            row.Invalid = InvalidText(m, cycle.Locale);
        report.Rows.push_back(std::move(row));
        if (!first.isValid() || m.Measured < first)
            first = m.Measured;
        if (!last.isValid() || m.Measured > last)
            last = m.Measured;
        AddInstrument(instruments, m);
        return true;
    });
    report.Finish(instruments, first, last, cycle);
    return report;
}

TReport TReport::FromTable(const TResultsTable& table, const QString& fileName,
                           const TArchive* archive, const std::vector<int>& indicators,
                           const TArchiveSettings& settings, const TRecordCycle& cycle) {
    QStringList titles;
    for (int c = 0; c < TResultsTable::ColCount; ++c)
        titles << Cp1251::decode(table.CellView(c, 0));
    TReport report = Start(titles, indicators);
    report.Filter = QStringLiteral("файл результатов «%1»").arg(QFileInfo(fileName).fileName());
    ControlChart::TDateTimeReader reader(cycle.Locale);
    QStringList instruments;
    QDateTime first;
    QDateTime last;
    for (int r = 1; r < table.RowCount(); ++r) {
        const TResultsTable::Row& cells = table.RowAt(r);
        const auto text = [&cells](int c) { return Cp1251::decode(cells.Cell(c)).trimmed(); };
        bool empty = true;
        for (int c = 1; c < TResultsTable::ColCount && empty; ++c)
            empty = text(c).isEmpty();
        if (empty) // the entry row
            continue;
        std::optional<TArchiveMeasurement> m;
        if (archive)
            if (const std::optional<QString> uid = archive->FindRow(cells, reader))
                m = archive->Find(*uid);
        TReportRow row;
        row.Cells << QString::number(report.Rows.size() + 1);
        for (int c = 1; c < FixedColumns; ++c)
            row.Cells << text(c);
        for (const int k : indicators)
            row.Cells << (m ? Value(*m, k, settings, cycle.Locale) : text(k + FixedColumns));
        if (m && m->Invalid())
            row.Invalid = InvalidText(*m, cycle.Locale);
        report.Rows.push_back(std::move(row));
        if (const std::optional<qint64> ms = reader.When(cells.Cell(2), cells.Cell(3))) {
            const QDateTime when = QDateTime::fromMSecsSinceEpoch(*ms);
            if (!first.isValid() || when < first)
                first = when;
            if (!last.isValid() || when > last)
                last = when;
        }
        if (m)
            AddInstrument(instruments, *m);
    }
    report.Finish(instruments, first, last, cycle);
    return report;
}

QString TReport::FilterText(const TArchiveFilter& filter, const QLocale& locale) {
    QStringList items;
    const auto date = [&locale](const QDateTime& when) {
        return locale.toString(when.date(), QLocale::ShortFormat);
    };
    if (filter.From.isValid() && filter.To.isValid())
        items << QStringLiteral("даты с %1 по %2").arg(date(filter.From), date(filter.To));
    else if (filter.From.isValid())
        items << QStringLiteral("даты с %1").arg(date(filter.From));
    else if (filter.To.isValid())
        items << QStringLiteral("даты по %1").arg(date(filter.To));
    else
        items << QStringLiteral("все даты");
    items << (filter.SampleContains.isEmpty()
                  ? QStringLiteral("все пробы")
                  : QStringLiteral("проба содержит «%1»").arg(filter.SampleContains));
    items << (filter.Device ? QStringLiteral("прибор № %1").arg(*filter.Device)
                            : QStringLiteral("все приборы"));
    items << (filter.IncludeInvalid ? QStringLiteral("недействительные включены")
                                    : QStringLiteral("без недействительных"));
    if (!filter.Ids.empty())
        items << QStringLiteral("выбрано измерений: %1").arg(filter.Ids.size());
    return items.join(QStringLiteral("; "));
}
