#pragma once

#include "archive/LabSettings.h"

#include <QDialog>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QThread;
class TWaitCursor;

// "Архив лаборатории": where the lab's PostgreSQL server is, a check of the
// connection, a reconciliation of this computer's archive with it ("Сверка
// с сервером"), and on OK the [LabServer] keys written and handed to Applied.
// The password stays with libpq (its password or service file).
class TLabSettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit TLabSettingsDialog(const QString& configPath, QWidget* parent = nullptr);
    ~TLabSettingsDialog() override; // stops a reconciliation, waits for the checks

    QLineEdit* HostEdit = nullptr;
    QSpinBox* PortEdit = nullptr;
    QLineEdit* DatabaseEdit = nullptr;
    QLineEdit* UserEdit = nullptr;
    QComboBox* SslModeBox = nullptr;
    QLineEdit* CaFileEdit = nullptr;
    QPushButton* CaFileButton = nullptr;
    QLabel* PasswordNote = nullptr;
    QPushButton* TestButton = nullptr;
    QLabel* TestResult = nullptr;
    QPushButton* VerifyButton = nullptr;
    QLabel* VerifyResult = nullptr;
    QPushButton* OkButton = nullptr;

    // The profile's archive, for the reconciliation.
    QString ArchiveFolder;

    // After OK wrote the settings: the uploader takes them.
    std::function<void(const TLabSettings& settings)> Applied;
    // The operator's side; tests put answers in here.
    std::function<QString(const QString& current)> ChooseCaFile; // empty: cancelled
    std::function<void(const QString& caption, const QString& text)> ErrorBox;

    // What the fields say.
    TLabSettings Settings() const;
    void Show(const TLabSettings& settings);
    // Whether a check of the connection is under way.
    bool Testing() const { return Tester_ != nullptr; }
    bool Verifying() const { return Verifier_ != nullptr; }

    void accept() override;
    void TestExecute();
    void VerifyExecute();
    void CaFileExecute();

private:
    void CreateControls();
    void UpdateCaFile();
    void TestDone(const QString& text, bool ok);
    void VerifyDone(const QString& text, int outcome);

    QString ConfigPath_;
    std::unique_ptr<QThread> Tester_;
    std::unique_ptr<QThread> Verifier_;
    // Set by the window's thread, read by the reconciliation's between steps.
    std::shared_ptr<std::atomic<bool>> StopVerify_;
    std::unique_ptr<TWaitCursor> Wait_;
};
