#pragma once

#include <QDateEdit>
#include <QLocale>

class QKeyEvent;

// A date field for the user's locale: its short date, with a four-digit
// year, and its language in the calendar. Typed the way operators type a
// date, it takes what QDateEdit alone would get wrong: digits typed over the
// whole text (Ctrl+A) start at the first section instead of being refused,
// and a separator typed just after a section filled up and moved on by
// itself is that step, not one more ("01.10.2026" is the 1st of October,
// not 01.09 with the year spoilt).
class TDateField : public QDateEdit {
    Q_OBJECT
public:
    TDateField(const QDate& date, const QLocale& locale, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The section the last key, a digit, was typed into; -1 after any other key.
    int DigitSection_ = -1;
};
