#include "archive/ArchiveModel.h"
#include "archive/ArchiveWindow.h"
#include "archive/LabServer.h"
#include "archive/LabSettingsDialog.h"
#include "archive/LabStatusView.h"
#include "archive/LabUploader.h"
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
#include <QTimer>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(TUploadStatus::TState)
Q_DECLARE_METATYPE(TLinkColour)

namespace {

const QDateTime kNow(QDate(2026, 6, 1), QTime(12, 0));

// A lab server nobody answers on: a port just freed on loopback.
TLabSettings Unreachable() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    TLabSettings s;
    s.Host = QStringLiteral("127.0.0.1");
    s.Port = probe.serverPort();
    s.Database = QStringLiteral("lab");
    s.User = QStringLiteral("manager");
    s.SslMode = QStringLiteral("disable");
    return s;
}

} // namespace

class TstLabGui : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> h_;
    std::unique_ptr<TForm1> form_;

    QAction* LabAction() { return form_->findChild<QAction*>(QStringLiteral("actLabServer")); }

private slots:
    void init() {
        h_ = std::make_unique<TFormHarness>();
        QVERIFY(h_->IsValid());
        form_ = h_->MakeForm();
    }

    void cleanup() {
        form_.reset();
        h_.reset();
    }

    void statusText_data() {
        QTest::addColumn<TUploadStatus::TState>("state");
        QTest::addColumn<int>("oldestAgoS"); // -1: no time
        QTest::addColumn<bool>("visible");
        QTest::addColumn<QString>("text");
        QTest::addColumn<TLinkColour>("colour");
        QTest::addColumn<QString>("tip"); // a part of it
        const QString unsent = QStringLiteral("Архив лаборатории: не отправлено: 7");
        QTest::newRow("off") << TUploadStatus::Off << -1 << false << QString() << TLinkColour::Plain
                             << QString();
        QTest::newRow("sent") << TUploadStatus::Sent << -1 << true
                              << QStringLiteral("Архив лаборатории: отправлено") << TLinkColour::Plain
                              << QStringLiteral("Все измерения");
        QTest::newRow("unsent, fresh") << TUploadStatus::Unsent << 60 << true << unsent
                                       << TLinkColour::Plain << QStringLiteral("01.06.2026 11:59");
        QTest::newRow("unsent, 10 min") << TUploadStatus::Unsent << 600 << true << unsent
                                        << TLinkColour::Plain << QStringLiteral("ждут отправки");
        QTest::newRow("unsent, over 10 min") << TUploadStatus::Unsent << 601 << true << unsent
                                             << TLinkColour::Amber << QStringLiteral("дольше 10 минут");
        QTest::newRow("unsent, no time") << TUploadStatus::Unsent << -1 << true << unsent
                                         << TLinkColour::Plain << QStringLiteral(": 7.");
        QTest::newRow("refused") << TUploadStatus::Refused << 3600 << true
                                 << QStringLiteral("Архив лаборатории: отказ") << TLinkColour::Red
                                 << QStringLiteral("password authentication failed");
    }

    void statusText() {
        QFETCH(TUploadStatus::TState, state);
        QFETCH(int, oldestAgoS);
        QFETCH(bool, visible);
        QFETCH(QString, text);
        QFETCH(TLinkColour, colour);
        QFETCH(QString, tip);
        TUploadStatus status;
        status.State = state;
        status.Backlog = 7;
        if (oldestAgoS >= 0)
            status.OldestUnsent = kNow.addSecs(-oldestAgoS);
        status.Reason = QStringLiteral("password authentication failed for user \"bench\"");
        const TLabStatusView view = TLabStatusView::Of(status, kNow);
        QCOMPARE(view.Visible, visible);
        QCOMPARE(view.Text, text);
        QCOMPARE(view.Colour, colour);
        QVERIFY2(view.ToolTip.contains(tip, Qt::CaseInsensitive), qPrintable(view.ToolTip));
    }

    void statusBarFollowsTheUploader() {
        QLabel* label = form_->StatusBar1->LabLabel;
        QVERIFY(!label->isVisibleTo(form_.get())); // no lab server
        auto* timer = form_->findChild<QTimer*>(QStringLiteral("LabStatusTimer"));
        QVERIFY(timer && timer->isActive());

        TUploadStatus status;
        status.State = TUploadStatus::Unsent;
        status.Backlog = 12;
        status.OldestUnsent = QDateTime::currentDateTime().addSecs(-3600);
        emit form_->Uploader->StatusChanged(status);
        QVERIFY(label->isVisibleTo(form_.get()));
        QCOMPARE(label->text(), QStringLiteral("Архив лаборатории: не отправлено: 12"));
        QCOMPARE(label->property("linkColour").toInt(), int(TLinkColour::Amber));

        status.State = TUploadStatus::Refused;
        status.Reason = QStringLiteral("нет прав на таблицу measurement");
        emit form_->Uploader->StatusChanged(status);
        QCOMPARE(label->property("linkColour").toInt(), int(TLinkColour::Red));
        QVERIFY(label->toolTip().contains(status.Reason));

        emit form_->Uploader->StatusChanged(TUploadStatus{});
        QVERIFY(!label->isVisibleTo(form_.get()));
    }

    void dialogReadsAndWritesTheSettings() {
        TLabSettings stored = Unreachable();
        stored.SslMode = QStringLiteral("verify-full");
        stored.CaFile = QStringLiteral("/etc/lab/ca.crt");
        stored.Write(h_->IniPath());

        QVERIFY(LabAction());
        const QList<QAction*> file = form_->mnFile->actions();
        QCOMPARE(file.indexOf(LabAction()), file.indexOf(form_->actArchive) + 1);
        LabAction()->trigger();
        auto* dialog = form_->findChild<TLabSettingsDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->Settings(), stored);
        QCOMPARE(dialog->HostEdit->text(), stored.Host);
        QVERIFY(dialog->PasswordNote->text().contains(QStringLiteral("~/.pgpass")));
        QVERIFY(dialog->PasswordNote->text().contains(QStringLiteral("PGPASSFILE")));
        QVERIFY(dialog->PasswordNote->text().contains(QStringLiteral("PGSERVICEFILE")));
        QVERIFY(dialog->PasswordNote->text().contains(
            QStringLiteral("сервер:порт:база:пользователь:пароль")));
        LabAction()->trigger(); // the same dialog again
        QCOMPARE(form_->findChildren<TLabSettingsDialog*>().size(), 1);

        dialog->HostEdit->setText(QStringLiteral(" lab.example "));
        dialog->PortEdit->setValue(6432);
        dialog->DatabaseEdit->setText(QStringLiteral("savro2_lab"));
        dialog->UserEdit->setText(QStringLiteral("bench3"));
        dialog->SslModeBox->setCurrentIndex(dialog->SslModeBox->findData(QStringLiteral("require")));
        std::optional<TLabSettings> applied;
        dialog->Applied = [&](const TLabSettings& s) { applied = s; };
        dialog->OkButton->click();

        TLabSettings expected = stored;
        expected.Host = QStringLiteral("lab.example");
        expected.Port = 6432;
        expected.Database = QStringLiteral("savro2_lab");
        expected.User = QStringLiteral("bench3");
        expected.SslMode = QStringLiteral("require");
        QCOMPARE(TLabSettings::FromIni(h_->IniPath()), expected);
        QVERIFY(applied);
        QCOMPARE(*applied, expected);
        QTRY_VERIFY_WITH_TIMEOUT(!form_->findChild<TLabSettingsDialog*>(), 10000); // closed, freed
    }

    void okTurnsTheLabServerOnAndOff() {
        form_->actArchive->trigger();
        TArchiveWindow* w = form_->ArchiveWindow.get();
        QVERIFY(!w->SourcePanel->isVisibleTo(w));
        for (const QString& host : {QStringLiteral("127.0.0.1"), QString()}) {
            QTRY_VERIFY_WITH_TIMEOUT(!form_->findChild<TLabSettingsDialog*>(), 10000);
            LabAction()->trigger();
            auto* dialog = form_->findChild<TLabSettingsDialog*>();
            QVERIFY(dialog);
            dialog->HostEdit->setText(host);
            dialog->OkButton->click();
            QCOMPARE(TLabSettings::FromIni(h_->IniPath()).Configured(), !host.isEmpty());
            // The open archive window offers the lab at once, or no more.
            QCOMPARE(w->SourcePanel->isVisibleTo(w), !host.isEmpty());
        }
    }

    void caFileOnlyForVerifyFull_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("disable") << QStringLiteral("disable") << false;
        QTest::newRow("require") << QStringLiteral("require") << false;
        QTest::newRow("verify-full") << QStringLiteral("verify-full") << true;
    }

    void caFileOnlyForVerifyFull() {
        QFETCH(QString, mode);
        QFETCH(bool, enabled);
        TLabSettingsDialog dialog(h_->IniPath());
        dialog.SslModeBox->setCurrentIndex(dialog.SslModeBox->findData(mode));
        QCOMPARE(dialog.Settings().SslMode, mode);
        QCOMPARE(dialog.CaFileEdit->isEnabled(), enabled);
        QCOMPARE(dialog.CaFileButton->isEnabled(), enabled);
        if (!enabled)
            return;
        QString offered;
        dialog.ChooseCaFile = [&](const QString& current) {
            offered = current;
            return QStringLiteral("/srv/ca/lab-root.pem");
        };
        dialog.CaFileEdit->setText(QStringLiteral("/old.pem"));
        dialog.CaFileButton->click();
        QCOMPARE(offered, QStringLiteral("/old.pem"));
        QCOMPARE(dialog.Settings().CaFile, QStringLiteral("/srv/ca/lab-root.pem"));
    }

    void checkRunsAsideAndShowsTheAnswer() {
        TLabSettingsDialog dialog(h_->IniPath());
        dialog.TestButton->click(); // no server given: nothing to connect to
        QVERIFY(!dialog.Testing());
        QCOMPARE(dialog.TestResult->text(), QStringLiteral("Сервер не указан."));

        const TLabSettings settings = Unreachable();
        dialog.Show(settings);
        bool ok = true;
        const QString expected = TLabServer::TestConnection(settings, &ok);
        dialog.TestButton->click();
        QVERIFY(dialog.Testing());
        QVERIFY(!dialog.TestButton->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.Testing(), 30000);
        QCOMPARE(dialog.TestResult->text(), expected);
        QCOMPARE(dialog.TestResult->property("ok").toBool(), ok);
        QVERIFY(dialog.TestButton->isEnabled());
        // Closed while a check runs: the check is waited for.
        auto closing = std::make_unique<TLabSettingsDialog>(h_->IniPath());
        closing->Show(settings);
        closing->TestButton->click();
        closing.reset();
    }

    void dialogKeepsAValueTheFileCannotHold() {
        TLabSettingsDialog dialog(h_->IniPath());
        QStringList errors;
        dialog.ErrorBox = [&](const QString&, const QString& text) { errors << text; };
        bool applied = false;
        dialog.Applied = [&](const TLabSettings&) { applied = true; };
        dialog.show();
        dialog.HostEdit->setText(QStringLiteral("lab"));
        dialog.UserEdit->setText(QStringLiteral("実験室")); // outside code page 1251
        dialog.OkButton->click();
        QCOMPARE(errors.size(), 1);
        QVERIFY(!applied);
        QVERIFY(dialog.isVisible());
    }

    void windowSourceChoice() {
        QStringList errors;
        form_->actArchive->trigger();
        TArchiveWindow* w = form_->ArchiveWindow.get();
        QVERIFY(w);
        w->ErrorBox = [&](const QString&, const QString& text) { errors << text; };
        QVERIFY(!w->SourcePanel->isVisibleTo(w)); // no lab server
        QVERIFY(w->ImportButton->isEnabled());

        Unreachable().Write(h_->IniPath());
        form_->actArchive->trigger();
        QVERIFY(w->SourcePanel->isVisibleTo(w));
        QCOMPARE(w->SourceBox->currentText(), QStringLiteral("этот компьютер"));

        // The lab's server does not answer: said, and nothing breaks.
        w->SourceBox->setCurrentIndex(1);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].contains(QStringLiteral("архиву лаборатории")), qPrintable(errors[0]));
        QVERIFY(w->StatusLabel->text().startsWith(QStringLiteral("Архив лаборатории недоступен.")));
        QVERIFY(!w->Model->Archive());
        for (QPushButton* b : {w->ImportButton, w->MarkInvalidButton, w->ClearMarkButton,
                               w->ChartButton, w->ExportButton})
            QVERIFY2(!b->isEnabled(), qPrintable(b->text()));
        QVERIFY(w->FindButton->isEnabled()); // tries again
        w->FindButton->click();
        QCOMPARE(errors.size(), 2);

        w->SourceBox->setCurrentIndex(0);
        QCOMPARE(w->Model->Archive(), static_cast<const TArchiveReader*>(form_->Doc.Archive()));
        QVERIFY(w->ImportButton->isEnabled());
        QVERIFY(w->StatusLabel->text().startsWith(QStringLiteral("Измерений:")));

        // The lab server dropped from the settings: the choice goes.
        TLabSettings off;
        off.Write(h_->IniPath());
        w->Reopen();
        QVERIFY(!w->SourcePanel->isVisibleTo(w));
        QCOMPARE(errors.size(), 2);
    }
};

QTEST_MAIN(TstLabGui)
#include "tst_labgui.moc"
