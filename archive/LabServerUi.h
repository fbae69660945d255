#pragma once

class TForm1;

// The lab server in the main window: "Архив лаборатории…" in the file menu
// after "Архив", and the upload's label in the status bar, kept up by the
// uploader's reports and a slow timer (a backlog turns amber as it ages).
// Everything it makes belongs to the window.
class TLabServerUi {
public:
    static constexpr int RejudgeMs = 30 * 1000;

    static void Install(TForm1& form);
};
