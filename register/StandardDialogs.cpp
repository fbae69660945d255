#include "register/StandardDialogs.h"

#include "controls/TesmarAbout.h"
#include "register/ClGrid.h"
#include "register/PrintTable.h"
#include "register/Unit1.h"
#include "resources/MyConsts.h"
#include "resources/ProgramVersion.h"
#include "results/ResultsTable.h"

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

void TStandardDialogs::Install(TForm1& form) {
    // The dialogs live no longer than the window that owns them.
    TForm1* const self = &form;
    form.OpenDialog1 = [self](const QString& start) {
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
    form.SaveDialog1 = [self](const QString& start) {
        return WithDefaultSuffix(QFileDialog::getSaveFileName(
            self, MyConsts::sSaveAs, start, kFileFilter, nullptr,
            QFileDialog::DontConfirmOverwrite));
    };
    form.AskSaveData = [self] {
        // Escape and closing the box mean Cancel: a stray key loses nothing.
        return QMessageBox::question(self, QStringLiteral("Подтверждение"), MyConsts::sSaveData,
                                     QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                     QMessageBox::Yes);
    };
    form.AskRestore = [self](const QString& text) {
        return QMessageBox::question(self, QStringLiteral("Восстановление данных"), text,
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    };
    form.AskSaveOnClose = [self] {
        QMessageBox box(QMessageBox::NoIcon, MyConsts::sDataChanged, MyConsts::sSaveData,
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, self);
        box.setEscapeButton(QMessageBox::Cancel);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
    form.AskOpenWhilePolling = [self](const QString& fileName) {
        return QMessageBox::question(
            self, QStringLiteral("Подтверждение"),
            QStringLiteral("Опрос включён: новые измерения будут записываться в файл «%1».\n\n"
                           "Открыть этот файл?")
                .arg(QFileInfo(fileName).fileName()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    };
    form.AskReadAsUtf8 = [self](const QString& fileName) {
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
    form.ErrorBox = [self](const QString& caption, const QString& text) {
        QMessageBox::critical(self, caption, text);
    };
    form.StoppedBox = [self](const QString& caption, const QString& text) {
        self->LostBox.Show(self, caption, text);
    };
    form.ShowAbout = [self] {
        TfrmTAbout about(self);
        about.SetCaption(MyConsts::sAbout);
        about.SetProgName(MyConsts::sProgramTitle);
        about.SetVersion(ProgramVersion());
        about.SetSettingsPath(self->ConfigFilePath());
        about.SetCompanyName(MyConsts::sCompany);
        about.SetTel(MyConsts::sTelephone);
        about.exec();
    };
    form.AskPortName = [self](const QString& current) {
        return QInputDialog::getText(
            self, QStringLiteral("Другой порт"),
            QStringLiteral("Имя или путь порта (ttyUSB0, /dev/pts/3, /dev/serial/by-id/…, COM12):"),
            QLineEdit::Normal, current);
    };
    form.PrintCommand = [self] {
        PrintTableOnDefaultPrinter(self->MainGrid->font(), *self->Table(),
                                   self->Table()->RowCount() - 1, self->CurrentFileName());
    };
}

void TStandardDialogs::PrintPreview(QWidget* parent, const std::function<void(QPrinter&)>& paint) {
    QPrinter printer(QPrinter::HighResolution);
    QPrintPreviewDialog preview(&printer, parent);
    preview.setWindowTitle(QStringLiteral("Предварительный просмотр"));
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, parent,
                     [&paint](QPrinter* target) { paint(*target); });
    preview.exec();
}
