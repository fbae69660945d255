#pragma once

#include <memory>

class TArchiveWindow;
class TLabUploader;
struct TFeatureHost;

// The lab server in the main window: "Архив лаборатории…" in the file menu
// after "Архив", and the upload's label in the status bar, kept up by the
// uploader's reports and a slow timer (a backlog turns amber as it ages).
// Everything it makes belongs to the host's window; settings applied reach
// uploader and the archive window, when open.
class TLabServerUi {
public:
    static constexpr int RejudgeMs = 30 * 1000;

    static void Install(const TFeatureHost& host, TLabUploader& uploader,
                        const std::unique_ptr<TArchiveWindow>& archive);
};
