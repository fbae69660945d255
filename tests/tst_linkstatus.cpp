#include "analyser/OpSavro.h"
#include "controls/numedit.h"
#include "controls/PortMenu.h"
#include "link/LinkStatus.h"
#include "register/LinkStatusBar.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "serial/PortAlias.h"
#include "support/CycleClock.h"
#include "support/FormHarness.h"
#include "support/PtyPair.h"
#include "support/SimProcess.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr int kDevice = 300;

QString Measure(int n) {
    return QStringLiteral("measure 3 0x0800 %1 %2.25 -%3.5").arg(n).arg(n * 11).arg(n);
}

QStringList SimArgs(int device, const QStringList& more = {}) {
    return QStringList{"--device", QString::number(device), "--seed", "7", "--verbose"} + more;
}

// s=start, 6/9/0=turn, c/i=complete/incomplete reply, l/r=port lost (r: with
// retries), t=retry, o=off; device 5 on ttyUSB0.
void Feed(TLinkStatus& link, const QString& events) {
    for (const QString& e : events.split(u' ', Qt::SkipEmptyParts)) {
        if (e == "s")
            link.Started("ttyUSB0", 5);
        else if (e == "l")
            link.PortLost(false);
        else if (e == "r")
            link.PortLost(true);
        else if (e == "t")
            link.RetryAttempted();
        else if (e == "o")
            link.SwitchedOff();
        else {
            link.TurnStarted(quint8(e.left(1).toUInt()), 5);
            if (e.size() > 1)
                link.Replied(e.at(1) == u'c');
        }
    }
}

// The colour most pixels of the image have: a label's background.
QColor Dominant(const QImage& image) {
    QHash<QRgb, int> count;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++count[image.pixel(x, y)];
    QRgb best = 0;
    int most = 0;
    for (auto it = count.cbegin(); it != count.cend(); ++it)
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    return QColor(best);
}

} // namespace

// The link in plain sight: what the status bar says about the line, a port
// that vanishes while idle, polling that resumes by itself, any port chosen.
class TstLinkStatus : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> harness_;
    std::unique_ptr<TForm1> form_;
    TCycleClock clock_;

    QString StateText() const { return form_->StatusBar1->StateLabel->text(); }
    int Rows() const { return form_->Table()->RowCount(); }

    // Polling on the simulator until its first measurement is acknowledged.
    void StartPolling(TSimProcess& sim, const QString& port) {
        sim.Send(Measure(1));
        form_->OpSavro1->Port = port;
        form_->actOpr->trigger();
        QVERIFY(form_->OpSavro1->Active());
        QVERIFY(!sim.WaitForLine("ACK 1", 20000).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(Rows(), 3, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(StateText(), QStringLiteral("Опрос"), 10000);
    }

private slots:
    void init() {
        harness_ = std::make_unique<TFormHarness>();
        QVERIFY(harness_->IsValid());
        form_ = harness_->MakeForm();
        clock_.Attach(*form_);
        form_->Doc.Cycle().Locale = QLocale(QLocale::Russian, QLocale::Russia);
        form_->NumberEdit1->SetValue(kDevice);
        form_->PortAliasFolder = harness_->Path("by-id");
    }

    void cleanup() {
        if (form_ && form_->Link.Retrying())
            form_->actOpr->trigger();
        if (form_ && form_->OpSavro1->Active()) {
            form_->actOpr->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 30000);
        }
        if (form_)
            form_->close();
        form_.reset();
        harness_.reset();
    }

    // The state machine alone, fed as the window feeds it.
    void transitions_data() {
        QTest::addColumn<QString>("events"); // s=start, 6/9/0=turn, c/i=complete/incomplete reply
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("colour");
        QTest::newRow("off") << "" << "Опрос выключен" << int(TLinkColour::Plain);
        QTest::newRow("polling") << "s" << "Опрос" << int(TLinkColour::Green);
        QTest::newRow("two misses") << "s 6i 6i" << "Опрос" << int(TLinkColour::Green);
        QTest::newRow("three misses") << "s 6i 6i 6i" << "Нет ответа от прибора №5"
                                      << int(TLinkColour::Amber);
        QTest::newRow("unanswered 9s count at the next turn")
            << "s 6c 9 9 9 0" << "Нет ответа от прибора №5" << int(TLinkColour::Amber);
        QTest::newRow("idle turns are no misses") << "s 6c 0 0 0 0" << "Опрос"
                                                  << int(TLinkColour::Green);
        QTest::newRow("a reply ends the silence") << "s 6i 6i 6i 6c" << "Опрос"
                                                  << int(TLinkColour::Green);
        QTest::newRow("a complete reply resets the count") << "s 6i 6i 6c 6i 6i" << "Опрос"
                                                           << int(TLinkColour::Green);
        QTest::newRow("port lost") << "s l" << "Порт недоступен" << int(TLinkColour::Red);
        QTest::newRow("reopen tries counted")
            << "s r t t t" << "Порт недоступен, попыток открыть: 3"
            << int(TLinkColour::Red);
        QTest::newRow("tries stopped") << "s r t o" << "Опрос выключен" << int(TLinkColour::Plain);
        QTest::newRow("resumed") << "s r t s" << "Опрос" << int(TLinkColour::Green);
    }
    void transitions() {
        QFETCH(QString, events);
        QFETCH(QString, text);
        QFETCH(int, colour);
        TLinkStatus link;
        const quint64 before = link.Revision();
        Feed(link, events);
        QCOMPARE(link.StateText(), text);
        QCOMPARE(int(link.Colour()), colour);
        QCOMPARE(link.Revision() != before, !events.isEmpty());
    }

    // What the operator sees is the painted label: a silent analyser in
    // amber, not in the red of a lost port. Hues: red 0, amber 30-60, green 120.
    void stateLabelPaintedInItsColour_data() {
        QTest::addColumn<QString>("events");
        QTest::addColumn<int>("hueFrom");
        QTest::addColumn<int>("hueTo");
        QTest::newRow("polling: green") << "s" << 90 << 150;
        QTest::newRow("no answer: amber") << "s 6i 6i 6i" << 30 << 60;
        QTest::newRow("port lost: red") << "s l" << -15 << 15;
    }
    void stateLabelPaintedInItsColour() {
        QFETCH(QString, events);
        QFETCH(int, hueFrom);
        QFETCH(int, hueTo);
        TLinkStatus link;
        Feed(link, events);
        TLinkStatusBar bar;
        bar.Show(link);
        bar.resize(900, 30);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        const QImage image = bar.StateLabel->grab().toImage();
        QVERIFY(!image.isNull());
        const QColor colour = Dominant(image);
        const int hue = colour.hsvHue() > 180 ? colour.hsvHue() - 360 : colour.hsvHue();
        QVERIFY2(colour.hsvSaturation() > 128 && hue >= hueFrom && hue <= hueTo,
                 qPrintable(colour.name() + " for " + bar.StateLabel->text()));
    }

    void stableNames() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir("by-id"));
        QFile device(dir.filePath("ttyUSB0"));
        QVERIFY(device.open(QIODevice::WriteOnly));
        device.close();
        const QString link = dir.filePath("by-id/usb-FTDI_FT232R_A1-if00-port0");
        QVERIFY(QFile::link(dir.filePath("ttyUSB0"), link));
        QCOMPARE(TPortAlias::Find(dir.filePath("ttyUSB0"), dir.filePath("by-id")), link);
        QCOMPARE(TPortAlias::Find(dir.filePath("ttyUSB9"), dir.filePath("by-id")), QString());
        // A stable name chosen as the port needs no second one.
        QCOMPARE(TPortAlias::Find(link, dir.filePath("by-id")), QString());
        // The adapter comes back under another kernel name.
        QVERIFY(QFile::rename(dir.filePath("ttyUSB0"), dir.filePath("ttyUSB1")));
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(dir.filePath("ttyUSB1"), link));
        QCOMPARE(TPortAlias::Resolve(link, dir.filePath("ttyUSB0")), dir.filePath("ttyUSB1"));
        QVERIFY(TPortAlias::Missing(dir.filePath("ttyUSB0")));
        QVERIFY(!TPortAlias::Missing(dir.filePath("ttyUSB1")));
        QVERIFY(QFile::remove(link));
        QCOMPARE(TPortAlias::Resolve(link, dir.filePath("ttyUSB0")), QString());
        QCOMPARE(TPortAlias::DevicePath("ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(PortToolTip(" USB Serial ", "FTDI"), QStringLiteral("USB Serial, FTDI"));
        QCOMPARE(PortToolTip("FTDI", "FTDI"), QStringLiteral("FTDI"));
        QCOMPARE(PortToolTip("", ""), QString());
    }

    // The poller alone: a line hung up while no request is due ends the run
    // with a port error, although nothing is sent.
    void hangUpNoticedWhileIdle() {
        TPtyPair pty;
        TOpSavro poller;
        int turns = 0;
        poller.Port = pty.SlavePath();
        poller.OnGetNumber = [&turns](TOpSavro* s) {
            ++turns;
            s->Command = 0;
        };
        poller.Start();
        QTRY_VERIFY_WITH_TIMEOUT(turns > 3, 10000);
        QVERIFY(poller.Active());
        pty.CloseMaster();
        QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), 10000);
        QVERIFY2(poller.StopError().startsWith("COM Port Error: "), qPrintable(poller.StopError()));
        QVERIFY(poller.StopError().contains(pty.SlavePath()));
    }

    void wrongDeviceNumber() {
        TSimProcess sim;
        QVERIFY(sim.Start(SimArgs(kDevice)));
        form_->NumberEdit1->SetValue(kDevice + 1);
        form_->OpSavro1->Port = sim.PortPath();
        form_->actOpr->trigger();
        QCOMPARE(form_->StatusBar1->PortLabel->text(), "Порт " + sim.PortPath());
        QTRY_COMPARE_WITH_TIMEOUT(StateText(), QStringLiteral("Нет ответа от прибора №301"), 20000);
        QCOMPARE(form_->StatusBar1->StateLabel->property("linkColour").toInt(),
                 int(TLinkColour::Amber));
        QCOMPARE(form_->StatusBar1->DeviceLabel->text(), QStringLiteral("Прибор №301"));
        QCOMPARE(form_->StatusBar1->NextLabel->text(), QStringLiteral("Следующий запрос сейчас"));
        QVERIFY(harness_->Errors.isEmpty());
        form_->actOpr->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 20000);
        QCOMPARE(StateText(), QStringLiteral("Опрос выключен"));
        QCOMPARE(form_->StatusBar1->NextLabel->text(), QString());
    }

    // The simulator hangs up while idle and comes back on the same path (a
    // link re-pointed, as /dev/serial/by-id/ does); or, under a stable name in
    // the by-id folder, on a new pty that the program finds by that name.
    void hangUpAndComeBack_data() {
        QTest::addColumn<bool>("byId");
        QTest::newRow("same path") << false;
        QTest::newRow("stable name") << true;
    }
    void hangUpAndComeBack() {
        QFETCH(bool, byId);
        QVERIFY(QDir(harness_->Path(".")).mkpath("by-id"));
        const QString link = byId ? harness_->Path("by-id/usb-Savro_Sim-if00-port0")
                                  : harness_->Path("savro-line");
        TSimProcess first;
        QVERIFY(first.Start(SimArgs(kDevice, {"--link", link})));
        StartPolling(first, byId ? first.PortPath() : link);
        QCOMPARE(form_->StatusBar1->StateLabel->property("linkColour").toInt(),
                 int(TLinkColour::Green));
        QVERIFY(form_->StatusBar1->LastLabel->text().startsWith("Последнее измерение 09:00:00"));
        QVERIFY2(form_->StatusBar1->NextLabel->text() == "Следующий запрос 09:02:00",
                 qPrintable(form_->StatusBar1->NextLabel->text()));

        // Nothing is due for two minutes: the line goes while idle.
        first.Send("hangup");
        QTRY_VERIFY_WITH_TIMEOUT(StateText().startsWith("Порт недоступен"), 20000);
        QCOMPARE(form_->StatusBar1->StateLabel->property("linkColour").toInt(),
                 int(TLinkColour::Red));
        QTRY_COMPARE_WITH_TIMEOUT(harness_->Errors.size(), 1, 10000);
        QVERIFY2(harness_->Errors[0].contains("COM Port Error: "), qPrintable(harness_->Errors[0]));
        // Still on: the button stops the tries, the number stays.
        QVERIFY(form_->Link.Retrying());
        QCOMPARE(form_->actOpr->toolTip(), QStringLiteral("Остановить опрос"));
        QVERIFY(!form_->NumberEdit1->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(form_->Link.RetryCount() >= 2, 20000);
        QVERIFY2(StateText().contains("попыток открыть"), qPrintable(StateText()));
        QCOMPARE(harness_->Errors.size(), 1);

        TSimProcess second;
        QVERIFY(second.Start(SimArgs(kDevice, {"--link", link})));
        second.Send(Measure(2));
        QTRY_COMPARE_WITH_TIMEOUT(StateText(), QStringLiteral("Опрос"), 20000);
        QVERIFY(form_->OpSavro1->Active());
        QVERIFY(!form_->RetryTimer->isActive());
        if (byId)
            QCOMPARE(form_->OpSavro1->Port, second.PortPath());
        else
            QCOMPARE(form_->OpSavro1->Port, link);
        // The same two-minute rhythm: the next record when it is due.
        QVERIFY(clock_.CycleUntil(second, "ACK 1"));
        QTRY_COMPARE_WITH_TIMEOUT(Rows(), 4, 10000);
        QCOMPARE(form_->Table()->Cell(4, 2), QByteArray("2"));
        QCOMPARE(harness_->Errors.size(), 1);
    }

    // With nothing coming back, the button ends the tries.
    void buttonStopsTheTries() {
        const QString link = harness_->Path("savro-line");
        TSimProcess sim;
        QVERIFY(sim.Start(SimArgs(kDevice, {"--link", link})));
        StartPolling(sim, link);
        sim.Send("hangup");
        QTRY_VERIFY_WITH_TIMEOUT(form_->Link.Retrying(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(form_->Link.RetryCount() >= 1, 20000);
        form_->actOpr->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 20000);
        QVERIFY(!form_->Link.Retrying());
        QVERIFY(!form_->RetryTimer->isActive());
        QCOMPARE(StateText(), QStringLiteral("Опрос выключен"));
        QCOMPARE(form_->actOpr->toolTip(), QStringLiteral("Включить опрос"));
        QVERIFY(form_->NumberEdit1->isEnabled());
        // A port that appears now is not opened behind the operator's back.
        TSimProcess again;
        QVERIFY(again.Start(SimArgs(kDevice, {"--link", link})));
        QTest::qWait(0);
        QVERIFY(!form_->OpSavro1->Active());
        QVERIFY(again.WaitForLine("CMD", 3000).isEmpty());
    }

    // The button pressed while a port error is ending the run: the
    // operator's Stop wins and no reopen tries start.
    void stopWinsOverPortError() {
        TSimProcess sim;
        QVERIFY(sim.Start(SimArgs(kDevice, {"--hangup-after", "0"})));
        sim.Send(Measure(1));
        // Pressed while the first request is being prepared; the request
        // then meets the hang-up.
        const TOpSavro::TNotifyEvent getNumber = form_->OpSavro1->OnGetNumber;
        bool pressed = false;
        form_->OpSavro1->OnGetNumber = [&](TOpSavro* sender) {
            getNumber(sender);
            if (sender->Command != 0 && !pressed) {
                pressed = true;
                form_->actOpr->trigger();
            }
        };
        form_->OpSavro1->Port = sim.PortPath();
        form_->actOpr->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 20000);
        form_->OpSavro1->OnGetNumber = getNumber;
        QVERIFY(pressed);
        QVERIFY2(!form_->OpSavro1->StopError().isEmpty(), "the run did not end with a port error");
        QVERIFY(!form_->Link.Retrying());
        QVERIFY(!form_->RetryTimer->isActive());
        QCOMPARE(form_->Link.RetryCount(), 0);
        QCOMPARE(StateText(), QStringLiteral("Опрос выключен"));
        QCOMPARE(form_->actOpr->toolTip(), QStringLiteral("Включить опрос"));
        QVERIFY(form_->NumberEdit1->isEnabled());
    }

    void otherPort() {
        TSimProcess sim;
        QVERIFY(sim.Start(SimArgs(kDevice)));
        QString offered;
        form_->AskPortName = [&](const QString& current) {
            offered = current;
            return QString();
        };
        const QString before = form_->OpSavro1->Port;
        QVERIFY(form_->actOtherPort);
        QCOMPARE(form_->actOtherPort->text(), QStringLiteral("Другой порт…"));
        form_->actOtherPort->trigger();
        QCOMPARE(offered, before);
        QCOMPARE(form_->OpSavro1->Port, before); // Cancel changes nothing

        form_->AskPortName = [&](const QString&) { return "  " + sim.PortPath() + " "; };
        form_->actOtherPort->trigger();
        QCOMPARE(form_->OpSavro1->Port, sim.PortPath());
        QCOMPARE(form_->StatusBar1->PortLabel->text(), "Порт " + sim.PortPath());
        // The unlisted port carries the check mark, and only it.
        QStringList checked;
        for (QAction* item : form_->MenuPort->actions())
            if (item->isChecked())
                checked << item->objectName();
        QCOMPARE(checked, QStringList{sim.PortPath()});
        QCOMPARE(form_->MenuPort->actions().last(), form_->actOtherPort);
        // Opening the menu rebuilds it with the same marks.
        form_->FillPortMenuItems();
        checked.clear();
        for (QAction* item : form_->MenuPort->actions())
            if (item->isChecked())
                checked << item->objectName();
        QCOMPARE(checked, QStringList{sim.PortPath()});
        // It is used like a listed port.
        form_->actOpr->trigger();
        QVERIFY(clock_.CycleUntil(sim, "CMD 9"));
        QTRY_COMPARE_WITH_TIMEOUT(StateText(), QStringLiteral("Опрос"), 10000);
    }
};

QTEST_MAIN(TstLinkStatus)
#include "tst_linkstatus.moc"
