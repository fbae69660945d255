#include "controls/numedit.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

Q_DECLARE_METATYPE(TNumberEditType)

namespace {

const QLocale kComma(QLocale::Russian, QLocale::Russia);
const QLocale kPoint = QLocale::c();

// A window holding the box and a second field to move the focus to.
struct TFixture {
    QWidget window;
    TNumberEdit* edit = new TNumberEdit(&window);
    QLineEdit* other = new QLineEdit(&window);

    TFixture() {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(edit);
        layout->addWidget(other);
    }
    // The box gets the focus first, as on the tool bar: set it up before.
    bool Activate() {
        window.show();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    }
    void Enter() {
        edit->setFocus(Qt::TabFocusReason);
    }
    void Leave() {
        other->setFocus(Qt::TabFocusReason);
    }
};

} // namespace

class TstNumEdit : public QObject {
    Q_OBJECT

private slots:
    void newBoxDefaults();
    void typing_data();
    void typing();
    void nonIntegerCandidateThrows_data();
    void nonIntegerCandidateThrows();
    void backspaceAndDeletePassUnchecked();
    void textToValue_data();
    void textToValue();
    void focusExitCommitsAndReformats_data();
    void focusExitCommitsAndReformats();
    void popupFocusLossDoesNotCommit();
    void escapeRestoresEntryValue();
    void setValueSameNumberKeepsText();
    void entryRequiredResetsFormat();
    void displayFormatSetter();
    void formatValue_data();
    void formatValue();
};

void TstNumEdit::newBoxDefaults() {
    TNumberEdit edit;
    QCOMPARE(edit.EntryRequired(), TNumberEditType::floatingpointvalue);
    QCOMPARE(edit.DisplayFormat(), QStringLiteral("0.00;-0.00"));
    QCOMPARE(edit.Value(), 0.0);
    QCOMPARE(edit.text(), QStringLiteral("0") + QLocale::system().decimalPoint() + QStringLiteral("00"));
    QVERIFY(edit.alignment() & Qt::AlignRight);
    QCOMPARE(edit.size(), QSize(121, 25));

    edit.SetLocale(kComma);
    QCOMPARE(edit.text(), QStringLiteral("0,00"));
}

void TstNumEdit::typing_data() {
    QTest::addColumn<TNumberEditType>("kind");
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("selStart"); // -1: caret at the end
    QTest::addColumn<int>("selLength");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected");

    const auto w = TNumberEditType::wordvalue;
    const auto i = TNumberEditType::integervalue;
    const auto l = TNumberEditType::longintvalue;
    const auto f = TNumberEditType::floatingpointvalue;

    QTest::newRow("word 65535") << w << "" << -1 << 0 << "65535" << "65535";
    QTest::newRow("word digit past 65535") << w << "65535" << -1 << 0 << "5" << "65535";
    QTest::newRow("word 65536") << w << "" << -1 << 0 << "65536" << "6553";
    QTest::newRow("word no minus") << w << "" << -1 << 0 << "-1" << "1";
    QTest::newRow("word no separator") << w << "" << -1 << 0 << "1.5,2" << "152";
    QTest::newRow("word leading zeros") << w << "" << -1 << 0 << "000123" << "000123";
    QTest::newRow("word replaces selection") << w << "0" << 0 << 1 << "5" << "5";
    QTest::newRow("word no letters") << w << "" << -1 << 0 << "a1b2 " << "12";
    QTest::newRow("word checks inserted digit") << w << "6553" << 0 << 0 << "9" << "6553";

    QTest::newRow("int 32767") << i << "" << -1 << 0 << "32767" << "32767";
    QTest::newRow("int -32768") << i << "" << -1 << 0 << "-32768" << "-32768";
    QTest::newRow("int 32768") << i << "" << -1 << 0 << "32768" << "3276";
    QTest::newRow("int -32769") << i << "" << -1 << 0 << "-32769" << "-3276";
    QTest::newRow("int lone minus") << i << "" << -1 << 0 << "-" << "-";
    QTest::newRow("int minus only at 0") << i << "12" << -1 << 0 << "-" << "12";
    QTest::newRow("int second minus at 0") << i << "-5" << 0 << 0 << "-" << "--5";
    QTest::newRow("int digit before minus") << i << "-5" << 0 << 0 << "1" << "-5";
    QTest::newRow("int digit replaces minus") << i << "-5" << 0 << 1 << "1" << "15";

    QTest::newRow("long max") << l << "" << -1 << 0 << "2147483647" << "2147483647";
    QTest::newRow("long min") << l << "" << -1 << 0 << "-2147483648" << "-2147483648";
    QTest::newRow("long max+1") << l << "" << -1 << 0 << "2147483648" << "214748364";
    QTest::newRow("long min-1") << l << "" << -1 << 0 << "-2147483649" << "-214748364";
    QTest::newRow("long 11th digit") << l << "" << -1 << 0 << "12345678901" << "1234567890";
    QTest::newRow("long 11th digit negative") << l << "" << -1 << 0 << "-12345678901" << "-1234567890";
    QTest::newRow("long zeros count") << l << "" << -1 << 0 << "00000000001" << "0000000000";
    QTest::newRow("long digit before minus") << l << "-1" << 0 << 0 << "2" << "-1";

    QTest::newRow("float comma") << f << "" << -1 << 0 << "1,5" << "1,5";
    QTest::newRow("float point") << f << "" << -1 << 0 << "1.5" << "1,5";
    QTest::newRow("float second separator") << f << "" << -1 << 0 << "1,5.2,7" << "1,527";
    QTest::newRow("float separator replaces selected one") << f << "1,5" << 0 << 2 << "." << ",5";
    QTest::newRow("float separator with selection lacking it") << f << "1,5" << 2 << 1 << "," << "1,5";
    QTest::newRow("float minus at 0") << f << "2,5" << 0 << 0 << "-" << "-2,5";
    QTest::newRow("float minus elsewhere") << f << "2,5" << 1 << 0 << "-" << "2,5";
    QTest::newRow("float no range") << f << "" << -1 << 0 << "99999999999999" << "99999999999999";
    QTest::newRow("float no letters") << f << "" << -1 << 0 << "e1x" << "1";
}

void TstNumEdit::typing() {
    QFETCH(TNumberEditType, kind);
    QFETCH(QString, start);
    QFETCH(int, selStart);
    QFETCH(int, selLength);
    QFETCH(QString, keys);
    QFETCH(QString, expected);

    TNumberEdit edit;
    edit.SetLocale(kind == TNumberEditType::floatingpointvalue ? kComma : kPoint);
    edit.SetEntryRequired(kind);
    edit.setText(start);
    if (selStart < 0)
        edit.setCursorPosition(start.size());
    else if (selLength > 0)
        edit.setSelection(selStart, selLength);
    else
        edit.setCursorPosition(selStart);

    QTest::keyClicks(&edit, keys);
    QCOMPARE(edit.text(), expected);
}

void TstNumEdit::nonIntegerCandidateThrows_data() {
    QTest::addColumn<TNumberEditType>("kind");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("message");

    QTest::newRow("int doubled minus") << TNumberEditType::integervalue << "--5"
                                       << "'--51' is not a valid integer value";
    QTest::newRow("word pasted letters") << TNumberEditType::wordvalue << "abc"
                                         << "'abc1' is not a valid integer value";
    QTest::newRow("word pasted huge") << TNumberEditType::wordvalue << "99999999999"
                                      << "'999999999991' is not a valid integer value";
}

void TstNumEdit::nonIntegerCandidateThrows() {
    QFETCH(TNumberEditType, kind);
    QFETCH(QString, start);
    QFETCH(QString, message);

    TNumberEdit edit;
    edit.SetEntryRequired(kind);
    edit.setText(start);
    edit.setCursorPosition(start.size());
    try {
        edit.FilterKey(QLatin1Char('1'));
        QFAIL("no error raised");
    } catch (const ENumberEditError& error) {
        QCOMPARE(QString::fromUtf8(error.what()), message);
    }
    QCOMPARE(edit.text(), start);
}

void TstNumEdit::backspaceAndDeletePassUnchecked() {
    TNumberEdit edit;
    edit.SetEntryRequired(TNumberEditType::wordvalue);
    edit.setText(QStringLiteral("123"));
    edit.setCursorPosition(3);
    QTest::keyClick(&edit, Qt::Key_Backspace);
    QCOMPARE(edit.text(), QStringLiteral("12"));
    edit.setCursorPosition(0);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QCOMPARE(edit.text(), QStringLiteral("2"));
    QCOMPARE(edit.FilterKey(QChar(8)), QChar(8));
    QCOMPARE(edit.FilterKey(QChar(127)), QChar(127));
    QVERIFY(edit.FilterKey(QChar(22)).isNull()); // Ctrl+V as a character
}

void TstNumEdit::textToValue_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    // The value before is 7; a text that does not convert keeps it.
    QTest::newRow("brackets") << "(12,5)" << -12.5;
    QTest::newRow("minus anywhere") << "3-" << -3.0;
    QTest::newRow("blanks and letters skipped") << "1 234,5 kg" << 1234.5;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("nothing numeric") << "abc" << 0.0;
    QTest::newRow("point is not the separator") << "12.5" << 125.0;
    QTest::newRow("leading separator") << ",5" << 0.5;
    QTest::newRow("trailing separator") << "5," << 5.0;
    QTest::newRow("two separators") << "1,2,3" << 7.0;
    QTest::newRow("separator alone") << "," << 7.0;
}

void TstNumEdit::textToValue() {
    QFETCH(QString, text);
    QFETCH(double, expected);

    TNumberEdit edit;
    edit.SetLocale(kComma);
    edit.SetValue(7);
    edit.setText(text);
    edit.TextToValue();
    QCOMPARE(edit.Value(), expected);
}

void TstNumEdit::focusExitCommitsAndReformats_data() {
    QTest::addColumn<TNumberEditType>("kind");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("shown");

    QTest::newRow("word typed over selection") << TNumberEditType::wordvalue << "5" << "" << 5.0 << "5";
    QTest::newRow("word leading zeros") << TNumberEditType::wordvalue << "000123" << "" << 123.0 << "123";
    QTest::newRow("float pasted brackets") << TNumberEditType::floatingpointvalue << "" << "(12,5)" << -12.5
                                           << "-12,50";
    QTest::newRow("float bad text keeps value") << TNumberEditType::floatingpointvalue << "" << "1,2,3" << 0.0
                                                << "0,00";
}

void TstNumEdit::focusExitCommitsAndReformats() {
    QFETCH(TNumberEditType, kind);
    QFETCH(QString, keys);
    QFETCH(QString, pasted);
    QFETCH(double, value);
    QFETCH(QString, shown);

    TFixture f;
    f.edit->SetLocale(kComma);
    f.edit->SetEntryRequired(kind);
    if (!f.Activate())
        QSKIP("window cannot be activated on this platform");
    f.Enter();
    QTRY_VERIFY_WITH_TIMEOUT(f.edit->hasFocus(), 5000);
    QCOMPARE(f.edit->selectedText(), f.edit->text());
    if (!pasted.isEmpty())
        f.edit->setText(pasted);
    QTest::keyClicks(f.edit, keys);
    QCOMPARE(f.edit->Value(), 0.0); // typing alone does not change the value
    f.Leave();
    QTRY_VERIFY_WITH_TIMEOUT(f.other->hasFocus(), 5000);
    QCOMPARE(f.edit->Value(), value);
    QCOMPARE(f.edit->text(), shown);
}

void TstNumEdit::popupFocusLossDoesNotCommit() {
    TNumberEdit edit;
    edit.SetLocale(kComma);
    edit.setText(QStringLiteral("4,5"));
    QFocusEvent out(QEvent::FocusOut, Qt::PopupFocusReason);
    QApplication::sendEvent(&edit, &out);
    QCOMPARE(edit.Value(), 0.0);
    QCOMPARE(edit.text(), QStringLiteral("4,5"));
    QFocusEvent realOut(QEvent::FocusOut, Qt::MouseFocusReason);
    QApplication::sendEvent(&edit, &realOut);
    QCOMPARE(edit.Value(), 4.5);
}

void TstNumEdit::escapeRestoresEntryValue() {
    TFixture f;
    f.edit->SetLocale(kComma);
    f.edit->SetValue(7);
    if (!f.Activate())
        QSKIP("window cannot be activated on this platform");
    f.Enter();
    QTRY_VERIFY_WITH_TIMEOUT(f.edit->hasFocus(), 5000);
    QTest::keyClicks(f.edit, QStringLiteral("12,5"));
    QCOMPARE(f.edit->text(), QStringLiteral("12,5"));
    QTest::keyClick(f.edit, Qt::Key_Escape);
    QCOMPARE(f.edit->text(), QStringLiteral("7,00"));
    QCOMPARE(f.edit->selectedText(), QStringLiteral("7,00"));
    QCOMPARE(f.edit->Value(), 7.0);
    QVERIFY(f.edit->hasFocus());

    // A value committed in between is the one Escape returns to next time.
    f.Leave();
    QTRY_VERIFY_WITH_TIMEOUT(f.other->hasFocus(), 5000);
    f.edit->SetValue(3);
    f.Enter();
    QTRY_VERIFY_WITH_TIMEOUT(f.edit->hasFocus(), 5000);
    QTest::keyClicks(f.edit, QStringLiteral("9"));
    QTest::keyClick(f.edit, Qt::Key_Escape);
    QCOMPARE(f.edit->Value(), 3.0);
    QCOMPARE(f.edit->text(), QStringLiteral("3,00"));
}

void TstNumEdit::setValueSameNumberKeepsText() {
    TNumberEdit edit;
    edit.SetEntryRequired(TNumberEditType::wordvalue);
    edit.SetValue(5);
    QCOMPARE(edit.text(), QStringLiteral("5"));
    edit.setText(QStringLiteral("12"));
    QSignalSpy changed(&edit, &QLineEdit::textChanged);
    edit.SetValue(5);
    QCOMPARE(edit.text(), QStringLiteral("12"));
    QCOMPARE(changed.count(), 0);
    edit.SetValue(6);
    QCOMPARE(edit.text(), QStringLiteral("6"));
    edit.SetValue(70000); // not range-checked against the kind
    QCOMPARE(edit.text(), QStringLiteral("70000"));
}

void TstNumEdit::entryRequiredResetsFormat() {
    TNumberEdit edit;
    edit.SetLocale(kPoint);
    edit.SetValue(2.5);
    edit.SetDisplayFormat(QStringLiteral("0.000"));
    QCOMPARE(edit.text(), QStringLiteral("2.500"));
    edit.SetEntryRequired(TNumberEditType::floatingpointvalue);
    QCOMPARE(edit.DisplayFormat(), QStringLiteral("0.00;-0.00"));
    QCOMPARE(edit.text(), QStringLiteral("2.50"));
    edit.SetEntryRequired(TNumberEditType::integervalue);
    QCOMPARE(edit.DisplayFormat(), QStringLiteral("0;-0"));
    QCOMPARE(edit.text(), QString::number(2.5, 'f', 0));
}

void TstNumEdit::displayFormatSetter() {
    TNumberEdit edit;
    edit.SetLocale(kPoint);
    edit.SetValue(1);
    edit.setText(QStringLiteral("typed"));
    edit.SetDisplayFormat(edit.DisplayFormat()); // same format: nothing happens
    QCOMPARE(edit.text(), QStringLiteral("typed"));
    edit.SetDisplayFormat(QStringLiteral("0;-0"));
    QCOMPARE(edit.text(), QStringLiteral("1"));
}

void TstNumEdit::formatValue_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");

    QTest::newRow("whole") << 5.0 << "0;-0" << kPoint << "5";
    QTest::newRow("whole rounds") << 41.6 << "0;-0" << kPoint << "42";
    QTest::newRow("whole negative") << -5.4 << "0;-0" << kPoint << "-5";
    QTest::newRow("negative rounding to zero") << -0.4 << "0;-0" << kPoint << "0";
    QTest::newRow("two decimals comma") << 3.14159 << "0.00;-0.00" << kComma << "3,14";
    QTest::newRow("two decimals negative") << -3.146 << "0.00;-0.00" << kComma << "-3,15";
    QTest::newRow("two decimals zero") << 0.0 << "0.00;-0.00" << kComma << "0,00";
    QTest::newRow("one section negative") << -2.0 << "0.0" << kPoint << "-2.0";
    QTest::newRow("zero section") << 0.0 << "0;-0;'none'" << kPoint << "none";
    QTest::newRow("bracket negative") << -2.0 << "0;(0)" << kPoint << "(2)";
    QTest::newRow("grouping and optional decimals") << 1234567.891 << "#,##0.0#" << kPoint << "1,234,567.89";
    QTest::newRow("optional decimals dropped") << 12.0 << "0.##" << kPoint << "12";
    QTest::newRow("no integer digit") << 0.5 << "#.##" << kPoint << ".5";
    QTest::newRow("padded") << 7.0 << "000" << kPoint << "007";
    QTest::newRow("literal suffix") << 3.0 << "0 'kg'" << kPoint << "3 kg";
    QTest::newRow("empty format") << 1.5 << "" << kComma << "1,5";
}

void TstNumEdit::formatValue() {
    QFETCH(double, value);
    QFETCH(QString, format);
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);
    QCOMPARE(TNumberEdit::FormatValue(value, format, locale), expected);
}

QTEST_MAIN(TstNumEdit)
#include "tst_numedit.moc"
