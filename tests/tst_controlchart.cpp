#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "qc/ControlChart.h"
#include "results/RecordCycle.h"
#include "results/ResultsTable.h"

#include <QDateTime>
#include <QtTest>

#include <ctime>

#include <vector>

using namespace ControlChart;

namespace {

constexpr int kAlcohol = 6; // indicator 1

const QLocale kRu(QLocale::Russian, QLocale::Russia);

// Appends one measurement row as the register writes it.
void Append(TResultsTable& table, const QString& name, const QDateTime& when,
            std::initializer_list<std::pair<int, double>> values, const QLocale& locale = kRu) {
    TRecordCycle cycle;
    cycle.Locale = locale;
    TMeasurementRecord record;
    for (const auto& [column, value] : values) {
        record.Mask |= 1u << (column - 5);
        record.Values[size_t(column - 5)] = value;
    }
    table.SetCell(1, table.RowCount() - 1, Cp1251::encode(name));
    cycle.AppendMeasurement(table, record, when);
}

std::vector<TChartPoint> Points(std::initializer_list<double> values) {
    std::vector<TChartPoint> points;
    int row = 1;
    for (double v : values) {
        TChartPoint& p = points.emplace_back();
        p.Row = row;
        p.When = row++ * 1000; // one a second, for base periods
        p.Value = v;
    }
    return points;
}

QString States(const std::vector<TChartPoint>& points) {
    QString out;
    for (const TChartPoint& p : points)
        out += p.State == TPointState::OutOfControl ? u'R'
               : p.State == TPointState::Warning    ? u'A'
                                                    : u'.';
    return out;
}

} // namespace

class TstControlChart : public QObject {
    Q_OBJECT

private slots:
    // Worked example 1: a reference beer measured 12 times, the last one far off.
    //   values: 5.0 5.1 5.0 4.9 5.0 5.1 5.0 4.9 5.0 5.1 5.0 6.0
    //   sum = 61.1, mean = 61.1 / 12 = 5.091667
    //   moving ranges: ten of 0.1 and the last |6.0 - 5.0| = 1.0, sum 2.0
    //   mean moving range = 2.0 / 11 = 0.181818
    //   sigma = 0.181818 / 1.128 = 0.161186
    //   -3s = 5.091667 - 0.483559 = 4.608108   -2s = 5.091667 - 0.322373 = 4.769294
    //   +2s = 5.091667 + 0.322373 = 5.414039   +3s = 5.091667 + 0.483559 = 5.575226
    //   6.0 > 5.575226: out of control. No other point leaves 4.769..5.414.
    // Worked example 2: the same reference with two high readings in a row.
    //   values: 5.0 5.1 5.0 4.9 5.0 5.1 5.0 4.9 5.0 5.3 5.3 5.0
    //   sum = 60.6, mean = 5.05
    //   moving ranges: eight of 0.1, then 0.3, 0.0, 0.3; sum 1.4
    //   mean moving range = 1.4 / 11 = 0.127273, sigma = 0.127273 / 1.128 = 0.112830
    //   +2s = 5.05 + 0.225661 = 5.275661   +3s = 5.05 + 0.338491 = 5.388491
    //   -2s = 4.824339                      -3s = 4.711509
    //   5.3 and 5.3 lie between +2s and +3s, two of three consecutive: warnings.
    void workedExamples_data() {
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<double>("mean");
        QTest::addColumn<double>("movingRange");
        QTest::addColumn<double>("sigma");
        QTest::addColumn<QList<double>>("limits"); // -3s -2s +2s +3s
        QTest::addColumn<QString>("states");
        QTest::newRow("one beyond 3 sigma")
            << QList<double>{5.0, 5.1, 5.0, 4.9, 5.0, 5.1, 5.0, 4.9, 5.0, 5.1, 5.0, 6.0} << 5.091667
            << 0.181818 << 0.161186 << QList<double>{4.608108, 4.769294, 5.414039, 5.575226}
            << "...........R";
        QTest::newRow("two of three beyond 2 sigma")
            << QList<double>{5.0, 5.1, 5.0, 4.9, 5.0, 5.1, 5.0, 4.9, 5.0, 5.3, 5.3, 5.0} << 5.05
            << 0.127273 << 0.112830 << QList<double>{4.711509, 4.824339, 5.275661, 5.388491}
            << ".........AA.";
    }

    void workedExamples() {
        QFETCH(QList<double>, values);
        QFETCH(double, mean);
        QFETCH(double, movingRange);
        QFETCH(double, sigma);
        QFETCH(QList<double>, limits);
        QFETCH(QString, states);

        // Through the table, as the window gets them: one row per value, a
        // minute apart, all of sample "Эталон".
        TResultsTable table;
        const QDateTime start(QDate(2026, 12, 8), QTime(9, 0, 0));
        for (int i = 0; i < values.size(); ++i)
            Append(table, QStringLiteral("Эталон"), start.addSecs(60 * i), {{kAlcohol, values[i]}});
        const TChartData data = Build(table, kAlcohol, QStringLiteral("Эталон"), kRu);

        QCOMPARE(int(data.Points.size()), int(values.size()));
        QVERIFY(data.Limits.Valid);
        const auto near = [](double a, double b) { return std::fabs(a - b) < 1e-6; };
        QVERIFY2(near(data.Limits.Mean, mean),
                 qPrintable(QString::number(data.Limits.Mean, 'f', 8)));
        QVERIFY(near(data.Limits.MeanMovingRange, movingRange));
        QVERIFY(near(data.Limits.Sigma, sigma));
        QVERIFY(near(data.Limits.Lower3, limits[0]));
        QVERIFY(near(data.Limits.Lower2, limits[1]));
        QVERIFY(near(data.Limits.Upper2, limits[2]));
        QVERIFY(near(data.Limits.Upper3, limits[3]));
        QCOMPARE(States(data.Points), states);
        QCOMPARE(data.OutOfControl, int(states.count(u'R')));
        QCOMPARE(data.Warnings, int(states.count(u'A')));
        QVERIFY(LimitsNote(data).isEmpty());
        for (size_t i = 0; i < data.Points.size(); ++i) {
            QCOMPARE(data.Points[i].Row, int(i) + 1);
            QCOMPARE(data.Points[i].When, start.addSecs(60 * qint64(i)).toMSecsSinceEpoch());
        }
    }

    // Limits at mean 0, sigma 1: warning at ±2, control at ±3, both strict.
    void rules_data() {
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<QString>("states");
        QTest::newRow("two of three above") << QList<double>{0, 2.5, 0, 2.5, 0} << ".A.A.";
        QTest::newRow("two in a row below") << QList<double>{-2.1, -2.9, 0} << "AA.";
        QTest::newRow("opposite sides") << QList<double>{2.5, -2.5, 0} << "...";
        QTest::newRow("too far apart") << QList<double>{2.5, 0, 0, 2.5} << "....";
        QTest::newRow("on the limits") << QList<double>{2.0, 2.0, 3.0, -3.0} << "....";
        QTest::newRow("beyond 3 sigma") << QList<double>{3.5, 0, 0, -3.01} << "R..R";
        QTest::newRow("3 sigma counts for 2 of 3") << QList<double>{3.5, 2.5, 0} << "RA.";
        QTest::newRow("lone 2 sigma") << QList<double>{0, 2.9, 0, 0} << "....";
    }

    void rules() {
        QFETCH(QList<double>, values);
        QFETCH(QString, states);
        TChartLimits limits;
        limits.Valid = true;
        limits.Sigma = 1;
        limits.Lower3 = -3;
        limits.Lower2 = -2;
        limits.Upper2 = 2;
        limits.Upper3 = 3;
        std::vector<TChartPoint> points;
        for (double v : values) {
            points.emplace_back().Value = v;
            points.back().State = TPointState::OutOfControl; // stale marks are cleared
        }
        ApplyRules(points, limits);
        QCOMPARE(States(points), states);
    }

    // Fixed limits and the rules over them; rules per point as the hex digit
    // of its TChartRule bits ('.' none). Points come one a second from 1 s.
    //   points, one excluded: 5.0 5.2 [99] 5.1 -> mean 15.3 / 3 = 5.1,
    //     moving ranges 0.2 and 0.1 -> 0.15, sigma 0.15 / 1.128 = 0.132979;
    //     99 is left out and breaks nothing.
    //   base 1..3 s of 5.0 5.2 5.1 6.0 6.2: the same mean and sigma from the
    //     first three; +2s = 5.365957, +3s = 5.498936: 6.0 and 6.2 are beyond
    //     both (1) and two of three beyond +2s (2) -> 3.
    //   nominal 5.0 ± 0.3: sigma 0.1, +2s 5.2, +3s 5.3. 5.25 . 5.25 are two of
    //     three beyond +2s, 5.25 5.4 again; 5.4 beyond +3s.
    //   nominal 0 ± 3 (sigma 1): nine 1s put the 8th and 9th on one side (4);
    //     a steady rise from -2.5 marks its 6th and 7th point (8); with an
    //     excluded -5 the run of 1s goes on over it; 2.5 [9] 2.5 0 keep two
    //     of three beyond +2s between the counted points.
    void fixedLimitsAndRules_data() {
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<QList<int>>("excluded");
        QTest::addColumn<int>("kind"); // TLimitsKind
        QTest::addColumn<double>("a"); // base from s, or nominal
        QTest::addColumn<double>("b"); // base to s, or tolerance
        QTest::addColumn<bool>("westernElectric");
        QTest::addColumn<double>("mean");
        QTest::addColumn<double>("sigma");
        QTest::addColumn<QString>("rules");
        const int points = int(TLimitsKind::Points), base = int(TLimitsKind::BasePeriod),
                  nominal = int(TLimitsKind::Nominal);
        QTest::newRow("points, one excluded")
            << QList<double>{5.0, 5.2, 99, 5.1} << QList<int>{2} << points << 0.0 << 0.0 << true
            << 5.1 << 0.132979 << "....";
        QTest::newRow("base period") << QList<double>{5.0, 5.2, 5.1, 6.0, 6.2} << QList<int>{}
                                     << base << 1.0 << 3.0 << false << 5.1 << 0.132979 << "...33";
        QTest::newRow("nominal") << QList<double>{5.0, 5.25, 5.1, 5.25, 5.4} << QList<int>{}
                                 << nominal << 5.0 << 0.3 << false << 5.0 << 0.1 << ".2.23";
        const QList<double> ones{1, 1, 1, 1, 1, 1, 1, 1, 1};
        QTest::newRow("eight on one side, plain")
            << ones << QList<int>{} << nominal << 0.0 << 3.0 << false << 0.0 << 1.0 << ".........";
        QTest::newRow("eight on one side")
            << ones << QList<int>{} << nominal << 0.0 << 3.0 << true << 0.0 << 1.0 << ".......44";
        const QList<double> rise{-2.5, -2, -1.5, -1, -0.5, 0.5, 0.6};
        QTest::newRow("six rising, plain")
            << rise << QList<int>{} << nominal << 0.0 << 3.0 << false << 0.0 << 1.0 << ".......";
        QTest::newRow("six rising")
            << rise << QList<int>{} << nominal << 0.0 << 3.0 << true << 0.0 << 1.0 << ".....88";
        QTest::newRow("run over an excluded point")
            << QList<double>{1, 1, 1, -5, 1, 1, 1, 1, 1} << QList<int>{3} << nominal << 0.0 << 3.0
            << true << 0.0 << 1.0 << "........4";
        QTest::newRow("two of three over an excluded point")
            << QList<double>{2.5, 9, 2.5, 0} << QList<int>{1} << nominal << 0.0 << 3.0 << false
            << 0.0 << 1.0 << "2.2.";
        // sigma 0 is a valid limit: a standard measured again and again, or
        // a nominal without tolerance; any departure is beyond 3 sigma.
        QTest::newRow("all points equal") << QList<double>{7, 7, 7, 7} << QList<int>{} << points
                                          << 0.0 << 0.0 << true << 7.0 << 0.0 << "....";
        QTest::newRow("zero tolerance") << QList<double>{5, 5, 5.1, 4.9} << QList<int>{}
                                        << nominal << 5.0 << 0.0 << false << 5.0 << 0.0
                                        << "..11";
    }

    void fixedLimitsAndRules() {
        QFETCH(QList<double>, values);
        QFETCH(QList<int>, excluded);
        QFETCH(int, kind);
        QFETCH(double, a);
        QFETCH(double, b);
        QFETCH(bool, westernElectric);
        QFETCH(double, mean);
        QFETCH(double, sigma);
        QFETCH(QString, rules);
        std::vector<TChartPoint> points;
        for (double v : values) {
            TChartPoint& p = points.emplace_back();
            p.When = qint64(points.size()) * 1000;
            p.Value = v;
            p.Excluded = excluded.contains(int(points.size()) - 1);
        }
        const TChartLimits limits =
            kind == int(TLimitsKind::Points) ? ComputeLimits(points)
            : kind == int(TLimitsKind::BasePeriod)
                ? BasePeriodLimits(points, qint64(a * 1000), qint64(b * 1000))
                : NominalLimits(a, b);
        QVERIFY(limits.Valid);
        QCOMPARE(int(limits.Kind), kind);
        QVERIFY(std::abs(limits.Mean - mean) < 1e-6);
        QVERIFY(std::abs(limits.Sigma - sigma) < 1e-6);
        ApplyRules(points, limits, westernElectric);
        QString got;
        for (const TChartPoint& p : points)
            got += p.Rules ? QString::number(p.Rules, 16) : QStringLiteral(".");
        QCOMPARE(got, rules);
    }

    void fewerThanThreePointsDrawNoLines() {
        for (int n = 0; n < MinPoints; ++n) {
            std::vector<TChartPoint> points = Points({100.0, -100.0}); // would be far off
            points.resize(size_t(n));
            const TChartLimits limits = ComputeLimits(points);
            QVERIFY(!limits.Valid);
            ApplyRules(points, limits);
            QCOMPARE(States(points), QString(n, u'.'));
            TChartData data;
            data.Points = points;
            data.Limits = limits;
            QVERIFY(!LimitsNote(data).isEmpty());
            if (n > 0)
                QVERIFY(LimitsNote(data).contains(QString::number(n)));
        }
        QVERIFY(ComputeLimits(Points({1, 2, 4})).Valid);
    }

    void selectionSkipsRowsItCannotPlace() {
        TResultsTable table;
        const QDateTime t(QDate(2026, 12, 8), QTime(14, 16, 53));
        Append(table, "Эталон", t, {{kAlcohol, 5.0}, {7, 1.0}});      // row 1
        Append(table, "Пиво", t.addSecs(60), {{kAlcohol, 4.5}});      // row 2: other sample
        Append(table, "Эталон", t.addSecs(120), {{7, 2.0}});          // row 3: no alcohol
        Append(table, " Эталон ", t.addSecs(180), {{kAlcohol, 5.2}}); // row 4: blanks
        Append(table, "Эталон", t.addSecs(240), {{kAlcohol, 5.1}});   // row 5: bad date
        table.SetCell(2, 5, "\xe2\xf7\xe5\xf0\xe0");                  // "вчера"
        Append(table, "Эталон", t.addSecs(300), {{kAlcohol, 5.1}});   // row 6: no time
        table.SetCell(3, 6, "");
        Append(table, "Эталон", t.addSecs(360), {{kAlcohol, 5.1}}); // row 7: NAN
        table.SetCell(kAlcohol, 7, "NAN");
        Append(table, "Эталон", t.addSecs(420), {{kAlcohol, 5.1}}); // row 8: dot, short year
        table.SetCell(kAlcohol, 8, "4.9");
        table.SetCell(2, 8, "08.12.26");
        table.SetCell(1, table.RowCount() - 1,
                      Cp1251::encode(QStringLiteral("Эталон"))); // entry row

        const auto rows = [&](const QString& sample) {
            QList<int> out;
            for (const TChartPoint& p : SelectPoints(table, kAlcohol, sample, kRu))
                out << p.Row;
            return out;
        };
        QCOMPARE(rows(QString()), (QList<int>{1, 2, 4, 8}));
        QCOMPARE(rows(QStringLiteral("Эталон")), (QList<int>{1, 4, 8}));
        QCOMPARE(rows(QStringLiteral("Пиво")), (QList<int>{2}));
        QCOMPARE(rows(QStringLiteral("нет такой")), QList<int>{});
        QCOMPARE(rows(QStringLiteral("漢字")), QList<int>{});
        const auto points = SelectPoints(table, kAlcohol, QString(), kRu);
        QCOMPARE(points[3].Value, 4.9);
        QCOMPARE(points[3].When, t.addSecs(420).toMSecsSinceEpoch());
        QCOMPARE(SelectPoints(table, 4, QString(), kRu).size(), size_t(0)); // not an indicator
        QCOMPARE(SelectPoints(table, 32, QString(), kRu).size(), size_t(0));

        QCOMPARE(SampleNames(table), (QStringList{"Эталон", "Пиво"}));
    }

    // A no-break space looks like a blank in the sample list: each name the
    // list offers must chart exactly the rows it stands for.
    void listedNamesChartTheirRows() {
        TResultsTable table;
        const QDateTime t(QDate(2026, 12, 8), QTime(14, 16, 53));
        const QString nbsp(QChar(0xA0));
        Append(table, "Пиво" + nbsp, t, {{kAlcohol, 4.5}});                       // row 1
        Append(table, "Пиво", t.addSecs(60), {{kAlcohol, 4.6}});                  // row 2
        Append(table, nbsp + "Эталон" + nbsp, t.addSecs(120), {{kAlcohol, 5.0}}); // row 3
        Append(table, "Эталон", t.addSecs(180), {{kAlcohol, 5.1}});               // row 4
        const auto rows = [&](const QString& sample) {
            QList<int> out;
            for (const TChartPoint& p : SelectPoints(table, kAlcohol, sample, kRu))
                out << p.Row;
            return out;
        };
        const QStringList names = SampleNames(table);
        QCOMPARE(names, (QStringList{"Пиво", "Эталон"}));
        QCOMPARE(rows(names[0]), (QList<int>{1, 2}));
        QCOMPARE(rows(names[1]), (QList<int>{3, 4}));
        QCOMPARE(rows("Пиво" + nbsp), (QList<int>{1, 2}));
    }

    // What the register writes under a locale it reads back under that locale.
    void roundTripUnderLocales_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::newRow("ru_RU") << kRu;
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany);
        QTest::newRow("C") << QLocale::c();
        QTest::newRow("uk_UA") << QLocale(QLocale::Ukrainian, QLocale::Ukraine);
        QTest::newRow("en_GB") << QLocale(QLocale::English, QLocale::UnitedKingdom);
        QTest::newRow("fr_FR") << QLocale(QLocale::French, QLocale::France);
    }

    void roundTripUnderLocales() {
        QFETCH(QLocale, locale);
        TResultsTable table;
        const QDateTime first(QDate(2026, 1, 2), QTime(3, 4, 5));
        const QDateTime second(QDate(2026, 12, 31), QTime(23, 59, 58));
        Append(table, "A", first, {{kAlcohol, 12.34}}, locale);
        Append(table, "A", second, {{kAlcohol, -0.5}}, locale);
        const auto points = SelectPoints(table, kAlcohol, QString(), locale);
        QCOMPARE(int(points.size()), 2);
        QCOMPARE(points[0].When, first.toMSecsSinceEpoch());
        QCOMPARE(points[0].Value, 12.34);
        QCOMPARE(points[1].When, second.toMSecsSinceEpoch());
        QCOMPARE(points[1].Value, -0.5);
    }

    // Days the clocks change are joined through the time zone, other days by
    // their midnight; both must agree with the zone's own conversion.
    void daysTheClocksChange() {
        const QByteArray oldTz = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
        TResultsTable table;
        const QList<QDateTime> moments{QDateTime(QDate(2026, 3, 28), QTime(23, 30)),
                                       QDateTime(QDate(2026, 3, 29), QTime(1, 30)),
                                       QDateTime(QDate(2026, 3, 29), QTime(3, 30)),
                                       QDateTime(QDate(2026, 3, 29), QTime(12, 0)),
                                       QDateTime(QDate(2026, 10, 25), QTime(4, 0)),
                                       QDateTime(QDate(2026, 10, 26), QTime(4, 0))};
        for (const QDateTime& when : moments)
            Append(table, "A", when, {{kAlcohol, 1.0}});
        const auto points = SelectPoints(table, kAlcohol, QString(), kRu);
        QList<qint64> got, want;
        for (const TChartPoint& p : points)
            got << p.When;
        for (const QDateTime& when : moments)
            want << when.toMSecsSinceEpoch();
        if (oldTz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", oldTz);
        tzset();
        QCOMPARE(got, want);
        QCOMPARE(want[3] - want[2], qint64(8.5 * 3600 * 1000)); // the zone was in force
        QCOMPARE(want[2] - want[1], qint64(1 * 3600 * 1000));
    }

    void values_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("value");
        QTest::newRow("comma") << QByteArray("5,25") << true << 5.25;
        QTest::newRow("dot") << QByteArray("5.25") << true << 5.25;
        QTest::newRow("negative") << QByteArray("-0,50") << true << -0.5;
        QTest::newRow("exponent") << QByteArray("1,70141163E+38") << true << 1.70141163e38;
        QTest::newRow("blanks") << QByteArray(" 7 ") << true << 7.0;
        QTest::newRow("empty") << QByteArray("") << false << 0.0;
        QTest::newRow("NAN") << QByteArray("NAN") << false << 0.0;
        QTest::newRow("INF") << QByteArray("-INF") << false << 0.0;
        QTest::newRow("text") << QByteArray("5,2 %") << false << 0.0;
        QTest::newRow("grouped") << QByteArray("1,000,5") << false << 0.0;
        QTest::newRow("long") << QByteArray(100, '1') << false << 0.0;
        QTest::newRow("largest device value")
            << QByteArray("-1,70141163E+38") << true << -1.70141163e38;
        QTest::newRow("beyond the device") << QByteArray("1e300") << false << 0.0;
    }

    void values() {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        QFETCH(double, value);
        const std::optional<double> parsed = TValueText::Parse(text);
        QCOMPARE(parsed.has_value(), valid);
        if (valid)
            QCOMPARE(*parsed, value);
    }

    void indicatorColumnsIncludeHiddenOnes() {
        TResultsTable table;
        table.SetCell(5, 0, "Density ");
        table.SetCell(31, 0, "Last");
        table.SetColWidth(31, -1);
        const auto columns = IndicatorColumns(table);
        QCOMPARE(int(columns.size()), 27);
        QCOMPARE(columns.front().Column, 5);
        QCOMPARE(columns.front().Title, QStringLiteral("Density"));
        QCOMPARE(columns.back().Column, 31);
        QCOMPARE(columns.back().Title, QStringLiteral("Last"));
    }
};

QTEST_GUILESS_MAIN(TstControlChart)
#include "tst_controlchart.moc"
