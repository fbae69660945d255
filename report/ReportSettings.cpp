#include "report/ReportSettings.h"

#include "config/iniplus.h"

namespace {

const QString kReport = QStringLiteral("Report");
const QString kLaboratory = QStringLiteral("Laboratory");

} // namespace

void TReportSettings::Read(const QString& path) {
    Laboratory = TIniPlus(path).ReadText(kReport, kLaboratory, QString()).trimmed();
}

void TReportSettings::Write(const QString& path) const {
    TIniPlus ini(path);
    ini.WriteText(kReport, kLaboratory, Laboratory.simplified());
}
