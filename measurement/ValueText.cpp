#include "measurement/ValueText.h"

#include <QtAlgorithms>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace {

constexpr int kMaxSignificant = 9;

const QString kNaN = QStringLiteral("NAN");
const QString kInf = QStringLiteral("INF");
const QString kMinusInf = QStringLiteral("-INF");

const QString& NotFiniteText(double value) {
    return std::isnan(value) ? kNaN : value > 0 ? kInf : kMinusInf;
}

// Exact decimal expansion of a finite magnitude: no fraction digit is
// dropped, so rounding sees the true binary value. to_chars, unlike the C
// library, never looks at the locale.
std::string ExactDecimal(double magnitude) {
    if (magnitude == 0.0)
        return "0";
    int binExp = 0;
    const double fraction = std::frexp(magnitude, &binExp);
    auto mantissa = static_cast<unsigned long long>(std::ldexp(fraction, 53));
    int lowestBit = binExp - 53;
    while (mantissa != 0 && (mantissa & 1u) == 0) {
        mantissa >>= 1;
        ++lowestBit;
    }
    const int fractionDigits = lowestBit < 0 ? -lowestBit : 0;
    std::string text(size_t(400 + fractionDigits), '\0');
    const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), magnitude,
                                         std::chars_format::fixed, fractionDigits);
    text.resize(ec == std::errc() ? size_t(end - text.data()) : 0);
    return text;
}

// The digits the table keeps of a finite value: intLen integer digits, then
// the decimals; more than 9 integer digits mean 9 significant digits with an
// exponent of intLen - 1.
struct TTableDigits {
    std::string Digits;
    int IntLen = 0;
    bool Negative = false; // and not rounded to zero

    bool Exponent() const { return IntLen > kMaxSignificant; }
};

TTableDigits TableDigits(double value) {
    const std::string exact = ExactDecimal(std::fabs(value));
    const std::size_t point = exact.find('.');
    std::string intPart = exact.substr(0, point);
    const std::string fracPart =
        point == std::string::npos ? std::string() : exact.substr(point + 1);
    if (intPart == "0")
        intPart.clear();

    // All digits from the first integer digit on; a pure fraction starts at
    // the first decimal.
    TTableDigits out;
    out.Digits = intPart + fracPart;
    out.IntLen = int(intPart.size());
    std::string& digits = out.Digits;
    const std::size_t firstNonZero = digits.find_first_not_of('0');
    const int firstSignificant =
        firstNonZero == std::string::npos ? int(digits.size()) : int(firstNonZero);
    const int keep =
        std::min(out.IntLen + TValueText::TableDecimals, firstSignificant + kMaxSignificant);

    if (int(digits.size()) < keep)
        digits.append(std::size_t(keep) - digits.size(), '0');
    const bool roundUp = int(digits.size()) > keep && digits[std::size_t(keep)] >= '5';
    digits.resize(std::size_t(keep));
    if (roundUp) {
        int i = keep - 1;
        for (; i >= 0 && digits[std::size_t(i)] == '9'; --i)
            digits[std::size_t(i)] = '0';
        if (i >= 0) {
            ++digits[std::size_t(i)];
        } else {
            digits.insert(digits.begin(), '1');
            ++out.IntLen;
        }
    }
    out.Negative = value < 0 && digits.find_first_not_of('0') != std::string::npos;
    if (!out.Exponent())
        digits.resize(std::size_t(out.IntLen + TValueText::TableDecimals), '0');
    return out;
}

// Whether value lies exactly halfway between two numbers of that many
// decimals (20.125 to two): its lowest binary digit is then worth exactly
// 2^-(decimals + 1).
bool ExactTie(double value, int decimals) {
    if (value == 0)
        return false;
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent);
    const auto mantissa = static_cast<quint64>(std::ldexp(fraction, 53));
    return exponent - 53 + int(qCountTrailingZeroBits(mantissa)) == -(decimals + 1);
}

} // namespace

QChar TValueText::Separator(const QLocale& locale) {
    const QString point = locale.decimalPoint();
    return point.isEmpty() ? QLatin1Char('.') : point.at(0);
}

QLocale TValueText::WidgetLocale(const QLocale& locale) {
    QLocale plain = locale;
    plain.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    return plain;
}

QString TValueText::Table(double value, QChar separator) {
    if (!std::isfinite(value))
        return NotFiniteText(value);
    const TTableDigits t = TableDigits(value);
    QString out;
    out.reserve(t.IntLen + 8);
    if (t.Negative)
        out += QLatin1Char('-');
    if (t.Exponent()) {
        out += QLatin1Char(t.Digits[0]);
        out += separator;
        out += QLatin1String(t.Digits.data() + 1, kMaxSignificant - 1);
        out += QStringLiteral("E+%1").arg(t.IntLen - 1, 2, 10, QLatin1Char('0'));
        return out;
    }
    out += t.IntLen == 0 ? QStringLiteral("0") : QString::fromLatin1(t.Digits.data(), t.IntLen);
    out += separator;
    out += QLatin1String(t.Digits.data() + t.IntLen, TableDecimals);
    return out;
}

double TValueText::TableValue(double value) {
    if (!std::isfinite(value))
        return value;
    const TTableDigits t = TableDigits(value);
    // The kept digits as a decimal number, read back exactly as a parser of
    // the table's text would read it.
    std::string text = t.Negative ? "-" : "";
    if (t.Exponent()) {
        text += t.Digits.substr(0, kMaxSignificant);
        text += "e" + std::to_string(t.IntLen - kMaxSignificant);
    } else {
        text += t.IntLen == 0 ? std::string("0") : t.Digits.substr(0, size_t(t.IntLen));
        text += '.';
        text += t.Digits.substr(size_t(t.IntLen));
    }
    double out = 0;
    std::from_chars(text.data(), text.data() + text.size(), out);
    return out == 0 ? 0.0 : out; // no negative zero
}

void TValueText::AppendFixed(QByteArray& out, double value, int decimals, char separator) {
    if (!std::isfinite(value)) {
        out += NotFiniteText(value).toLatin1();
        return;
    }
    decimals = std::clamp(decimals, 0, 9);
    char buf[400]; // the largest double in fixed notation with 9 decimals fits
    const bool tie = ExactTie(value, decimals);
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf - 1, value, std::chars_format::fixed,
                                   decimals + (tie ? 1 : 0));
    if (ec != std::errc())
        return; // cannot happen for a finite double in this buffer
    if (tie) {
        // to_chars takes ties to even; the table rounds them away from
        // zero. The text holds the value exactly, its last digit the 5:
        // dropped, and one added in the place before.
        end -= decimals == 0 ? 2 : 1;
        qsizetype i = end - buf - 1;
        for (; i >= 0 && (buf[i] == '9' || buf[i] == '.'); --i)
            if (buf[i] == '9')
                buf[i] = '0';
        if (i >= 0 && buf[i] != '-') {
            ++buf[i];
        } else { // 9.5 to 10: a digit more
            std::memmove(buf + i + 2, buf + i + 1, size_t(end - (buf + i + 1)));
            buf[i + 1] = '1';
            ++end;
        }
    }
    const char* begin = buf;
    if (*begin == '-' && std::none_of(begin + 1, static_cast<const char*>(end),
                                      [](char c) { return c >= '1' && c <= '9'; }))
        ++begin;
    if (decimals > 0)
        end[-decimals - 1] = separator;
    out.append(begin, end - begin);
}

QString TValueText::Fixed(double value, int decimals, QChar separator) {
    if (!std::isfinite(value))
        return NotFiniteText(value);
    QByteArray text;
    AppendFixed(text, value, decimals, '.');
    QString out = QString::fromLatin1(text);
    if (separator != u'.')
        out.replace(u'.', separator);
    return out;
}

QString TValueText::Shortest(double value, QChar separator) {
    if (!std::isfinite(value))
        return NotFiniteText(value);
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value == 0 ? 0.0 : value);
    QString out = QString::fromLatin1(buf, ec == std::errc() ? end - buf : 0);
    if (separator != u'.')
        out.replace(u'.', separator);
    return out;
}

std::optional<double> TValueText::Parse(QByteArrayView text) {
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

std::optional<double> TValueText::Parse(QStringView text) {
    text = text.trimmed();
    QByteArray latin;
    latin.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return std::nullopt;
        latin += char(c.unicode());
    }
    return Parse(QByteArrayView(latin));
}

int TValueText::DecimalsOf(QByteArrayView text) {
    text = text.trimmed();
    const qsizetype point = std::max(text.indexOf('.'), text.indexOf(','));
    int n = 0;
    if (point >= 0)
        for (qsizetype i = point + 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            ++n;
    // The table writes huge values with an exponent: "1,70141163E+38" has none.
    const qsizetype e = std::max(text.indexOf('e'), text.indexOf('E'));
    bool ok = false;
    const int exponent = e < 0 ? 0 : text.sliced(e + 1).toByteArray().toInt(&ok);
    if (ok)
        n = std::max(0, n - std::clamp(exponent, -400, 400));
    return n;
}
