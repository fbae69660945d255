#include "register/ControlChart.h"

#include "config/Cp1251.h"
#include "register/RecordCycle.h"
#include "register/ResultsTable.h"

#include <QDateTime>
#include <QSet>

#include <algorithm>
#include <charconv>
#include <cmath>
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
        const bool seen = std::any_of(out.begin(), out.end(),
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
    const auto blank = [](char c) {
        return c == ' ' || (c >= '\t' && c <= '\r') || c == '\xa0';
    };
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

std::optional<double> ParseValue(QByteArrayView text) {
    text = text.trimmed();
    char buf[64];
    if (text.isEmpty() || text.size() >= qsizetype(sizeof buf))
        return std::nullopt;
    for (qsizetype i = 0; i < text.size(); ++i)
        buf[i] = text[i] == ',' ? '.' : text[i];
    const char* end = buf + text.size();
    const char* begin = buf[0] == '+' ? buf + 1 : buf;
    double value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    // Beyond what the analyser's float format holds the text is not a
    // measurement, and sums of such values would leave the double range.
    if (ec != std::errc() || ptr != end || !(std::fabs(value) <= MaxMagnitude))
        return std::nullopt;
    return value;
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
        const std::optional<double> value = ParseValue(table.CellView(column, r));
        if (!value)
            continue;
        const std::optional<qint64> when =
            reader.When(table.CellView(kDateCol, r), table.CellView(kTimeCol, r));
        if (!when)
            continue;
        points.push_back({r, *when, *value, TPointState::InControl});
    }
    return points;
}

TChartLimits ComputeLimits(const std::vector<TChartPoint>& points) {
    TChartLimits limits;
    const size_t n = points.size();
    if (n < size_t(MinPoints))
        return limits;
    double sum = 0;
    for (const TChartPoint& p : points)
        sum += p.Value;
    double ranges = 0;
    for (size_t i = 1; i < n; ++i)
        ranges += std::fabs(points[i].Value - points[i - 1].Value);
    limits.Valid = true;
    limits.Mean = sum / double(n);
    limits.MeanMovingRange = ranges / double(n - 1);
    limits.Sigma = limits.MeanMovingRange / D2;
    limits.Lower3 = limits.Mean - 3 * limits.Sigma;
    limits.Lower2 = limits.Mean - 2 * limits.Sigma;
    limits.Upper2 = limits.Mean + 2 * limits.Sigma;
    limits.Upper3 = limits.Mean + 3 * limits.Sigma;
    return limits;
}

void ApplyRules(std::vector<TChartPoint>& points, const TChartLimits& limits) {
    for (TChartPoint& p : points)
        p.State = TPointState::InControl;
    if (!limits.Valid)
        return;
    // side +1: above the upper warning limit, -1: below the lower one.
    const auto beyondSide = [&](size_t i, int side) {
        return side > 0 ? points[i].Value > limits.Upper2 : points[i].Value < limits.Lower2;
    };
    // Two of three consecutive points beyond the same warning limit: every
    // point of such a window that lies beyond that limit is marked.
    for (size_t i = 0; i + 2 < points.size(); ++i) {
        for (const int side : {1, -1}) {
            const auto beyond = [&](size_t k) { return beyondSide(k, side); };
            const int count = int(beyond(i)) + int(beyond(i + 1)) + int(beyond(i + 2));
            if (count < 2)
                continue;
            for (size_t k = i; k < i + 3; ++k) {
                if (beyond(k))
                    points[k].State = TPointState::Warning;
            }
        }
    }
    for (TChartPoint& p : points) {
        if (p.Value > limits.Upper3 || p.Value < limits.Lower3)
            p.State = TPointState::OutOfControl;
    }
}

TChartData Build(const TResultsTable& table, int column, const QString& sample,
                 const QLocale& locale) {
    TChartData data;
    data.Points = SelectPoints(table, column, sample, locale);
    data.Limits = ComputeLimits(data.Points);
    ApplyRules(data.Points, data.Limits);
    for (const TChartPoint& p : data.Points) {
        data.Warnings += p.State == TPointState::Warning;
        data.OutOfControl += p.State == TPointState::OutOfControl;
    }
    return data;
}

QString LimitsNote(const TChartData& data) {
    if (data.Limits.Valid)
        return {};
    const int n = int(data.Points.size());
    if (n == 0)
        return QStringLiteral("Нет измерений с этим показателем: линии не строятся.");
    return QStringLiteral("Точек: %1. Для средней линии и границ нужно не меньше %2 точек.")
        .arg(n)
        .arg(MinPoints);
}

} // namespace ControlChart
