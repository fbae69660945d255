// Any text as typed into the numeric field (first byte picks the decimal
// separator, the rest is UTF-8): reading it back never crashes, gives a
// finite number with the right sign or refuses, a number shown in a display
// format reads back as the number shown, and the text taken as a display
// format formats without harm.
#include "controls/numedit.h"
#include "fuzz/FuzzCheck.h"

#include <QLocale>

#include <cmath>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const QChar separator = (data[0] & 1) ? QChar(u',') : QChar(u'.');
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    const std::optional<double> number = TNumberEdit::ParseNumberText(text, separator);
    const bool negative = text.contains(u'-') || text.contains(u'(');
    qsizetype digits = 0;
    qsizetype separators = 0;
    for (const QChar c : text) {
        if (c >= u'0' && c <= u'9')
            ++digits;
        else if (c == separator)
            ++separators;
    }
    if (!number) {
        // Refused only for more than one separator, a separator alone, or
        // more digits than a double can hold.
        FUZZ_CHECK(separators > 1 || (separators == 1 && digits == 0) || digits > 300);
        return 0;
    }
    FUZZ_CHECK(separators <= 1);
    FUZZ_CHECK(std::isfinite(*number));
    FUZZ_CHECK(digits > 0 || *number == 0.0);
    FUZZ_CHECK(negative ? !(*number > 0) : !(*number < 0));

    // Shown with two decimals, the text reads back as the rounded number.
    const QLocale locale = separator == u',' ? QLocale(QLocale::Russian, QLocale::Russia) : QLocale::c();
    const QString shown = TNumberEdit::FormatValue(*number, QStringLiteral("0.00;-0.00"), locale);
    const std::optional<double> again = TNumberEdit::ParseNumberText(shown, separator);
    FUZZ_CHECK(again.has_value());
    // Half a cent, plus what the doubles themselves cannot tell apart.
    FUZZ_CHECK(std::fabs(*again - *number) <= 0.005 + std::fabs(*number) * 1e-15);

    // The text as a display format of its own: any format gives some text.
    TNumberEdit::FormatValue(*number, text, locale);
    TNumberEdit::FormatValue(-*number, text, locale);
    return 0;
}
