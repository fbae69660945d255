#include "archiveui/LabServerUi.h"

#include "archive/LabUploader.h"
#include "archiveui/ArchiveWindow.h"
#include "archiveui/LabSettingsDialog.h"
#include "document/RegisterDocument.h"
#include "features/FeatureHost.h"
#include "link/LabStatusView.h"

#include <QAction>
#include <QMenu>
#include <QTimer>

#include <memory>

void TLabServerUi::Install(const TFeatureHost& host, TLabUploader& uploader,
                           const std::unique_ptr<TArchiveWindow>& archive) {
    auto* action = new QAction(QStringLiteral("Архив лаборатории…"), host.Window);
    action->setObjectName(QStringLiteral("actLabServer"));
    host.FileMenu->addAction(action);
    QObject::connect(action, &QAction::triggered, host.Window, [host, &uploader, &archive] {
        for (TLabSettingsDialog* open : host.Window->findChildren<TLabSettingsDialog*>())
            if (open->isVisible()) {
                open->raise();
                open->activateWindow();
                return;
            }
        auto* dialog = new TLabSettingsDialog(host.ConfigPath, host.Window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->ArchiveFolder = host.Doc->Recovery().Folder();
        dialog->Applied = [&uploader, &archive](const TLabSettings& settings) {
            uploader.Configure(settings);
            if (archive)
                archive->Reopen();
        };
        dialog->open();
    });

    // The last report, judged again as time passes: no report comes while a
    // backlog merely ages.
    auto last = std::make_shared<TUploadStatus>(uploader.Status());
    const auto show = [host, last] {
        host.ShowLab(TLabStatusView::Of(*last, QDateTime::currentDateTime()));
    };
    show();
    QObject::connect(&uploader, &TLabUploader::StatusChanged, host.Window,
                     [last, show](const TUploadStatus& status) {
                         *last = status;
                         show();
                     });
    auto* timer = new QTimer(host.Window);
    timer->setObjectName(QStringLiteral("LabStatusTimer"));
    QObject::connect(timer, &QTimer::timeout, host.Window, show);
    timer->start(RejudgeMs);
}
