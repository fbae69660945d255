#include "analyser/OpSavro.h"
#include "controls/numedit.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "support/CycleClock.h"
#include "support/FormHarness.h"
#include "support/SimProcess.h"

#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

#include <memory>

namespace {

constexpr int kDevice = 300;

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Measurement n: calibration n, indicator 0 = n*11 + 0.25, indicator 1 = -(n + 0.5).
QString Measure(int n) {
    return QStringLiteral("measure 3 0x0800 %1 %2.25 -%3.5").arg(n).arg(n * 11).arg(n);
}

QList<QByteArray> Snapshot(const TResultsTable& t) {
    QList<QByteArray> cells;
    for (int r = 0; r < t.RowCount(); ++r)
        for (int c = 0; c < TResultsTable::ColCount; ++c)
            cells << t.Cell(c, r);
    return cells;
}

} // namespace

// The line to the analyser goes in the middle of a reply: polling stops and
// the operator is told, nothing recorded or saved is touched, and polling
// resumes on a port that is back.
class TstPulledCable : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> harness_;
    std::unique_ptr<TForm1> form_;
    TCycleClock clock_;

    int Rows() const { return form_->Table()->RowCount(); }
    QByteArray Cell(int col, int row) const { return form_->Table()->Cell(col, row); }

    void VerifyMeasurement(int row, int n) {
        QCOMPARE(Cell(4, row), QByteArray::number(n));
        QCOMPARE(Cell(5, row), QByteArray::number(n * 11) + ",25");
        QCOMPARE(Cell(6, row), "-" + QByteArray::number(n) + ",50");
    }

private slots:
    void init() {
        harness_ = std::make_unique<TFormHarness>();
        QVERIFY(harness_->IsValid());
        form_ = harness_->MakeForm();
        clock_.Attach(*form_);
        form_->Doc.Cycle().Locale = QLocale(QLocale::Russian, QLocale::Russia);
        form_->NumberEdit1->SetValue(kDevice);
    }

    void cleanup() {
        if (form_ && form_->OpSavro1->Active()) {
            form_->actOpr->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 30000);
        }
        if (form_)
            form_->close();
        form_.reset();
        harness_.reset();
    }

    // The box about the lost port stays while the tries go on and goes by
    // itself once one of them resumes polling.
    void errorBoxGoesWhenPollingResumes() {
        // A form whose box is the real one; its other prompts are the harness's.
        form_->close();
        form_.reset();
        form_ = std::make_unique<TForm1>(nullptr, harness_->IniPath());
        const auto realBox = form_->StoppedBox;
        harness_->Hook(*form_);
        form_->StoppedBox = realBox;
        const QString link = harness_->Path("savro-line");
        const QStringList args{"--device", QString::number(kDevice), "--link", link};
        TSimProcess first;
        QVERIFY(first.Start(args));
        first.Send(Measure(1));
        form_->NumberEdit1->SetValue(kDevice);
        form_->OpSavro1->Port = link;
        form_->actOpr->trigger();
        QVERIFY(!first.WaitForLine("ACK 1", 20000).isEmpty());
        first.Send("hangup");
        QTRY_VERIFY_WITH_TIMEOUT(form_->LostBox.Box() && form_->LostBox.Box()->isVisible(), 20000);
        const QPointer<QMessageBox> box = form_->LostBox.Box();
        QVERIFY(box->isModal());
        QVERIFY2(box->text().startsWith(QStringLiteral("Опрос остановлен")),
                 qPrintable(box->text()));

        TSimProcess second;
        QVERIFY(second.Start(args));
        QTRY_VERIFY_WITH_TIMEOUT(!box, 20000);
        QVERIFY(form_->OpSavro1->Active());
        QVERIFY(harness_->Errors.isEmpty());
    }

    void hangUpMidReply_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<bool>("faultOnStdin");
        QTest::addColumn<int>("kept"); // measurements of the first line in the table
        QTest::newRow("hang-up asked for") << QStringList() << true << 2;
        // Exchanges 1 to 4 carry measurements 1 and 2 (6, 9, 6, 9); the
        // fifth, the record of measurement 3, is cut.
        QTest::newRow("record cut") << QStringList{"--hangup-after", "4"} << false << 2;
        // The sixth is cut: measurement 3 was taken, its acknowledgement's
        // echo is cut.
        QTest::newRow("acknowledgement cut") << QStringList{"--hangup-after", "5"} << false << 3;
    }
    void hangUpMidReply() {
        QFETCH(QStringList, simArgs);
        QFETCH(bool, faultOnStdin);
        QFETCH(int, kept);

        TSimProcess first;
        QVERIFY(first.Start(QStringList{"--device", QString::number(kDevice), "--seed", "5"} +
                            simArgs));
        first.Send(Measure(1));
        first.Send(Measure(2));
        // The exchange count decides where the line goes: measurement 3 is
        // queued at once, so no request can find the queue empty.
        if (!faultOnStdin)
            first.Send(Measure(3));
        form_->OpSavro1->Port = first.PortPath();
        form_->actOpr->trigger();
        QVERIFY(form_->OpSavro1->Active());
        QVERIFY(!first.WaitForLine("ACK 1", 20000).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(Rows(), 3, 10000);
        clock_.NextCycle();
        QVERIFY(!first.WaitForLine("ACK 2", 20000).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(Rows(), 4, 10000);

        // The day so far is saved while polling goes on.
        const QString saved = harness_->Path("day.txt");
        form_->SaveDialog1 = [&](const QString&) { return saved; };
        form_->actSaveAs->trigger();
        QVERIFY2(harness_->Errors.isEmpty(), qPrintable(harness_->Errors.join('\n')));
        const QByteArray savedBytes = ReadAll(saved);
        QCOMPARE(savedBytes.count('\n'), 3);
        const QList<QByteArray> before = Snapshot(*form_->Table());
        const QString title = form_->windowTitle();

        // Measurement 3 is in flight when the line goes. The fault and the
        // measurement go in one write, so the simulator reads both at once.
        if (faultOnStdin)
            first.Send("fault hangup\n" + Measure(3));
        QVERIFY(clock_.CycleUntil(first, "FAULT hangup"));
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(harness_->Errors.size(), 1, 10000);
        const QString caption = harness_->Errors[0].section(u'|', 0, 0);
        const QString text = harness_->Errors[0].section(u'|', 1);
        QCOMPARE(caption, QStringLiteral("Ошибка"));
        QVERIFY2(text.contains(QStringLiteral("COM Port Error: ")), qPrintable(text));
        QVERIFY2(text.contains(first.PortPath()), qPrintable(text));
        // Polling stays on, reopening the lost port; the button ends that.
        QVERIFY(form_->Link.Retrying());
        QCOMPARE(form_->actOpr->toolTip(), QStringLiteral("Остановить опрос"));
        form_->actOpr->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 20000);
        QVERIFY(!form_->Link.Retrying());
        QVERIFY(form_->NumberEdit1->isEnabled());
        QCOMPARE(form_->actOpr->toolTip(), QStringLiteral("Включить опрос"));

        // Nothing recorded or saved before the hang-up changed; a measurement
        // taken before the line went is kept.
        const int rowsKept = (kept + 1) * TResultsTable::ColCount;
        QCOMPARE(Rows(), kept + 2);
        if (kept == 2) {
            QCOMPARE(Snapshot(*form_->Table()), before);
        } else {
            QCOMPARE(Snapshot(*form_->Table()).mid(0, 3 * TResultsTable::ColCount),
                     before.mid(0, 3 * TResultsTable::ColCount));
            QVERIFY(!first.WaitForLine("ACK 3", 10000).isEmpty());
            VerifyMeasurement(3, 3);
        }
        QCOMPARE(form_->Table()->Modified(), kept == 3);
        QCOMPARE(form_->windowTitle(), kept == 3 ? "*" + title : title);
        QCOMPARE(ReadAll(saved), savedBytes);
        const QList<QByteArray> afterHangUp = Snapshot(*form_->Table());

        // The cable is back: a new port, polling switched on again.
        TSimProcess second;
        QVERIFY(second.Start({"--device", QString::number(kDevice), "--seed", "6"}));
        second.Send(Measure(4));
        form_->OpSavro1->Port = second.PortPath();
        form_->actOpr->trigger();
        QVERIFY(form_->OpSavro1->Active());
        QVERIFY(clock_.CycleUntil(second, "ACK 1"));
        QTRY_COMPARE_WITH_TIMEOUT(Rows(), kept + 3, 10000);
        QCOMPARE(Snapshot(*form_->Table()).mid(0, rowsKept), afterHangUp.mid(0, rowsKept));
        VerifyMeasurement(kept + 1, 4);
        QCOMPARE(ReadAll(saved), savedBytes);
        QCOMPARE(harness_->Errors.size(), 1);

        // The archive has each measurement once, and the gap explains itself.
        TArchive* archive = form_->Doc.Archive();
        QVERIFY(archive);
        QCOMPARE(archive->Count({}), qint64(kept + 1));
        const std::vector<TLinkOutage> outages = archive->Outages({}, {});
        QCOMPARE(outages.size(), size_t(1));
        QCOMPARE(outages[0].Port, first.PortPath());
        QCOMPARE(outages[0].Device, quint16(kDevice));
        QVERIFY(outages[0].To.isValid() && outages[0].To >= outages[0].From);
        QVERIFY(!outages[0].Reason.isEmpty());
    }
};

QTEST_MAIN(TstPulledCable)
#include "tst_pulledcable.moc"
