#include "archiveui/LabSettingsDialog.h"

#include "archive/Archive.h"
#include "archive/LabReconcile.h"
#include "archive/LabServer.h"
#include "controls/WaitCursor.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

namespace {

const QString kCaption = QStringLiteral("Архив лаборатории");

struct TSslChoice {
    const char* Mode;
    QString Text;
};

const std::array<TSslChoice, 3> kSslChoices{{
    {"disable", QStringLiteral("disable — без шифрования")},
    {"require", QStringLiteral("require — шифрование")},
    {"verify-full", QStringLiteral("verify-full — шифрование и проверка сервера")},
}};

} // namespace

TLabSettingsDialog::TLabSettingsDialog(const QString& configPath, QWidget* parent)
    : QDialog(parent), ConfigPath_(configPath) {
    setObjectName(QStringLiteral("LabSettingsDialog"));
    setWindowTitle(kCaption);
    ChooseCaFile = [this](const QString& current) {
        return QFileDialog::getOpenFileName(this, QStringLiteral("Сертификат центра сертификации"),
                                            current,
                                            QStringLiteral("Сертификаты (*.crt *.pem);;"
                                                           "Все файлы (*)"));
    };
    ErrorBox = [this](const QString& caption, const QString& text) {
        QMessageBox::critical(this, caption, text);
    };
    CreateControls();
    Show(TLabSettings::FromIni(ConfigPath_));
}

TLabSettingsDialog::~TLabSettingsDialog() {
    // The check ends by itself within the connect timeout; the
    // reconciliation at its next step.
    if (StopVerify_)
        StopVerify_->store(true);
    if (Tester_)
        Tester_->wait();
    if (Verifier_)
        Verifier_->wait();
}

void TLabSettingsDialog::CreateControls() {
    HostEdit = new QLineEdit(this);
    HostEdit->setPlaceholderText(QStringLiteral("пусто — архива лаборатории нет"));
    PortEdit = new QSpinBox(this);
    PortEdit->setRange(1, 65535);
    DatabaseEdit = new QLineEdit(this);
    UserEdit = new QLineEdit(this);
    SslModeBox = new QComboBox(this);
    for (const TSslChoice& c : kSslChoices)
        SslModeBox->addItem(c.Text, QString::fromLatin1(c.Mode));
    CaFileEdit = new QLineEdit(this);
    CaFileButton = new QPushButton(QStringLiteral("Выбрать…"), this);
    auto* caFile = new QHBoxLayout;
    caFile->addWidget(CaFileEdit, 1);
    caFile->addWidget(CaFileButton);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Сервер:"), HostEdit);
    form->addRow(QStringLiteral("Порт:"), PortEdit);
    form->addRow(QStringLiteral("База данных:"), DatabaseEdit);
    form->addRow(QStringLiteral("Пользователь:"), UserEdit);
    form->addRow(QStringLiteral("SSL:"), SslModeBox);
    form->addRow(QStringLiteral("Сертификат центра:"), caFile);

    PasswordNote = new QLabel(
        QStringLiteral("Пароль здесь не хранится. Его берёт библиотека PostgreSQL из файла "
                       "паролей ~/.pgpass (или файла, указанного в переменной PGPASSFILE), "
                       "по строке вида\n"
                       "сервер:порт:база:пользователь:пароль\n"
                       "(файл должен быть доступен только владельцу: chmod 600), "
                       "либо из файла служб, указанного в PGSERVICEFILE."),
        this);
    PasswordNote->setWordWrap(true);
    PasswordNote->setTextInteractionFlags(Qt::TextSelectableByMouse);

    TestButton = new QPushButton(QStringLiteral("Проверить соединение"), this);
    TestResult = new QLabel(this);
    TestResult->setWordWrap(true);
    TestResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* test = new QHBoxLayout;
    test->addWidget(TestButton);
    test->addWidget(TestResult, 1);

    VerifyButton = new QPushButton(QStringLiteral("Сверка с сервером"), this);
    VerifyButton->setToolTip(QStringLiteral("Сравнить архив этого компьютера с сервером по дням и "
                                            "отправить снова то, чего на сервере нет."));
    VerifyResult = new QLabel(this);
    VerifyResult->setWordWrap(true);
    VerifyResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* verify = new QHBoxLayout;
    verify->addWidget(VerifyButton, 0, Qt::AlignTop);
    verify->addWidget(VerifyResult, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    OkButton = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &TLabSettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TLabSettingsDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(PasswordNote);
    layout->addLayout(test);
    layout->addLayout(verify);
    layout->addWidget(buttons);

    connect(SslModeBox, &QComboBox::currentIndexChanged, this, [this] { UpdateCaFile(); });
    connect(CaFileButton, &QPushButton::clicked, this, [this] { CaFileExecute(); });
    connect(TestButton, &QPushButton::clicked, this, [this] { TestExecute(); });
    connect(VerifyButton, &QPushButton::clicked, this, [this] { VerifyExecute(); });
}

TLabSettings TLabSettingsDialog::Settings() const {
    TLabSettings s;
    s.Host = HostEdit->text().trimmed();
    s.Port = PortEdit->value();
    s.Database = DatabaseEdit->text().trimmed();
    s.User = UserEdit->text().trimmed();
    s.SslMode = SslModeBox->currentData().toString();
    s.CaFile = CaFileEdit->text().trimmed();
    return s;
}

void TLabSettingsDialog::Show(const TLabSettings& settings) {
    HostEdit->setText(settings.Host);
    PortEdit->setValue(settings.Port);
    DatabaseEdit->setText(settings.Database);
    UserEdit->setText(settings.User);
    SslModeBox->setCurrentIndex(std::max(0, SslModeBox->findData(settings.SslMode)));
    CaFileEdit->setText(settings.CaFile);
    UpdateCaFile();
}

void TLabSettingsDialog::UpdateCaFile() {
    const bool verify = SslModeBox->currentData().toString() == QLatin1String("verify-full");
    CaFileEdit->setEnabled(verify);
    CaFileButton->setEnabled(verify);
}

void TLabSettingsDialog::CaFileExecute() {
    const QString file = ChooseCaFile(CaFileEdit->text());
    if (!file.isEmpty())
        CaFileEdit->setText(QDir::toNativeSeparators(file));
}

void TLabSettingsDialog::TestExecute() {
    if (Tester_)
        return;
    const TLabSettings settings = Settings();
    if (!settings.Configured()) {
        TestDone(QStringLiteral("Сервер не указан."), false);
        return;
    }
    // On a thread of its own: an unreachable server takes the whole connect
    // timeout, and the window keeps being drawn meanwhile.
    auto result = std::make_shared<std::pair<QString, bool>>();
    Tester_.reset(QThread::create([settings, result] {
        result->first = TLabServer::TestConnection(settings, &result->second);
    }));
    connect(Tester_.get(), &QThread::finished, this, [this, result] {
        Tester_->wait();
        Tester_.reset();
        TestDone(result->first, result->second);
    });
    TestButton->setEnabled(false);
    TestResult->setStyleSheet(QString());
    TestResult->setText(QStringLiteral("Проверка…"));
    Wait_ = std::make_unique<TWaitCursor>();
    Tester_->start();
}

void TLabSettingsDialog::TestDone(const QString& text, bool ok) {
    Wait_.reset();
    TestButton->setEnabled(true);
    TestResult->setText(text);
    TestResult->setStyleSheet(ok ? QStringLiteral("color: #2e7d32;")
                                 : QStringLiteral("color: #c62828;"));
    TestResult->setProperty("ok", ok);
}

namespace {

enum TVerifyOutcome { VerifyMatched, VerifyDiffered, VerifyFailed };
// Lines of days the window shows; the command line shows every one.
constexpr int kShownDays = 20;

} // namespace

void TLabSettingsDialog::VerifyExecute() {
    if (Verifier_)
        return;
    const TLabSettings settings = Settings();
    if (!settings.Configured()) {
        VerifyDone(QStringLiteral("Сервер не указан."), VerifyFailed);
        return;
    }
    // On a thread of its own with connections of its own: a large archive
    // takes seconds, a server made again minutes, and the window stays live.
    struct TOutcome {
        QString Text;
        int Outcome = VerifyFailed;
    };
    auto outcome = std::make_shared<TOutcome>();
    StopVerify_ = std::make_shared<std::atomic<bool>>(false);
    const QString folder = ArchiveFolder;
    const std::shared_ptr<std::atomic<bool>> stop = StopVerify_;
    Verifier_.reset(QThread::create([this, settings, folder, stop, outcome] {
        // Progress goes to the window's thread; the dialog waits for this
        // thread before it goes, so it is there to take it.
        const auto progress = [this](const QString& text) {
            QMetaObject::invokeMethod(
                this, [this, text] { VerifyResult->setText(text); }, Qt::QueuedConnection);
        };
        try {
            TArchive archive(folder, false);
            TLabServer server(settings);
            const TReconcileResult result =
                TLabReconcile::Run(archive, server, settings.ServerId(), progress, stop.get());
            outcome->Text = result.Report(kShownDays);
            outcome->Outcome = result.Matched() ? VerifyMatched : VerifyDiffered;
        } catch (const std::exception& e) {
            outcome->Text = QStringLiteral("Сверка не выполнена: %1").arg(QString::fromUtf8(e.what()));
        }
    }));
    connect(Verifier_.get(), &QThread::finished, this, [this, outcome] {
        Verifier_->wait();
        Verifier_.reset();
        VerifyDone(outcome->Text, outcome->Outcome);
    });
    VerifyButton->setEnabled(false);
    VerifyResult->setStyleSheet(QString());
    VerifyResult->setText(QStringLiteral("Сверка…"));
    Verifier_->start();
}

void TLabSettingsDialog::VerifyDone(const QString& text, int outcome) {
    VerifyButton->setEnabled(true);
    VerifyResult->setText(text);
    VerifyResult->setStyleSheet(outcome == VerifyMatched    ? QStringLiteral("color: #2e7d32;")
                                : outcome == VerifyDiffered ? QStringLiteral("color: #b26a00;")
                                                            : QStringLiteral("color: #c62828;"));
    VerifyResult->setProperty("outcome", outcome);
}

void TLabSettingsDialog::accept() {
    const TLabSettings settings = Settings();
    try {
        settings.Write(ConfigPath_);
    } catch (const std::exception& e) {
        ErrorBox(kCaption, QString::fromUtf8(e.what()));
        return;
    }
    if (Applied)
        Applied(settings);
    QDialog::accept();
}
