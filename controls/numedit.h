#pragma once

#include <QLineEdit>
#include <QLocale>
#include <QString>

#include <optional>
#include <stdexcept>

// Kind of number a TNumberEdit accepts; stored in one byte.
enum class TNumberEditType : quint8 { integervalue, longintvalue, floatingpointvalue, wordvalue };

// Raised by the key filter when the text a digit would produce is not an
// integer (reachable only through pasted text or a doubled leading minus).
class ENumberEditError : public std::runtime_error {
public:
    explicit ENumberEditError(const QString& message);
};

// One-line box holding a number: Value is kept apart from the text, shown
// through DisplayFormat while not typed in, typed keys are filtered by the
// kind of number, and the text becomes Value when the focus leaves.
class TNumberEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit TNumberEdit(QWidget* parent = nullptr);

    TNumberEditType EntryRequired() const { return FEntryRequired; }
    // Also resets the display format to the kind's default.
    void SetEntryRequired(TNumberEditType kind);

    QString DisplayFormat() const { return FDisplayFormat; }
    void SetDisplayFormat(const QString& format);

    double Value() const { return FValue; }
    void SetValue(double value);

    // Decimal separator and grouping mark come from here (QLocale::system() by default).
    QLocale Locale() const { return FLocale; }
    void SetLocale(const QLocale& locale);

    // Steps 2 to 6 of the key filter for one typed character, against the
    // current text and selection. Returns the character to insert, or a null
    // QChar when it is dropped. Throws ENumberEditError for a non-integer candidate.
    QChar FilterKey(QChar key) const;

    // Reads the text back into Value; on a text that does not convert, beeps
    // and keeps Value.
    void TextToValue();
    // The reading behind TextToValue: negative when the text holds "-" or "(",
    // digits and decimalSeparator collected from anywhere in it, 0 when there
    // are none; nullopt when they do not form a number.
    static std::optional<double> ParseNumberText(const QString& text, QChar decimalSeparator);
    // Shows Value through DisplayFormat.
    void ValueToText();

    // The text of value under a one- to three-section format ("0;-0", "0.00;-0.00", "#,##0.0#").
    static QString FormatValue(double value, const QString& format, const QLocale& locale);
    // The kind's default display format.
    static QString DefaultFormat(TNumberEditType kind);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QChar DecimalSeparator() const;

    TNumberEditType FEntryRequired = TNumberEditType::floatingpointvalue;
    QString FDisplayFormat;
    double FValue = 0.0;
    double FSavedValue = 0.0;
    // Between focus entry and a real focus exit; a trip to a popup or another
    // window neither commits nor starts a new entry.
    bool FEntered = false;
    QLocale FLocale = QLocale::system();
};
