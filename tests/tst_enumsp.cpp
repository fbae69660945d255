#include "controls/PortMenu.h"
#include "serial/EnumSP.h"

#include <QAction>
#include <QMenu>
#include <QtTest>

class TstEnumSP : public QObject {
    Q_OBJECT
private slots:
    void listOrder_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("none") << QStringList{} << QStringList{};
        QTest::newRow("text order, COM10 before COM2")
            << QStringList{"COM2", "COM10", "COM1"} << QStringList{"COM1", "COM10", "COM2"};
        QTest::newRow("same name twice kept once")
            << QStringList{"COM3", "COM1", "COM3"} << QStringList{"COM1", "COM3"};
        QTest::newRow("case-insensitive duplicates keep the first added")
            << QStringList{"ttyUSB0", "TTYUSB0", "ttyS0"} << QStringList{"ttyS0", "ttyUSB0"};
    }
    void listOrder() {
        QFETCH(QStringList, names);
        QFETCH(QStringList, expected);
        QCOMPARE(SplitCommaText(ListSerialPorts(names)), expected);
    }

    void commaTextRoundTrip_data() {
        QTest::addColumn<QStringList>("items");
        QTest::newRow("plain") << QStringList{"COM1", "COM2"};
        QTest::newRow("blank, comma, quote")
            << QStringList{"my port", "a,b", "say \"hi\"", "/dev/pts/3"};
        QTest::newRow("control character") << QStringList{QStringLiteral("x\ty"), "z"};
    }
    void commaTextRoundTrip() {
        QFETCH(QStringList, items);
        QCOMPARE(SplitCommaText(JoinCommaText(items)), items);
    }

    void commaTextQuoting() {
        QCOMPARE(JoinCommaText({"a b", "c\"d", "e"}), QStringLiteral("\"a b\",\"c\"\"d\",e"));
        QVERIFY(SplitCommaText(QString()).isEmpty());
    }

    void menuChecksExactName_data() {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("checked");
        QTest::newRow("present") << "COM3" << "COM3";
        QTest::newRow("other case: none") << "com3" << "";
        QTest::newRow("not on this machine: none") << "COM9" << "";
    }
    void menuChecksExactName() {
        QFETCH(QString, current);
        QFETCH(QString, checked);
        QMenu menu;
        FillPortMenu(menu, current, ListSerialPorts({"COM3", "COM10", "COM1"}));
        const auto items = menu.actions();
        QCOMPARE(items.size(), 3);
        QString got;
        for (QAction* a : items) {
            QCOMPARE(a->objectName(), a->text());
            if (a->isChecked())
                got += a->objectName();
        }
        QCOMPARE(got, checked);
        QCOMPARE(items[1]->objectName(), QStringLiteral("COM10"));
    }

    void menuRadioBehaviour() {
        QMenu menu;
        FillPortMenu(menu, "COM1", JoinCommaText({"COM1", "COM2"}));
        auto items = menu.actions();
        items[1]->trigger();
        QVERIFY(!items[0]->isChecked());
        QVERIFY(items[1]->isChecked());
        // Clicking the checked entry leaves none checked.
        items[1]->trigger();
        QVERIFY(!items[0]->isChecked() && !items[1]->isChecked());
    }

    void menuRefillReplacesEntries() {
        QMenu menu;
        FillPortMenu(menu, "", JoinCommaText({"COM1", "COM2"}));
        FillPortMenu(menu, "", QString());
        QVERIFY(menu.actions().isEmpty());
        FillPortMenu(menu, "COM5", JoinCommaText({"COM5"}));
        QCOMPARE(menu.actions().size(), 1);
        QVERIFY(menu.actions()[0]->isChecked());
    }
};

QTEST_MAIN(TstEnumSP)
#include "tst_enumsp.moc"
