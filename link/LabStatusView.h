#pragma once

#include "archive/LabUploader.h"
#include "link/LinkStatus.h"

#include <QDateTime>
#include <QString>

// The lab server's label in the status bar for an upload status at a time:
// hidden while no server is configured, amber while the oldest unsent
// measurement waits too long, red when the server refused. No widgets.
struct TLabStatusView {
    bool Visible = false;
    QString Text;
    TLinkColour Colour = TLinkColour::Plain;
    QString ToolTip;

    static TLabStatusView Of(const TUploadStatus& status, const QDateTime& now);
};
