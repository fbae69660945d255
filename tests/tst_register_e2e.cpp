#include "analyser/OpSavro.h"
#include "controls/numedit.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "support/FormHarness.h"
#include "support/SimProcess.h"

#include <QFile>
#include <QtTest>

#include <memory>

// The whole register against the analyser simulator on a pseudo-terminal:
// the window's handlers, the real poller and serial port, the results file.
class TstRegisterE2E : public QObject {
    Q_OBJECT

    TFormHarness harness_;
    TSimProcess sim_;
    std::unique_ptr<TForm1> form_;

    QByteArray Cell(int col, int row) const { return form_->Table()->Cell(col, row); }

private slots:
    void initTestCase() {
        QVERIFY(harness_.IsValid());
        QVERIFY(sim_.Start({"--device", "300", "--seed", "11"}));
        form_ = harness_.MakeForm();
        form_->Doc.Cycle().IntervalMs = 300; // a cycle in well under a second
        form_->Doc.Cycle().Locale = QLocale(QLocale::Russian, QLocale::Russia);
        form_->OpSavro1->Port = sim_.PortPath();
        form_->NumberEdit1->SetValue(300);
    }

    void measurementArrivesAsRow() {
        sim_.Send("measure 3 0x0800 5 12.5 -0.75");
        form_->actOpr->trigger();
        QVERIFY(form_->OpSavro1->Active());
        QVERIFY(!form_->NumberEdit1->isEnabled());
        QCOMPARE(form_->actOpr->toolTip(), QStringLiteral("Остановить опрос"));
        QVERIFY(!sim_.WaitForLine("ACK 1", 20000).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(form_->Table()->RowCount(), 3, 10000);
        QCOMPARE(Cell(4, 1), QByteArray("5"));
        QCOMPARE(Cell(5, 1), QByteArray("12,50"));
        QCOMPARE(Cell(6, 1), QByteArray("-0,75"));
        QVERIFY(Cell(7, 1).isEmpty());
        QCOMPARE(Cell(2, 1).size(), 10); // dd.MM.yyyy
        QCOMPARE(Cell(3, 1).size(), 8);  // HH:mm:ss
        QCOMPARE(Cell(0, 2), QByteArray("2"));
        // Unsaved measurements are offered for saving.
        QVERIFY(form_->Table()->Modified());
    }

    void spoiledRecordsAddNothing_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("wrong address tail") << "wrongtail" << "20.25" << QByteArray("20,25");
        QTest::newRow("invalid float word") << "badfloat" << "0.125" << QByteArray("0,13");
        QTest::newRow("short reply") << "short" << "1.5" << QByteArray("1,50");
        QTest::newRow("garbage") << "garbage" << "-3" << QByteArray("-3,00");
        QTest::newRow("split across reads") << "split" << "99.5" << QByteArray("99,50");
    }
    void spoiledRecordsAddNothing() {
        QFETCH(QString, fault);
        QFETCH(QString, value);
        QFETCH(QByteArray, text);
        const int rowsBefore = form_->Table()->RowCount();
        const int acks = sim_.CountLines("ACK ");
        sim_.Send("fault " + fault + " 1");
        sim_.Send("measure 1 0x0800 7 " + value);
        QVERIFY(!sim_.WaitForLine("FAULT " + fault, 20000).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(sim_.CountLines("ACK "), acks + 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(form_->Table()->RowCount(), rowsBefore + 1, 10000);
        // The measurement is in the table once, with its own values.
        const int row = rowsBefore - 1;
        QCOMPARE(Cell(5, row), text);
        QCOMPARE(Cell(4, row), QByteArray("7"));
    }

    void saveWritesTabSeparatedLines() {
        const QString path = harness_.Path("day.txt");
        form_->SaveDialog1 = [&](const QString&) { return path; };
        form_->actSaveAs->trigger();
        QVERIFY(harness_.Errors.isEmpty());
        QVERIFY(!form_->Table()->Modified());
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        const int rows = form_->Table()->RowCount() - 1;
        QCOMPARE(lines.size(), rows + 1); // the last CR LF ends the entry row
        const QList<QByteArray> first = lines[0].chopped(1).split('\t');
        QCOMPARE(first.size(), 31);
        QCOMPARE(first[0], QByteArray());
        QCOMPARE(first[1], Cell(2, 1));
        QCOMPARE(first[3], QByteArray("5"));
        QCOMPARE(first[4], QByteArray("12,50"));
        QCOMPARE(first[5], QByteArray("-0,75"));
        QCOMPARE(lines[rows - 1], QByteArray(30, '\t') + '\r');
    }

    void hangUpStopsPollingAndTellsTheOperator() {
        sim_.Send("hangup");
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(harness_.Errors.size(), 1, 10000);
        QVERIFY2(harness_.Errors[0].startsWith(QStringLiteral("Ошибка|")), qPrintable(harness_.Errors[0]));
        QVERIFY2(harness_.Errors[0].contains(QStringLiteral("COM Port Error: ")), qPrintable(harness_.Errors[0]));
        // The lost port is reopened by itself until the button ends that.
        QVERIFY(form_->Link.Retrying());
        QVERIFY(!form_->NumberEdit1->isEnabled());
        form_->actOpr->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 20000);
        QVERIFY(form_->NumberEdit1->isEnabled());
        QCOMPARE(form_->actOpr->toolTip(), QStringLiteral("Включить опрос"));
    }

    void cleanupTestCase() {
        if (form_)
            form_->close();
        form_.reset();
    }
};

QTEST_MAIN(TstRegisterE2E)
#include "tst_register_e2e.moc"
