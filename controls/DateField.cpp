#include "controls/DateField.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpression>

namespace {

// "dd.MM.yy" as "dd.MM.yyyy": a typed "2026" fits, and no century is guessed.
QString DisplayFormat(const QLocale& locale) {
    static const QRegularExpression twoDigitYear(QStringLiteral("(?<!y)yy(?!y)"));
    return locale.dateFormat(QLocale::ShortFormat).replace(twoDigitYear, QStringLiteral("yyyy"));
}

} // namespace

TDateField::TDateField(const QDate& date, const QLocale& locale, QWidget* parent)
    : QDateEdit(date, parent) {
    setLocale(locale);
    setDisplayFormat(DisplayFormat(locale));
    setCalendarPopup(true);
}

void TDateField::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    const QChar c = typed.size() == 1 ? typed.front() : QChar();
    const bool digit = c.isDigit();
    if (digit && sectionCount() > 1 && lineEdit()->selectedText() == text()) {
        // QDateEdit refuses a digit that would replace every section.
        setCurrentSectionIndex(0);
        setSelectedSection(currentSection());
    } else if (!digit && c.isPrint() && !c.isLetterOrNumber() && displayFormat().contains(c) &&
               DigitSection_ >= 0 && currentSectionIndex() != DigitSection_) {
        DigitSection_ = -1;
        event->accept();
        return;
    }
    DigitSection_ = digit ? currentSectionIndex() : -1;
    QDateEdit::keyPressEvent(event);
}
