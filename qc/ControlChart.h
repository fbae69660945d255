#pragma once

#include <QByteArrayView>
#include <QDate>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTime>

#include <map>
#include <optional>
#include <vector>

class TResultsTable;

// The data of the trend and control chart of one indicator: which rows of the
// results table take part, their time and value, the individuals-chart limits
// and the laboratory rules. Pure functions of the table; the chart window only
// draws what they give.

enum class TPointState {
    InControl,
    Warning,     // one of two out of three consecutive points beyond the same 2σ limit
    OutOfControl // beyond 3σ
};

// The rules a point can break, as bits of TChartPoint::Rules.
enum TChartRule : unsigned {
    RuleBeyond3 = 1,      // beyond ±3σ
    RuleTwoOfThree = 2,   // 2 of 3 consecutive points beyond the same 2σ limit
    RuleEightOneSide = 4, // 8 points in a row on one side of the centre line
    RuleSixTrend = 8,     // 6 points in a row steadily rising or falling
};

struct TChartPoint {
    int Row = 0;     // table row
    qint64 When = 0; // local date and time, ms since the epoch (the time axis)
    double Value = 0;
    TPointState State = TPointState::InControl;
    unsigned Rules = 0; // TChartRule bits
    // Marked invalid in the archive: drawn, but left out of limits and rules.
    bool Excluded = false;
    QString ExcludedReason;
};

// Where the limits come from.
enum class TLimitsKind {
    Points,     // the shown points
    BasePeriod, // the points of a base period, kept as numbers
    Nominal     // nominal value ± tolerance, the tolerance being ±3σ
};

struct TChartLimits {
    bool Valid = false; // fewer than MinPoints points: no lines
    TLimitsKind Kind = TLimitsKind::Points;
    double Mean = 0;
    double MeanMovingRange = 0;
    double Sigma = 0; // MeanMovingRange / 1.128
    double Lower3 = 0, Lower2 = 0, Upper2 = 0, Upper3 = 0;
};

// Limits an operator fixed for one indicator and sample, as the archive keeps
// them.
struct TFixedLimits {
    TLimitsKind Kind = TLimitsKind::BasePeriod;
    double Centre = 0;
    double Sigma = 0;
    qint64 BaseFromMs = 0, BaseToMs = 0; // BasePeriod: the period the numbers came from
    double Nominal = 0, Tolerance = 0;   // Nominal
    QString SetBy;
    qint64 SetMs = 0;
};

struct TChartOptions {
    std::optional<TFixedLimits> Fixed; // none: from the shown points
    bool WesternElectric = false;      // also the run and trend rules
    // Table rows marked invalid, with the reason.
    std::map<int, QString> Excluded;
};

struct TChartData {
    std::vector<TChartPoint> Points; // in table order
    TChartLimits Limits;
    int Warnings = 0;
    int OutOfControl = 0;
    int ExcludedCount = 0;
};

// What an exported picture says under the chart; the opener knows it.
struct TChartCaption {
    QString Source;     // the results file, or which archive and its filter
    QString Instrument; // device number, port, computer
};

struct TIndicatorColumn {
    int Column = 0;
    QString Title;
};

namespace ControlChart {

constexpr int FirstIndicatorColumn = 5;
constexpr int MinPoints = 3;
// d2 for moving ranges of two: σ = mean moving range / d2.
constexpr double D2 = 1.128;

// The indicator columns 5 to 31 with their titles from row 0 (trimmed), shown
// or hidden alike.
std::vector<TIndicatorColumn> IndicatorColumns(const TResultsTable& table);

// A name cell as the chart tells samples apart: without the blanks around
// it, the no-break space (0xA0) counted as one, since the list shows it as a
// blank. The sample list and the row filter both go by this.
QByteArrayView SampleKey(QByteArrayView name);

// The distinct sample names (SampleKey, not empty) of the sample rows, in the
// order they first appear.
QStringList SampleNames(const TResultsTable& table);

// Reads the date and time columns: the locale's short date and its time with
// seconds as the register writes them, then a few common fixed forms, so a
// file written under another locale still charts.
class TDateTimeReader {
public:
    explicit TDateTimeReader(const QLocale& locale);
    ~TDateTimeReader();
    TDateTimeReader(const TDateTimeReader&) = delete;
    TDateTimeReader& operator=(const TDateTimeReader&) = delete;

    std::optional<QDate> Date(QByteArrayView text);
    std::optional<QTime> Time(QByteArrayView text) const;
    // Both read and joined as local time, in ms since the epoch.
    std::optional<qint64> When(QByteArrayView date, QByteArrayView time);

    struct TNumericFormat;

private:
    QLocale locale_;
    std::vector<TNumericFormat> dateFormats_;
    std::vector<TNumericFormat> timeFormats_;
    // Many measurements share a day: the last date text is remembered.
    QByteArray lastDateText_;
    QDate lastDate_;
    // Local midnight of lastDate_ when the day has one offset from UTC
    // throughout; converting every row through the time zone costs a system
    // call each.
    QDate dayStartDate_;
    std::optional<qint64> dayStart_;
};

// The rows 1 to RowCount - 1 that carry a value in column and a readable date
// and time; sample empty means all samples, otherwise rows whose name has the
// SampleKey of sample.
std::vector<TChartPoint> SelectPoints(const TResultsTable& table, int column, const QString& sample,
                                      const QLocale& locale);

// Mean, mean moving range, σ and the ±2σ / ±3σ limits of values in order;
// excluded points are left out.
TChartLimits ComputeLimits(const std::vector<TChartPoint>& points);
// The limits of the points measured from fromMs to toMs (inclusive).
TChartLimits BasePeriodLimits(const std::vector<TChartPoint>& points, qint64 fromMs, qint64 toMs);
// Centre and σ as given; the ±2σ / ±3σ lines around them.
TChartLimits LimitsAround(double centre, double sigma, TLimitsKind kind);
// The tolerance is the ±3σ control limit: σ = tolerance / 3.
TChartLimits NominalLimits(double nominal, double tolerance);
TChartLimits FixedLimits(const TFixedLimits& fixed);

// Marks points beyond 3σ as out of control and points in a run of two out of
// three consecutive points beyond the same 2σ limit as warnings; with
// westernElectric also the 8th and further points of a run on one side of the
// centre line and the 6th and further points of a steady rise or fall. Rules
// records every rule a point broke. Excluded points are skipped: the runs go
// on over them. Points are left in control when the limits are not valid.
void ApplyRules(std::vector<TChartPoint>& points, const TChartLimits& limits,
                bool westernElectric = false);

// The rule's text for the rule list; RulesText joins those of several bits.
QString RuleText(TChartRule rule);
QString RulesText(unsigned rules);

TChartData Build(const TResultsTable& table, int column, const QString& sample,
                 const QLocale& locale, const TChartOptions& options = {});

// Why the limits are missing, for the window; empty when they are drawn.
QString LimitsNote(const TChartData& data);
// Where the drawn limits come from, with the locale's decimals: empty for
// the shown points.
QString FixedLimitsNote(const TFixedLimits& fixed, const QLocale& locale);

// The lines under an exported chart: source, period of the points,
// instrument, export date.
QStringList CaptionLines(const TChartCaption& caption, const TChartData& data,
                         const QLocale& locale, const QDateTime& exported);

} // namespace ControlChart
