#pragma once

#include <functional>

class QPrinter;
class QWidget;
class TForm1;

// The dialogs and boxes the operator sees; tests replace them with answers.
class TStandardDialogs {
public:
    // Puts the ordinary dialogs into the window's dialog members.
    static void Install(TForm1& form);
    // Shows the pages paint draws; the preview's own button prints them or
    // saves them as PDF.
    static void PrintPreview(QWidget* parent, const std::function<void(QPrinter&)>& paint);
};
