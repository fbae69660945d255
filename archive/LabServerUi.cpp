#include "archive/LabServerUi.h"

#include "archive/ArchiveWindow.h"
#include "archive/LabSettingsDialog.h"
#include "archive/LabStatusView.h"
#include "archive/LabUploader.h"
#include "register/LinkStatusBar.h"
#include "register/Unit1.h"

#include <QAction>
#include <QMenu>
#include <QTimer>

#include <memory>

void TLabServerUi::Install(TForm1& form) {
    auto* action = new QAction(QStringLiteral("Архив лаборатории…"), &form);
    action->setObjectName(QStringLiteral("actLabServer"));
    form.mnFile->addAction(action);
    QObject::connect(action, &QAction::triggered, &form, [&form] {
        for (TLabSettingsDialog* open : form.findChildren<TLabSettingsDialog*>())
            if (open->isVisible()) {
                open->raise();
                open->activateWindow();
                return;
            }
        auto* dialog = new TLabSettingsDialog(form.ConfigFilePath(), &form);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->ArchiveFolder = form.Doc.Recovery().Folder();
        dialog->Applied = [&form](const TLabSettings& settings) {
            form.Uploader->Configure(settings);
            if (form.ArchiveWindow)
                form.ArchiveWindow->Reopen();
        };
        dialog->open();
    });

    // The last report, judged again as time passes: no report comes while a
    // backlog merely ages.
    auto last = std::make_shared<TUploadStatus>(form.Uploader->Status());
    const auto show = [&form, last] {
        form.StatusBar1->ShowLab(TLabStatusView::Of(*last, QDateTime::currentDateTime()));
    };
    show();
    QObject::connect(form.Uploader.get(), &TLabUploader::StatusChanged, form.StatusBar1,
                     [last, show](const TUploadStatus& status) {
                         *last = status;
                         show();
                     });
    auto* timer = new QTimer(form.StatusBar1);
    timer->setObjectName(QStringLiteral("LabStatusTimer"));
    QObject::connect(timer, &QTimer::timeout, form.StatusBar1, show);
    timer->start(RejudgeMs);
}
