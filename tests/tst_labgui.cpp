#include "archive/ArchiveModel.h"
#include "archive/LabServer.h"
#include "archive/LabUploader.h"
#include "archiveui/ArchiveWindow.h"
#include "archiveui/LabSettingsDialog.h"
#include "link/LabStatusView.h"
#include "register/LinkStatusBar.h"
#include "register/Unit1.h"
#include "support/FormHarness.h"

#include <QComboBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TUploadStatus::TState)
Q_DECLARE_METATYPE(TLinkColour)

namespace {

// A lab server nobody answers: a loopback port just freed.
TLabSettings Unreachable() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    TLabSettings s;
    s.Host = QStringLiteral("127.0.0.1");
    s.Port = probe.serverPort();
    s.User = QStringLiteral("manager");
    s.SslMode = QStringLiteral("verify-full");
    s.CaFile = QStringLiteral("/etc/lab/ca.crt");
    return s;
}

} // namespace

class TstLabGui : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> h_;
    std::unique_ptr<TForm1> form_;
    QStringList errors_;

    TArchiveWindow* OpenArchive() {
        form_->actArchive->trigger();
        form_->ArchiveWindow->ErrorBox = [this](const QString&, const QString& t) { errors_ << t; };
        return form_->ArchiveWindow.get();
    }

private slots:
    void init() {
        h_ = std::make_unique<TFormHarness>();
        form_ = h_->MakeForm();
        errors_.clear();
    }

    void cleanup() {
        form_.reset();
        h_.reset();
    }

    // What the uploader waits after each outcome: f a failure, r a refusal,
    // s a success (no wait).
    void retryDelay_data() {
        QTest::addColumn<QString>("outcomes");
        QTest::addColumn<QList<qint64>>("waits");
        QTest::newRow("doubling to the cap")
            << "fffffff" << QList<qint64>{1000, 2000, 4000, 8000, 16000, 30000, 30000};
        QTest::newRow("a success starts again")
            << "fffsff" << QList<qint64>{1000, 2000, 4000, 0, 1000, 2000};
        QTest::newRow("a refusal waits longest")
            << "rfsf" << QList<qint64>{30000, 30000, 0, 1000};
    }

    void retryDelay() {
        QFETCH(QString, outcomes);
        QFETCH(QList<qint64>, waits);
        TRetryDelay delay;
        QList<qint64> got;
        for (const QChar c : outcomes) {
            if (c == u's') {
                delay.Succeeded();
                got << 0;
            } else {
                got << delay.Failed(c == u'r');
            }
        }
        QCOMPARE(got, waits);
    }

    void statusLabel_data() {
        QTest::addColumn<TUploadStatus::TState>("state");
        QTest::addColumn<int>("waitedS");  // by the oldest unsent; -1: not known
        QTest::addColumn<QString>("text"); // empty: hidden
        QTest::addColumn<TLinkColour>("colour");
        QTest::addColumn<int>("backlog");
        const QString unsent = QStringLiteral("Архив лаборатории: не отправлено: 7");
        QTest::newRow("off") << TUploadStatus::Off << -1 << QString() << TLinkColour::Plain << 7;
        QTest::newRow("sent") << TUploadStatus::Sent << -1 << "Архив лаборатории: отправлено"
                              << TLinkColour::Plain << 7;
        QTest::newRow("unsent, fresh")
            << TUploadStatus::Unsent << 60 << unsent << TLinkColour::Plain << 7;
        QTest::newRow("unsent, 10 min")
            << TUploadStatus::Unsent << 600 << unsent << TLinkColour::Plain << 7;
        QTest::newRow("unsent, longer")
            << TUploadStatus::Unsent << 601 << unsent << TLinkColour::Amber << 7;
        QTest::newRow("unsent, no time")
            << TUploadStatus::Unsent << -1 << unsent << TLinkColour::Plain << 7;
        QTest::newRow("only changes wait")
            << TUploadStatus::Unsent << -1 << "Архив лаборатории: не отправлены изменения"
            << TLinkColour::Plain << 0;
        QTest::newRow("refused") << TUploadStatus::Refused << 3600 << "Архив лаборатории: отказ"
                                 << TLinkColour::Red << 7;
        QTest::newRow("not yet checked") << TUploadStatus::Unchecked << -1
                                         << "Архив лаборатории: не сверено" << TLinkColour::Plain
                                         << 0;
    }

    void statusLabel() {
        QFETCH(TUploadStatus::TState, state);
        QFETCH(int, waitedS);
        QFETCH(QString, text);
        QFETCH(TLinkColour, colour);
        QFETCH(int, backlog);
        const QDateTime now = QDateTime::currentDateTime();
        TUploadStatus status;
        status.State = state;
        status.Backlog = backlog;
        if (waitedS >= 0)
            status.OldestUnsent = now.addSecs(-waitedS);
        status.Reason = QStringLiteral("password authentication failed");
        QCOMPARE(TLabStatusView::Of(status, now).Colour, colour);
        // The window, as the uploader reports it; its clock is a little
        // later, past the edge.
        emit form_->Uploader->StatusChanged(status);
        QLabel* label = form_->StatusBar1->LabLabel;
        QCOMPARE(label->isVisibleTo(form_.get()), !text.isEmpty());
        QCOMPARE(label->text(), text);
        if (waitedS != 600)
            QCOMPARE(label->property("linkColour").toInt(), int(colour));
        QCOMPARE(label->toolTip().contains(status.Reason),
                 state == TUploadStatus::Refused || state == TUploadStatus::Unchecked);
    }

    void dialogReadsWritesAndReconfigures() {
        const TLabSettings stored = Unreachable();
        stored.Write(h_->IniPath());
        TArchiveWindow* w = OpenArchive();
        QVERIFY(w->SourcePanel->isVisibleTo(w));
        QAction* lab = form_->findChild<QAction*>(QStringLiteral("actLabServer"));
        const QList<QAction*> file = form_->mnFile->actions();
        QCOMPARE(file.indexOf(lab), file.indexOf(form_->actArchive) + 1);
        lab->trigger();
        auto* dialog = form_->findChild<TLabSettingsDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->Settings(), stored);
        QCOMPARE(dialog->ArchiveFolder, form_->Doc.Recovery().Folder());
        for (const char* piece : {"~/.pgpass", "PGPASSFILE", "PGSERVICEFILE", "сервер:порт:база:"})
            QVERIFY(dialog->PasswordNote->text().contains(QString::fromUtf8(piece)));
        for (const QString mode : {"disable", "require", "verify-full"}) {
            dialog->SslModeBox->setCurrentIndex(dialog->SslModeBox->findData(mode));
            QCOMPARE(dialog->CaFileEdit->isEnabled(), mode == "verify-full");
            QCOMPARE(dialog->CaFileButton->isEnabled(), mode == "verify-full");
        }
        dialog->HostEdit->clear(); // no lab server
        dialog->PortEdit->setValue(6432);
        dialog->UserEdit->setText(QStringLiteral("bench3"));
        dialog->OkButton->click();
        TLabSettings expected = stored;
        expected.Host.clear();
        expected.Port = 6432;
        expected.User = QStringLiteral("bench3");
        QCOMPARE(TLabSettings::FromIni(h_->IniPath()), expected);
        // The open archive window no longer offers the lab.
        QVERIFY(!w->SourcePanel->isVisibleTo(w));
        QTRY_VERIFY_WITH_TIMEOUT(!form_->findChild<TLabSettingsDialog*>(), 10000);
    }

    void checkRunsAside() {
        TLabSettingsDialog dialog(h_->IniPath());
        dialog.TestButton->click();
        QCOMPARE(dialog.TestResult->text(), QStringLiteral("Сервер не указан."));
        const TLabSettings settings = Unreachable();
        dialog.Show(settings);
        dialog.TestButton->click();
        QVERIFY(dialog.Testing() && !dialog.TestButton->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.Testing(), 30000);
        QCOMPARE(dialog.TestResult->text(), TLabServer::TestConnection(settings));
        QVERIFY(dialog.TestButton->isEnabled());
    }

    // The reconciliation has a thread and connections of its own; the
    // window stays live and is told the outcome.
    void verifyRunsAside() {
        TLabSettingsDialog dialog(h_->IniPath());
        QTemporaryDir folder;
        dialog.ArchiveFolder = folder.path();
        dialog.VerifyButton->click();
        QCOMPARE(dialog.VerifyResult->text(), QStringLiteral("Сервер не указан."));
        dialog.Show(Unreachable());
        dialog.VerifyButton->click();
        QVERIFY(dialog.Verifying() && !dialog.VerifyButton->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.Verifying(), 30000);
        QVERIFY2(dialog.VerifyResult->text().startsWith(QStringLiteral("Сверка не выполнена: ")),
                 qPrintable(dialog.VerifyResult->text()));
        QVERIFY(dialog.VerifyButton->isEnabled());
    }

    void windowSourceChoice() {
        TArchiveWindow* w = OpenArchive();
        QVERIFY(!w->SourcePanel->isVisibleTo(w));
        Unreachable().Write(h_->IniPath());
        form_->actArchive->trigger();
        QVERIFY(w->SourcePanel->isVisibleTo(w));
        // The lab does not answer: said, nothing to mark or import, and
        // the next search tries again.
        w->SourceBox->setCurrentIndex(1);
        QCOMPARE(errors_.size(), 1);
        QVERIFY(w->StatusLabel->text().startsWith(QStringLiteral("Архив лаборатории недоступен.")));
        for (QPushButton* b : {w->ImportButton, w->MarkInvalidButton, w->ChartButton})
            QVERIFY(!b->isEnabled());
        w->FindButton->click();
        QCOMPARE(errors_.size(), 2);
        w->SourceBox->setCurrentIndex(0);
        QCOMPARE(w->Model->Archive(), static_cast<const TArchiveReader*>(form_->Doc.Archive()));
        QVERIFY(w->ImportButton->isEnabled());
        QCOMPARE(errors_.size(), 2);
    }
};

QTEST_MAIN(TstLabGui)
#include "tst_labgui.moc"
