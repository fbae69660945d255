#include "qc/ControlChart.h"

#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "results/RecordCycle.h"
#include "results/ResultsTable.h"

#include <QDateTime>
#include <QSet>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <string_view>

namespace ControlChart {

namespace {

constexpr int kNameCol = 1;
constexpr int kDateCol = 2;
constexpr int kTimeCol = 3;

} // namespace

// A date or time format made only of numeric fields and separators, read
// without building a parser per cell (a year of samples is 50,000 cells).
struct TDateTimeReader::TNumericFormat {
    QString Format;
    // Field 'd', 'M', 'y', 'H', 'm', 's' or 'z' of Width letters, or a
    // literal (Field 0): Width bytes of Latin from Begin.
    struct Token {
        char Field = 0;
        int Width = 0;
        qsizetype Begin = 0;
    };
    QByteArray Latin; // the format in Latin-1, which holds the literals
    std::vector<Token> Tokens;
    bool Usable = false;

    explicit TNumericFormat(const QString& format) : Format(format) {
        if (format.isEmpty() || format.contains(u'\'') ||
            format.contains(QLatin1String("AP"), Qt::CaseInsensitive))
            return;
        Tokens.reserve(8); // a date or a time has a few fields and separators
        for (qsizetype i = 0; i < format.size();) {
            const QChar c = format[i];
            qsizetype j = i;
            while (j < format.size() && format[j] == c)
                ++j;
            const int run = int(j - i);
            char field = 0;
            switch (c.unicode()) {
            case 'd':
            case 'M':
                if (run > 2)
                    return; // day and month names
                field = char(c.unicode());
                break;
            case 'y':
                if (run != 2 && run != 4)
                    return;
                field = 'y';
                break;
            case 'H':
            case 'h':
                field = 'H';
                break;
            case 'm':
            case 's':
            case 'z':
                field = char(c.unicode());
                break;
            default:
                if (c.isLetter() || c.unicode() > 0x7f)
                    return;
                break;
            }
            Tokens.push_back({field, run, i});
            i = j;
        }
        Latin = format.toLatin1();
        Usable = true;
    }

    // Fields found, or false when text does not follow the format.
    bool Read(QByteArrayView text, int (&out)[7]) const {
        qsizetype p = 0;
        for (const Token& t : Tokens) {
            if (!t.Field) {
                if (!text.sliced(p).startsWith(QByteArrayView(Latin).sliced(t.Begin, t.Width)))
                    return false;
                p += t.Width;
                continue;
            }
            const int maxDigits = t.Field == 'y' ? t.Width : t.Field == 'z' ? 3 : 2;
            const int minDigits = t.Field == 'y' ? t.Width : 1;
            int value = 0;
            int digits = 0;
            while (p < text.size() && digits < maxDigits && text[p] >= '0' && text[p] <= '9') {
                value = value * 10 + (text[p] - '0');
                ++p;
                ++digits;
            }
            if (digits < minDigits)
                return false;
            if (t.Field == 'y' && t.Width == 2)
                value += 2000; // measurements of this century
            out[std::string_view("yMdHmsz").find(t.Field)] = value;
        }
        return p == text.size();
    }
};

namespace {

std::vector<TDateTimeReader::TNumericFormat> Formats(const QStringList& list) {
    std::vector<TDateTimeReader::TNumericFormat> out;
    out.reserve(size_t(list.size()));
    for (const QString& s : list) {
        const bool seen =
            std::any_of(out.begin(), out.end(),
                        [&](const TDateTimeReader::TNumericFormat& f) { return f.Format == s; });
        if (!s.isEmpty() && !seen)
            out.emplace_back(s);
    }
    return out;
}

} // namespace

std::vector<TIndicatorColumn> IndicatorColumns(const TResultsTable& table) {
    std::vector<TIndicatorColumn> out;
    for (int c = FirstIndicatorColumn; c < TResultsTable::ColCount; ++c)
        out.push_back({c, Cp1251::decode(table.CellView(c, 0)).trimmed()});
    return out;
}

QByteArrayView SampleKey(QByteArrayView name) {
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\xa0'; };
    while (!name.isEmpty() && blank(name.front()))
        name = name.sliced(1);
    while (!name.isEmpty() && blank(name.back()))
        name.chop(1);
    return name;
}

QStringList SampleNames(const TResultsTable& table) {
    QStringList out;
    QSet<QByteArray> seen;
    for (int r = 1; r < table.RowCount(); ++r) {
        const QByteArrayView name = SampleKey(table.CellView(kNameCol, r));
        if (name.isEmpty())
            continue;
        const QByteArray key = name.toByteArray();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        out << Cp1251::decode(name);
    }
    return out;
}

TDateTimeReader::TDateTimeReader(const QLocale& locale)
    : locale_(locale),
      dateFormats_(Formats({locale.dateFormat(QLocale::ShortFormat), QStringLiteral("dd.MM.yyyy"),
                            QStringLiteral("dd.MM.yy"), QStringLiteral("yyyy-MM-dd")})),
      timeFormats_(Formats({RegisterTimeFormat(locale), locale.timeFormat(QLocale::ShortFormat),
                            QStringLiteral("HH:mm:ss"), QStringLiteral("HH:mm")})) {}

TDateTimeReader::~TDateTimeReader() = default;

std::optional<QDate> TDateTimeReader::Date(QByteArrayView text) {
    text = text.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    if (lastDate_.isValid() && text == lastDateText_)
        return lastDate_;
    QDate date;
    for (const TNumericFormat& format : dateFormats_) {
        if (format.Usable) {
            int f[7] = {0, 0, 0, 0, 0, 0, 0};
            if (format.Read(text, f))
                date = QDate(f[0], f[1], f[2]);
        } else {
            date = locale_.toDate(Cp1251::decode(text), format.Format);
        }
        if (date.isValid())
            break;
    }
    if (!date.isValid())
        return std::nullopt;
    lastDateText_ = text.toByteArray();
    lastDate_ = date;
    return date;
}

std::optional<QTime> TDateTimeReader::Time(QByteArrayView text) const {
    text = text.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    for (const TNumericFormat& format : timeFormats_) {
        QTime time;
        if (format.Usable) {
            int f[7] = {0, 0, 0, 0, 0, 0, 0};
            if (format.Read(text, f) && QTime::isValid(f[3], f[4], f[5], f[6]))
                time = QTime(f[3], f[4], f[5], f[6]);
        } else {
            time = locale_.toTime(Cp1251::decode(text), format.Format);
        }
        if (time.isValid())
            return time;
    }
    return std::nullopt;
}

std::optional<qint64> TDateTimeReader::When(QByteArrayView dateText, QByteArrayView timeText) {
    const std::optional<QDate> date = Date(dateText);
    if (!date)
        return std::nullopt;
    const std::optional<QTime> time = Time(timeText);
    if (!time)
        return std::nullopt;
    if (*date != dayStartDate_) {
        dayStartDate_ = *date;
        const QDateTime first(*date, QTime(0, 0));
        const QDateTime last(*date, QTime(23, 59, 59, 999));
        dayStart_.reset();
        if (first.offsetFromUtc() == last.offsetFromUtc() && first.time() == QTime(0, 0))
            dayStart_ = first.toMSecsSinceEpoch();
    }
    if (dayStart_)
        return *dayStart_ + time->msecsSinceStartOfDay();
    return QDateTime(*date, *time).toMSecsSinceEpoch(); // a day the clocks change
}

std::vector<TChartPoint> SelectPoints(const TResultsTable& table, int column, const QString& sample,
                                      const QLocale& locale) {
    std::vector<TChartPoint> points;
    if (column < FirstIndicatorColumn || column >= TResultsTable::ColCount)
        return points;
    bool encodable = true;
    const QByteArray encoded = Cp1251::encode(sample, &encodable);
    if (!encodable)
        return points; // no cell can hold that name
    const QByteArrayView wanted = SampleKey(encoded);
    TDateTimeReader reader(locale);
    for (int r = 1; r < table.RowCount(); ++r) {
        if (!sample.isEmpty() && SampleKey(table.CellView(kNameCol, r)) != wanted)
            continue;
        const std::optional<double> value = TValueText::Parse(table.CellView(column, r));
        if (!value)
            continue;
        const std::optional<qint64> when =
            reader.When(table.CellView(kDateCol, r), table.CellView(kTimeCol, r));
        if (!when)
            continue;
        TChartPoint& p = points.emplace_back();
        p.Row = r;
        p.When = *when;
        p.Value = *value;
    }
    return points;
}

TChartLimits ComputeLimits(const std::vector<TChartPoint>& points) {
    TChartLimits limits;
    double sum = 0;
    double ranges = 0;
    size_t n = 0;
    const TChartPoint* previous = nullptr;
    for (const TChartPoint& p : points) {
        if (p.Excluded)
            continue;
        sum += p.Value;
        if (previous)
            ranges += std::fabs(p.Value - previous->Value);
        previous = &p;
        ++n;
    }
    if (n < size_t(MinPoints))
        return limits;
    limits = LimitsAround(sum / double(n), ranges / double(n - 1) / D2, TLimitsKind::Points);
    limits.MeanMovingRange = ranges / double(n - 1);
    return limits;
}

TChartLimits BasePeriodLimits(const std::vector<TChartPoint>& points, qint64 fromMs, qint64 toMs) {
    std::vector<TChartPoint> base;
    std::copy_if(points.begin(), points.end(), std::back_inserter(base),
                 [&](const TChartPoint& p) { return p.When >= fromMs && p.When <= toMs; });
    TChartLimits limits = ComputeLimits(base);
    limits.Kind = TLimitsKind::BasePeriod;
    return limits;
}

TChartLimits LimitsAround(double centre, double sigma, TLimitsKind kind) {
    TChartLimits limits;
    limits.Valid = std::isfinite(centre) && std::isfinite(sigma) && sigma >= 0;
    limits.Kind = kind;
    limits.Mean = centre;
    limits.Sigma = sigma;
    limits.MeanMovingRange = sigma * D2;
    limits.Lower3 = centre - 3 * sigma;
    limits.Lower2 = centre - 2 * sigma;
    limits.Upper2 = centre + 2 * sigma;
    limits.Upper3 = centre + 3 * sigma;
    return limits;
}

TChartLimits NominalLimits(double nominal, double tolerance) {
    return LimitsAround(nominal, std::fabs(tolerance) / 3, TLimitsKind::Nominal);
}

TChartLimits FixedLimits(const TFixedLimits& fixed) {
    return fixed.Kind == TLimitsKind::Nominal ? NominalLimits(fixed.Nominal, fixed.Tolerance)
                                              : LimitsAround(fixed.Centre, fixed.Sigma, fixed.Kind);
}

void ApplyRules(std::vector<TChartPoint>& points, const TChartLimits& limits,
                bool westernElectric) {
    for (TChartPoint& p : points) {
        p.State = TPointState::InControl;
        p.Rules = 0;
    }
    if (!limits.Valid)
        return;
    // The rules look at the counted points only, one after the other.
    std::vector<TChartPoint*> run;
    for (TChartPoint& p : points)
        if (!p.Excluded)
            run.push_back(&p);
    const auto value = [&](size_t i) { return run[i]->Value; };
    // Two of three consecutive points beyond the same warning limit: every
    // point of such a window that lies beyond that limit breaks the rule.
    for (size_t i = 0; i + 2 < run.size(); ++i) {
        for (const int side : {1, -1}) {
            const auto beyond = [&](size_t k) {
                return side > 0 ? value(k) > limits.Upper2 : value(k) < limits.Lower2;
            };
            if (int(beyond(i)) + int(beyond(i + 1)) + int(beyond(i + 2)) < 2)
                continue;
            for (size_t k = i; k < i + 3; ++k)
                if (beyond(k))
                    run[k]->Rules |= RuleTwoOfThree;
        }
    }
    if (westernElectric) {
        // A run is counted up to each point; its 8th (6th) point and every
        // further one break the rule, so the list names where it happened.
        int side = 0, sideRun = 0, trend = 0, trendRun = 1;
        for (size_t i = 0; i < run.size(); ++i) {
            const int s = value(i) > limits.Mean ? 1 : value(i) < limits.Mean ? -1 : 0;
            sideRun = s != 0 && s == side ? sideRun + 1 : (s != 0 ? 1 : 0);
            side = s;
            if (sideRun >= 8)
                run[i]->Rules |= RuleEightOneSide;
            if (i > 0) {
                const int t = value(i) > value(i - 1) ? 1 : value(i) < value(i - 1) ? -1 : 0;
                trendRun = t != 0 && t == trend ? trendRun + 1 : (t != 0 ? 2 : 1);
                trend = t;
                if (trendRun >= 6)
                    run[i]->Rules |= RuleSixTrend;
            }
        }
    }
    for (TChartPoint* p : run) {
        if (p->Value > limits.Upper3 || p->Value < limits.Lower3)
            p->Rules |= RuleBeyond3;
        p->State = (p->Rules & RuleBeyond3) ? TPointState::OutOfControl
                   : p->Rules               ? TPointState::Warning
                                            : TPointState::InControl;
    }
}

QString RuleText(TChartRule rule) {
    switch (rule) {
    case RuleBeyond3:
        return QStringLiteral("за границей ±3σ");
    case RuleTwoOfThree:
        return QStringLiteral("2 из 3 подряд за ±2σ");
    case RuleEightOneSide:
        return QStringLiteral("8 подряд по одну сторону средней");
    case RuleSixTrend:
        return QStringLiteral("6 подряд растут или падают");
    }
    return {};
}

QString RulesText(unsigned rules) {
    QStringList texts;
    for (const TChartRule rule : {RuleBeyond3, RuleTwoOfThree, RuleEightOneSide, RuleSixTrend})
        if (rules & rule)
            texts << RuleText(rule);
    return texts.join(QStringLiteral("; "));
}

TChartData Build(const TResultsTable& table, int column, const QString& sample,
                 const QLocale& locale, const TChartOptions& options) {
    TChartData data;
    data.Points = SelectPoints(table, column, sample, locale);
    for (TChartPoint& p : data.Points) {
        const auto it = options.Excluded.find(p.Row);
        if (it == options.Excluded.end())
            continue;
        p.Excluded = true;
        p.ExcludedReason = it->second;
        ++data.ExcludedCount;
    }
    data.Limits = options.Fixed ? FixedLimits(*options.Fixed) : ComputeLimits(data.Points);
    ApplyRules(data.Points, data.Limits, options.WesternElectric);
    for (const TChartPoint& p : data.Points) {
        data.Warnings += p.State == TPointState::Warning;
        data.OutOfControl += p.State == TPointState::OutOfControl;
    }
    return data;
}

QString LimitsNote(const TChartData& data) {
    if (data.Limits.Valid)
        return {};
    const int n = int(data.Points.size()) - data.ExcludedCount;
    if (n <= 0)
        return QStringLiteral("Нет измерений с этим показателем: линии не строятся.");
    return QStringLiteral("Точек: %1. Для средней линии и границ нужно не меньше %2 точек.")
        .arg(n)
        .arg(MinPoints);
}

QString FixedLimitsNote(const TFixedLimits& fixed, const QLocale& locale) {
    const auto number = [&](double v) { return TValueText::Fixed(v, 3, locale); };
    const auto day = [&](qint64 ms) {
        return locale.toString(QDateTime::fromMSecsSinceEpoch(ms).date(), QLocale::ShortFormat);
    };
    switch (fixed.Kind) {
    case TLimitsKind::BasePeriod:
        return QStringLiteral("Границы по базовому периоду %1 – %2: среднее %3, σ = %4.")
            .arg(day(fixed.BaseFromMs), day(fixed.BaseToMs), number(fixed.Centre),
                 number(fixed.Sigma));
    case TLimitsKind::Nominal:
        return QStringLiteral("Границы: номинал %1 ± допуск %2; допуск взят за границы ±3σ "
                              "(σ = допуск / 3 = %3).")
            .arg(number(fixed.Nominal), number(fixed.Tolerance),
                 number(std::fabs(fixed.Tolerance) / 3));
    case TLimitsKind::Points:
        break;
    }
    return {};
}

QStringList CaptionLines(const TChartCaption& caption, const TChartData& data,
                         const QLocale& locale, const QDateTime& exported) {
    QStringList lines;
    lines << QStringLiteral("Источник: %1").arg(caption.Source);
    if (!data.Points.empty()) {
        const auto [first, last] = std::minmax_element(
            data.Points.begin(), data.Points.end(),
            [](const TChartPoint& a, const TChartPoint& b) { return a.When < b.When; });
        const auto when = [&](qint64 ms) {
            return locale.toString(QDateTime::fromMSecsSinceEpoch(ms), QLocale::ShortFormat);
        };
        lines << QStringLiteral("Период: %1 – %2").arg(when(first->When), when(last->When));
    }
    if (!caption.Instrument.isEmpty())
        lines << QStringLiteral("Прибор: %1").arg(caption.Instrument);
    lines
        << QStringLiteral("Дата выгрузки: %1").arg(locale.toString(exported, QLocale::ShortFormat));
    return lines;
}

} // namespace ControlChart
