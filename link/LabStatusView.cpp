#include "link/LabStatusView.h"

TLabStatusView TLabStatusView::Of(const TUploadStatus& status, const QDateTime& now) {
    TLabStatusView view;
    switch (status.State) {
    case TUploadStatus::Off:
        return view;
    case TUploadStatus::Sent:
        view.Text = QStringLiteral("Архив лаборатории: отправлено");
        view.ToolTip = QStringLiteral("Все измерения этого компьютера есть в архиве лаборатории.");
        break;
    case TUploadStatus::Unsent:
        // Only name changes or marks may be waiting: no count of measurements then.
        view.Text = status.Backlog > 0
                        ? QStringLiteral("Архив лаборатории: не отправлено: %1").arg(status.Backlog)
                        : QStringLiteral("Архив лаборатории: не отправлены изменения");
        view.ToolTip = status.Backlog > 0
                           ? QStringLiteral("Ждут отправки в архив лаборатории: %1.").arg(status.Backlog)
                           : QStringLiteral("Ждут отправки изменения имён проб и отметки.");
        if (status.OldestUnsent.isValid())
            view.ToolTip +=
                QStringLiteral("\nСамое раннее получено %1.")
                    .arg(status.OldestUnsent.toString(QStringLiteral("dd.MM.yyyy HH:mm")));
        if (status.Late(now)) {
            view.Colour = TLinkColour::Amber;
            view.ToolTip += QStringLiteral("\nОно ждёт дольше %1 минут.")
                                .arg(TUploadStatus::AmberAfterMs / 60000);
        }
        break;
    case TUploadStatus::Unchecked:
        view.Text = QStringLiteral("Архив лаборатории: не сверено");
        view.ToolTip = QStringLiteral("Сервер лаборатории ещё не подтвердил, что у него есть всё "
                                      "отправленное раньше.");
        if (!status.Reason.isEmpty())
            view.ToolTip += QStringLiteral("\n%1").arg(status.Reason);
        break;
    case TUploadStatus::Refused:
        view.Text = QStringLiteral("Архив лаборатории: отказ");
        view.Colour = TLinkColour::Red;
        view.ToolTip = status.Reason.isEmpty()
                           ? QStringLiteral("Сервер лаборатории отказал.")
                           : QStringLiteral("Сервер лаборатории отказал: %1").arg(status.Reason);
        break;
    }
    view.Visible = true;
    return view;
}
