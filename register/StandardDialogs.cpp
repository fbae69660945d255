#include "register/StandardDialogs.h"

#include "controls/TesmarAbout.h"
#include "register/LinkLostBox.h"
#include "resources/MyConsts.h"
#include "resources/ProgramVersion.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>

namespace {

const QString kFileFilter = QStringLiteral("text files (.txt) (*.txt)");

QString WithDefaultSuffix(const QString& name) {
    if (name.isEmpty() || !QFileInfo(name).suffix().isEmpty())
        return name;
    return name + QStringLiteral(".txt");
}

} // namespace

void TStandardDialogs::InstallDialogs(QWidget* window, TLinkLostBox& lostBox,
                                      std::function<QString()> configPath,
                                      std::function<void()> print) {
    // The dialogs live no longer than the window that owns them.
    QWidget* const self = window;
    OpenDialog1 = [self](const QString& start) {
        // getOpenFileName refuses names of files that do not exist and adds
        // the suffix too late; typing a new name must open an empty table.
        const QFileInfo current(start);
        QFileDialog dialog(self, MyConsts::sOpen,
                           start.isEmpty() ? QString() : current.absolutePath(), kFileFilter);
        dialog.setObjectName(QStringLiteral("OpenDialog1"));
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        dialog.selectFile(current.fileName());
        if (dialog.exec() != QDialog::Accepted)
            return QString();
        return dialog.selectedFiles().value(0);
    };
    SaveDialog1 = [self](const QString& start) {
        return WithDefaultSuffix(QFileDialog::getSaveFileName(
            self, MyConsts::sSaveAs, start, kFileFilter, nullptr,
            QFileDialog::DontConfirmOverwrite));
    };
    AskSaveData = [self] {
        // Escape and closing the box mean Cancel: a stray key loses nothing.
        return QMessageBox::question(self, QStringLiteral("Подтверждение"), MyConsts::sSaveData,
                                     QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                     QMessageBox::Yes);
    };
    AskRestore = [self](const QString& text) {
        return QMessageBox::question(self, QStringLiteral("Восстановление данных"), text,
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    };
    AskSaveOnClose = [self] {
        QMessageBox box(QMessageBox::NoIcon, MyConsts::sDataChanged, MyConsts::sSaveData,
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, self);
        box.setEscapeButton(QMessageBox::Cancel);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
    AskOpenWhilePolling = [self](const QString& fileName) {
        return QMessageBox::question(
            self, QStringLiteral("Подтверждение"),
            QStringLiteral("Опрос включён: новые измерения будут записываться в файл «%1».\n\n"
                           "Открыть этот файл?")
                .arg(QFileInfo(fileName).fileName()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    };
    AskReadAsUtf8 = [self](const QString& fileName) {
        return QMessageBox::question(
            self, QStringLiteral("Кодировка файла"),
            QStringLiteral("Файл «%1» записан в кодировке UTF-8, а не Windows-1251, в которой "
                           "программа читает и сохраняет файлы результатов.\n\n"
                           "Прочитать его как UTF-8? Знаки, которых нет в Windows-1251, будут "
                           "пропущены; сохранён файл будет в Windows-1251.\n\n"
                           "«Нет» — прочитать как Windows-1251.")
                .arg(QFileInfo(fileName).fileName()),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    };
    ErrorBox = [self](const QString& caption, const QString& text) {
        QMessageBox::critical(self, caption, text);
    };
    StoppedBox = [self, &lostBox](const QString& caption, const QString& text) {
        lostBox.Show(self, caption, text);
    };
    ShowAbout = [self, configPath] {
        TfrmTAbout about(self);
        about.SetCaption(MyConsts::sAbout);
        about.SetProgName(MyConsts::sProgramTitle);
        about.SetVersion(ProgramVersion());
        about.SetSettingsPath(configPath());
        about.SetCompanyName(MyConsts::sCompany);
        about.SetTel(MyConsts::sTelephone);
        about.exec();
    };
    AskPortName = [self](const QString& current) {
        return QInputDialog::getText(
            self, QStringLiteral("Другой порт"),
            QStringLiteral("Имя или путь порта (ttyUSB0, /dev/pts/3, /dev/serial/by-id/…, COM12):"),
            QLineEdit::Normal, current);
    };
    PrintCommand = std::move(print);
}

void TStandardDialogs::PrintPreview(QWidget* parent, const std::function<void(QPrinter&)>& paint) {
    QPrinter printer(QPrinter::HighResolution);
    QPrintPreviewDialog preview(&printer, parent);
    preview.setWindowTitle(QStringLiteral("Предварительный просмотр"));
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, parent,
                     [&paint](QPrinter* target) { paint(*target); });
    preview.exec();
}
