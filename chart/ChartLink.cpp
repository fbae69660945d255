#include "chart/ChartLink.h"

#include "archive/Archive.h"
#include "archive/ArchiveRows.h"
#include "chart/ChartWindow.h"
#include "document/RegisterDocument.h"
#include "features/FeatureHost.h"

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QTableView>

void TChartLink::Install(const TFeatureHost& host) {
    // After the indicator entries, which are counted from 0 by their position.
    host.ViewMenu->addSeparator();
    host.ViewMenu->addAction(host.ChartAction);
    // After the form's own handler, which makes the window on first use.
    QObject::connect(host.ChartAction, &QAction::triggered, host.Window, [host] {
        TChartWindow* chart = host.Chart();
        if (!chart || chart->ArchiveSource)
            return;
        TRegisterDocument* doc = host.Doc;
        chart->ArchiveSource = [doc] { return doc->Archive(); };
        chart->CaptionSource = [host] { return Caption(host); };
        chart->ExcludedSource = [doc] { return InvalidRows(*doc); };
        chart->SetSettingsFile(host.ConfigPath);
        chart->Rebuild();
        QObject::connect(chart, &TChartWindow::pointChosen, host.Window, [host](int row) {
            if (row < 1 || row >= host.Doc->Table().RowCount())
                return;
            // The view shows table row r as its row r - 1 (row 0 is the header).
            host.Grid->setCurrentIndex(host.Grid->model()->index(row - 1, 0));
            host.Grid->selectRow(row - 1);
        });
    });
}

TChartCaption TChartLink::Caption(const TFeatureHost& host) {
    TChartCaption caption;
    caption.Source = QDir::toNativeSeparators(host.Doc->FileName());
    caption.Instrument =
        InstrumentText(host.DeviceNumber(), host.PortName(), TArchive::ThisComputer());
    return caption;
}

std::map<int, QString> TChartLink::InvalidRows(TRegisterDocument& doc) {
    TArchive* archive = doc.Archive();
    if (!archive)
        return {};
    try {
        return TArchiveRows::InvalidRows(doc.Table(), archive->InvalidMeasurements(), doc.Cycle());
    } catch (const std::exception& e) {
        qWarning("%s", e.what()); // the chart is still drawn, with every point counted
        return {};
    }
}
