// Any text as the name, date, time and value cells of rows (fields split at
// tabs, rows at line breaks): selecting the chart's points never crashes,
// keeps exactly the rows whose value and date and time read, and the limits
// of three or more points are finite and ordered. The first byte picks the
// locale when exploring (even: Russian, odd: US English, so "R" and "E");
// the regression run checks every input in both.
#include "config/Cp1251.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzMode.h"
#include "measurement/ValueText.h"
#include "qc/ControlChart.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

constexpr size_t kMaxInput = 4096;
constexpr int kColumn = 6;

// reader: the check's own, for locale; it is kept between runs, so it also
// tests that what it remembers of earlier texts never changes a reading.
void check(const TResultsTable& table, const QString& sample, const QLocale& locale,
           ControlChart::TDateTimeReader& reader) {
    const TChartData data = ControlChart::Build(table, kColumn, sample, locale);
    size_t next = 0;
    for (int r = 1; r < table.RowCount(); ++r) {
        const auto value = TValueText::Parse(table.CellView(kColumn, r));
        const auto when = reader.When(table.CellView(2, r), table.CellView(3, r));
        // Blanks around the name do not count, the no-break space among them.
        const bool named =
            sample.isEmpty() || Cp1251::decode(table.CellView(1, r)).trimmed() == sample;
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
    if (size == 0)
        return 0;
    const bool english = data[0] % 2 != 0;
    const QByteArrayView input(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    // Each input line's name, date, time and value become a results-file
    // line with the value in its column, and the table is loaded from
    // those lines as the register loads a file: one pass, one allocation a
    // row. The buffer and the table are kept between runs.
    static QByteArray text;
    text.resize(0);
    for (qsizetype pos = 0; pos <= input.size();) {
        qsizetype nl = input.indexOf('\n', pos);
        if (nl < 0)
            nl = input.size();
        const QByteArrayView line = input.sliced(pos, nl - pos);
        qsizetype at = 0;
        for (int i = 0; i < 4 && at <= line.size(); ++i) {
            qsizetype tab = line.indexOf('\t', at);
            if (tab < 0)
                tab = line.size();
            text.append(line.sliced(at, tab - at));
            if (i < 3)
                text.append(i == 2 ? "\t\t\t" : "\t"); // columns 4 and 5 stay empty
            at = tab + 1;
        }
        text.append('\n');
        pos = nl + 1;
    }
    static TResultsTable table;
    LoadResultsText(table, text);
    QByteArray firstName;
    for (int r = 1; r < table.RowCount() && firstName.isEmpty(); ++r)
        firstName = table.CellView(1, r).trimmed().toByteArray();
    // An ASCII name reads the same in code page 1251 and Latin-1.
    const bool ascii =
        std::all_of(firstName.begin(), firstName.end(), [](char c) { return uchar(c) < 0x80; });
    const QString sample = QString::fromLatin1(firstName);
    static const QLocale russianLocale(QLocale::Russian, QLocale::Russia);
    static const QLocale englishLocale(QLocale::English, QLocale::UnitedStates);
    static ControlChart::TDateTimeReader russianReader(russianLocale);
    static ControlChart::TDateTimeReader englishReader(englishLocale);
    for (const bool inEnglish : {false, true}) {
        if (inEnglish != english && !FuzzReplaying())
            continue;
        const QLocale& locale = inEnglish ? englishLocale : russianLocale;
        ControlChart::TDateTimeReader& reader = inEnglish ? englishReader : russianReader;
        check(table, QString(), locale, reader);
        if (!sample.isEmpty() && ascii)
            check(table, sample, locale, reader);
    }
    // Emptied again: a run frees the rows it made, so libFuzzer has no
    // cause to run it twice looking for a leak.
    LoadResultsText(table, {});
    return 0;
}
