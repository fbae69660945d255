#pragma once

#include "chart/ChartWindow.h"
#include "qc/ControlChart.h"

#include <map>

struct TFeatureHost;
class TRegisterDocument;

// Ties the main window's chart to the rest of the register: the archive that
// keeps fixed limits, the facts under an exported picture, the settings file
// remembering the last indicator and sample, and a point chosen in the rule
// list selecting its row in the table.
class TChartLink {
public:
    static void Install(const TFeatureHost& host);
    // The results file and the instrument the table is measured with.
    static TChartCaption Caption(const TFeatureHost& host);
    // The table's rows whose measurement the archive marks invalid.
    static std::map<int, QString> InvalidRows(TRegisterDocument& doc);
};
