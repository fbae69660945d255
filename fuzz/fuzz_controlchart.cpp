// Any text as the name, date, time and value cells of rows (fields split at
// tabs, rows at line breaks): selecting the chart's points never crashes,
// keeps exactly the rows whose value and date and time read, and the limits
// of three or more points are finite and ordered.
#include "fuzz/FuzzCheck.h"
#include "register/ControlChart.h"
#include "register/ResultsTable.h"

#include <QByteArrayList>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

constexpr size_t kMaxInput = 4096;
constexpr int kColumn = 6;

void check(const TResultsTable& table, const QString& sample, const QLocale& locale) {
    const TChartData data = ControlChart::Build(table, kColumn, sample, locale);
    ControlChart::TDateTimeReader reader(locale);
    size_t next = 0;
    for (int r = 1; r < table.RowCount(); ++r) {
        const auto value = ControlChart::ParseValue(table.CellView(kColumn, r));
        const auto when = reader.When(table.CellView(2, r), table.CellView(3, r));
        const bool named = sample.isEmpty() || table.CellView(1, r).trimmed() == sample.toLatin1();
        if (!value || !when || !named)
            continue;
        FUZZ_CHECK(next < data.Points.size());
        FUZZ_CHECK(data.Points[next].Row == r);
        FUZZ_CHECK(data.Points[next].Value == *value);
        FUZZ_CHECK(data.Points[next].When == *when);
        ++next;
    }
    FUZZ_CHECK(next == data.Points.size());
    const TChartLimits& l = data.Limits;
    FUZZ_CHECK(l.Valid == (data.Points.size() >= size_t(ControlChart::MinPoints)));
    if (!l.Valid) {
        FUZZ_CHECK(data.Warnings == 0 && data.OutOfControl == 0);
        FUZZ_CHECK(!ControlChart::LimitsNote(data).isEmpty());
        return;
    }
    for (const double v : {l.Mean, l.Sigma, l.Lower3, l.Lower2, l.Upper2, l.Upper3})
        FUZZ_CHECK(std::isfinite(v));
    FUZZ_CHECK(l.Sigma >= 0);
    FUZZ_CHECK(l.Lower3 <= l.Lower2 && l.Lower2 <= l.Mean && l.Mean <= l.Upper2 &&
               l.Upper2 <= l.Upper3);
    for (const TChartPoint& p : data.Points)
        FUZZ_CHECK((p.State == TPointState::OutOfControl) ==
                   (p.Value > l.Upper3 || p.Value < l.Lower3));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return -1;
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    TResultsTable table;
    QByteArray firstName;
    for (const QByteArray& line : input.split('\n')) {
        const QByteArrayList fields = line.split('\t');
        const int row = table.RowCount() - 1;
        // name, date, time, value
        for (int i = 0; i < fields.size() && i < 4; ++i)
            table.SetCell(i == 3 ? kColumn : i + 1, row, fields[i]);
        if (firstName.isEmpty())
            firstName = fields[0].trimmed();
        table.AddEntryRow();
    }
    // An ASCII name reads the same in code page 1251 and Latin-1.
    const bool ascii =
        std::all_of(firstName.begin(), firstName.end(), [](char c) { return uchar(c) < 0x80; });
    const QString sample = QString::fromLatin1(firstName);
    for (const QLocale& locale : {QLocale(QLocale::Russian, QLocale::Russia),
                                  QLocale(QLocale::English, QLocale::UnitedStates)}) {
        check(table, QString(), locale);
        if (!sample.isEmpty() && ascii)
            check(table, sample, locale);
    }
    return 0;
}
