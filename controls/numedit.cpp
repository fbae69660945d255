#include "controls/numedit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QStringList>

#include <algorithm>
#include <cmath>

ENumberEditError::ENumberEditError(const QString& message)
    : std::runtime_error(message.toStdString()) {}

namespace {

constexpr QChar kBackspace(8);
constexpr QChar kDeleteChar(127);

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// The integer conversion of the filter: optional blanks, an optional sign and
// decimal digits that fit 32 bits; anything else is an error with the text.
int StrToInt(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok)
        throw ENumberEditError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return value;
}

// ";" separates sections except inside quoted literals.
QStringList SplitSections(const QString& format) {
    QStringList sections;
    QString current;
    QChar quote;
    for (const QChar c : format) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
        } else if (c == QLatin1Char(';')) {
            sections << current;
            current.clear();
            continue;
        }
        current += c;
    }
    sections << current;
    return sections;
}

struct TSectionLayout {
    QString prefix; // literals before the first digit place
    QString suffix; // literals after it
    int minInt = 0;
    int minFrac = 0;
    int maxFrac = 0;
    bool grouping = false;
    bool hasDigits = false;
};

TSectionLayout ParseSection(const QString& section) {
    TSectionLayout layout;
    bool afterPoint = false;
    QChar quote;
    auto literal = [&layout](QChar c) {
        (layout.hasDigits ? layout.suffix : layout.prefix) += c;
    };
    for (const QChar c : section) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else
                literal(c);
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
        } else if (c == QLatin1Char('0') || c == QLatin1Char('#')) {
            layout.hasDigits = true;
            if (afterPoint) {
                ++layout.maxFrac;
                if (c == QLatin1Char('0'))
                    layout.minFrac = layout.maxFrac;
            } else if (c == QLatin1Char('0')) {
                ++layout.minInt;
            }
        } else if (c == QLatin1Char('.') && !afterPoint) {
            afterPoint = true;
        } else if (c == QLatin1Char(',') && !afterPoint) {
            layout.grouping = true;
        } else {
            literal(c);
        }
    }
    return layout;
}

// Formats a non-negative value; zero tells whether it rounded to nothing.
QString FormatSection(double absValue, const TSectionLayout& layout, const QLocale& locale, bool& zero) {
    if (!layout.hasDigits) {
        zero = absValue == 0.0;
        return layout.prefix + layout.suffix;
    }
    const QString digits = QString::number(absValue, 'f', layout.maxFrac);
    const qsizetype point = digits.indexOf(QLatin1Char('.'));
    QString intPart = point < 0 ? digits : digits.left(point);
    QString fracPart = point < 0 ? QString() : digits.mid(point + 1);
    zero = std::all_of(digits.cbegin(), digits.cend(),
                       [](QChar c) { return c == QLatin1Char('0') || c == QLatin1Char('.'); });

    while (fracPart.size() > layout.minFrac && fracPart.endsWith(QLatin1Char('0')))
        fracPart.chop(1);
    if (intPart == QLatin1String("0") && layout.minInt == 0)
        intPart.clear();
    while (intPart.size() < layout.minInt)
        intPart.prepend(QLatin1Char('0'));
    if (layout.grouping) {
        const QString group = locale.groupSeparator();
        for (qsizetype i = intPart.size() - 3; i > 0; i -= 3)
            intPart.insert(i, group);
    }
    QString text = layout.prefix + intPart;
    if (!fracPart.isEmpty())
        text += locale.decimalPoint() + fracPart;
    return text + layout.suffix;
}

} // namespace

TNumberEdit::TNumberEdit(QWidget* parent) : QLineEdit(parent) {
    // Typed text must pass the key filter; input methods would bypass it.
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    resize(121, 25);
    FDisplayFormat = DefaultFormat(FEntryRequired);
    ValueToText();
}

QString TNumberEdit::DefaultFormat(TNumberEditType kind) {
    return kind == TNumberEditType::floatingpointvalue ? QStringLiteral("0.00;-0.00")
                                                       : QStringLiteral("0;-0");
}

void TNumberEdit::SetEntryRequired(TNumberEditType kind) {
    FEntryRequired = kind;
    FDisplayFormat = DefaultFormat(kind);
    ValueToText();
}

void TNumberEdit::SetDisplayFormat(const QString& format) {
    if (format == FDisplayFormat)
        return;
    FDisplayFormat = format;
    ValueToText();
}

void TNumberEdit::SetValue(double value) {
    if (value == FValue)
        return;
    FValue = value;
    ValueToText();
}

void TNumberEdit::SetLocale(const QLocale& locale) {
    FLocale = locale;
    ValueToText();
}

QChar TNumberEdit::DecimalSeparator() const {
    const QString point = FLocale.decimalPoint();
    return point.isEmpty() ? QLatin1Char('.') : point.front();
}

QString TNumberEdit::FormatValue(double value, const QString& format, const QLocale& locale) {
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");

    const QStringList sections = SplitSections(format);
    if (format.isEmpty() || sections.front().isEmpty()) {
        QString text = QString::number(value, 'g', 15);
        return text.replace(QLatin1Char('.'), locale.decimalPoint());
    }
    const bool hasNegative = sections.size() > 1 && !sections.at(1).isEmpty();
    const bool hasZero = sections.size() > 2 && !sections.at(2).isEmpty();
    const TSectionLayout positive = ParseSection(sections.at(0));
    bool zero = false;

    if (value == 0.0)
        return FormatSection(0.0, hasZero ? ParseSection(sections.at(2)) : positive, locale, zero);
    if (value > 0) {
        const QString text = FormatSection(value, positive, locale, zero);
        if (zero && hasZero)
            return FormatSection(0.0, ParseSection(sections.at(2)), locale, zero);
        return text;
    }
    // A negative number that rounds to zero is shown as zero, never as "-0".
    const QString text = hasNegative ? FormatSection(-value, ParseSection(sections.at(1)), locale, zero)
                                     : QLatin1Char('-') + FormatSection(-value, positive, locale, zero);
    if (zero)
        return FormatSection(0.0, hasZero ? ParseSection(sections.at(2)) : positive, locale, zero);
    return text;
}

void TNumberEdit::ValueToText() { setText(FormatValue(FValue, FDisplayFormat, FLocale)); }

std::optional<double> TNumberEdit::ParseNumberText(const QString& text, QChar decimalSeparator) {
    const bool negative = text.contains(QLatin1Char('-')) || text.contains(QLatin1Char('('));

    QString collected;
    for (const QChar c : text) {
        if (IsDigit(c) || c == decimalSeparator)
            collected += c;
    }
    if (collected.isEmpty())
        return 0.0;
    if (collected.count(decimalSeparator) > 1 || collected == QString(decimalSeparator))
        return std::nullopt;
    QString plain = collected;
    plain.replace(decimalSeparator, QLatin1Char('.'));
    if (plain.startsWith(QLatin1Char('.')))
        plain.prepend(QLatin1Char('0'));
    if (plain.endsWith(QLatin1Char('.')))
        plain.chop(1);
    bool ok = false;
    const double number = QLocale::c().toDouble(plain, &ok);
    if (!ok)
        return std::nullopt;
    return negative ? -number : number;
}

void TNumberEdit::TextToValue() {
    const std::optional<double> number = ParseNumberText(text(), DecimalSeparator());
    if (!number) {
        QApplication::beep();
        return;
    }
    FValue = *number;
}

QChar TNumberEdit::FilterKey(QChar key) const {
    const QChar separator = DecimalSeparator();
    const QChar minus = QLatin1Char('-');
    if (key == QLatin1Char('.') || key == QLatin1Char(','))
        key = separator;

    const bool editKey = key == kBackspace || key == kDeleteChar;
    bool accepted = IsDigit(key) || editKey;
    if (FEntryRequired != TNumberEditType::wordvalue)
        accepted = accepted || key == minus;
    if (FEntryRequired == TNumberEditType::floatingpointvalue)
        accepted = accepted || key == separator;
    if (!accepted)
        return QChar();

    const QString current = text();
    const int selStart = hasSelectedText() ? selectionStart() : cursorPosition();
    const int selLength = hasSelectedText() ? selectionLength() : 0;
    const QString selected = current.mid(selStart, selLength);

    if (key == minus)
        return selStart == 0 ? key : QChar();
    if (key == separator) {
        if (!current.contains(separator) || (selLength > 0 && selected.contains(separator)))
            return key;
        return QChar();
    }
    if (editKey)
        return key;

    // A digit: nothing goes in front of a leading minus that stays.
    if (!selected.contains(minus) && !current.isEmpty() && selStart == 0 && current.startsWith(minus))
        return QChar();
    QString candidate = current;
    candidate.remove(selStart, selLength);
    candidate.insert(selStart, key);

    switch (FEntryRequired) {
    case TNumberEditType::integervalue:
        if (candidate != QString(minus)) {
            const int number = StrToInt(candidate);
            if (number < -32768 || number > 32767)
                return QChar();
        }
        break;
    case TNumberEditType::longintvalue: {
        const bool negative = candidate.startsWith(minus);
        const QString digits = negative ? candidate.mid(1) : candidate;
        const QString limit = negative ? QStringLiteral("2147483648") : QStringLiteral("2147483647");
        if (digits.size() > 10 || (digits.size() == 10 && digits > limit))
            return QChar();
        break;
    }
    case TNumberEditType::wordvalue:
        if (StrToInt(candidate) > 65535)
            return QChar();
        break;
    case TNumberEditType::floatingpointvalue:
        break;
    }
    return key;
}

void TNumberEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        FValue = FSavedValue;
        ValueToText();
        selectAll();
        QLineEdit::keyPressEvent(event);
        return;
    }
    const QString typed = event->text();
    // Keys without a character (arrows, Home, Delete on some platforms) and
    // Return, which the box never inserts, go to the edit box as they are.
    if (typed.isEmpty() || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    const QChar key = typed.size() == 1 ? FilterKey(typed.front()) : QChar();
    if (key.isNull()) {
        event->accept();
        return;
    }
    if (key == typed.front()) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    // "." or "," arrives as the locale's separator.
    QKeyEvent replaced(event->type(), event->key(), event->modifiers(), QString(key),
                       event->isAutoRepeat(), static_cast<quint16>(event->count()));
    QLineEdit::keyPressEvent(&replaced);
    event->setAccepted(replaced.isAccepted());
}

namespace {
// Leaving for a popup (context menu) or another window is no exit from the
// box: the operator comes back to the same typing.
bool IsRealFocusLoss(const QFocusEvent* event) {
    return event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason;
}
} // namespace

void TNumberEdit::focusInEvent(QFocusEvent* event) {
    const bool entry = !FEntered;
    if (entry) {
        FEntered = true;
        FSavedValue = FValue;
    }
    QLineEdit::focusInEvent(event);
    if (entry)
        selectAll();
}

void TNumberEdit::focusOutEvent(QFocusEvent* event) {
    if (IsRealFocusLoss(event)) {
        FEntered = false;
        TextToValue();
        ValueToText();
    }
    QLineEdit::focusOutEvent(event);
}
