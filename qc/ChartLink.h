#pragma once

#include "register/ChartWindow.h"
#include "register/ControlChart.h"

#include <map>

class TForm1;

// Ties the main window's chart to the rest of the register: the archive that
// keeps fixed limits, the facts under an exported picture, the settings file
// remembering the last indicator and sample, and a point chosen in the rule
// list selecting its row in the table.
class TChartLink {
public:
    static void Install(TForm1& form);
    // The results file and the instrument the table is measured with.
    static TChartCaption Caption(TForm1& form);
    // The table's rows whose measurement the archive marks invalid.
    static std::map<int, QString> InvalidRows(TForm1& form);
};
