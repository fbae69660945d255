#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QLocale>
#include <QString>
#include <QStringView>

#include <optional>

// The one place where a measured value becomes text and text a value. Two
// kinds of text only:
// - for a person: the user's locale gives the decimal separator (the table,
//   the results file, charts, reports, panels, csv-ru); no grouping;
// - for a machine: locale-free, a decimal point (keys, the archive, the lab
//   server, JSON Lines, csv).
// Nothing here follows the process locale: no printf or strtod family call.
// Values are compared as numbers (SameInTable), never by their text.
class TValueText {
public:
    // The results table's own precision.
    static constexpr int TableDecimals = 2;
    // Larger than any value of the analyser's float format (about 1.7E+38):
    // beyond it a text is no measurement.
    static constexpr double MaxMagnitude = 1e39;

    // The decimal separator a person reads in locale.
    static QChar Separator(const QLocale& locale);
    // locale for a widget that writes values itself (a chart's value axis):
    // its separator and no grouping, as the texts here.
    static QLocale WidgetLocale(const QLocale& locale);

    // The results table's text of an indicator: two decimals, rounded on the
    // exact binary value half away from zero, to two decimals or to 9
    // significant digits where that keeps fewer; no grouping. More than 9
    // integer digits give 9 significant digits with an exponent
    // ("1,70141163E+38"). A value that rounds to zero has no minus sign.
    // NaN and infinities give "NAN", "INF", "-INF".
    static QString Table(double value, QChar separator);
    // value with decimals places (0 to 9), halves away from zero, no
    // grouping; "-0,00" loses its sign. NaN and infinities as Table.
    static QString Fixed(double value, int decimals, QChar separator);
    // The same appended to out without a QString: exports write millions.
    static void AppendFixed(QByteArray& out, double value, int decimals, char separator);
    // For a person with locale's separator.
    static QString Fixed(double value, int decimals, const QLocale& locale) {
        return Fixed(value, decimals, Separator(locale));
    }
    // The shortest text that reads back as the same double, with separator
    // (a point for a machine); no exponent below 1e21 in magnitude.
    static QString Shortest(double value, QChar separator = QLatin1Char('.'));

    // A value as a person or a file wrote it: either decimal separator, an
    // optional sign, an optional exponent, blanks around it; no grouping.
    // Empty, non-numeric and non-finite texts and magnitudes above
    // MaxMagnitude give nothing.
    static std::optional<double> Parse(QByteArrayView text);
    static std::optional<double> Parse(QStringView text);

    // The number the table's text of value stands for: value rounded as
    // Table rounds it. Two values show alike in the table exactly when
    // their TableValue is equal, whatever the locale or a spreadsheet
    // made of the text ("20" for "20,00").
    static double TableValue(double value);
    static bool SameInTable(double a, double b) { return TableValue(a) == TableValue(b); }

    // How many decimals a value's text shows (after either separator); an
    // exponent moves the point ("1,5E-3": 4, "1,70141163E+38": 0).
    static int DecimalsOf(QByteArrayView text);
};
