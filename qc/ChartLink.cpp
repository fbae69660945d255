#include "qc/ChartLink.h"

#include "analyser/OpSavro.h"
#include "archive/Archive.h"
#include "archive/ArchiveRows.h"
#include "controls/numedit.h"
#include "register/ChartWindow.h"
#include "register/ClGrid.h"
#include "register/Unit1.h"

#include <QAction>
#include <QDir>
#include <QMenu>

void TChartLink::Install(TForm1& form) {
    // After the indicator entries, which are counted from 0 by their position.
    form.mnView->addSeparator();
    form.mnView->addAction(form.actChart);
    // After the form's own handler, which makes the window on first use.
    QObject::connect(form.actChart, &QAction::triggered, &form, [&form] {
        TChartWindow* chart = form.ChartWindow;
        if (!chart || chart->ArchiveSource)
            return;
        chart->ArchiveSource = [&form] { return form.Doc.Archive(); };
        chart->CaptionSource = [&form] { return Caption(form); };
        chart->ExcludedSource = [&form] { return InvalidRows(form); };
        chart->SetSettingsFile(form.ConfigFilePath());
        chart->Rebuild();
        QObject::connect(chart, &TChartWindow::pointChosen, &form, [&form](int row) {
            if (row < 1 || row >= form.Table()->RowCount())
                return;
            // The view shows table row r as its row r - 1 (row 0 is the header).
            form.MainGrid->setCurrentIndex(form.MainGrid->model()->index(row - 1, 0));
            form.MainGrid->selectRow(row - 1);
        });
    });
}

TChartCaption TChartLink::Caption(TForm1& form) {
    TChartCaption caption;
    caption.Source = QDir::toNativeSeparators(form.Doc.FileName());
    caption.Instrument = InstrumentText(quint16(qRound(form.NumberEdit1->Value())),
                                        form.OpSavro1->Port, TArchive::ThisComputer());
    return caption;
}

std::map<int, QString> TChartLink::InvalidRows(TForm1& form) {
    TArchive* archive = form.Doc.Archive();
    if (!archive)
        return {};
    try {
        return TArchiveRows::InvalidRows(*form.Table(), archive->InvalidMeasurements(),
                                         form.Doc.Cycle());
    } catch (const std::exception& e) {
        qWarning("%s", e.what()); // the chart is still drawn, with every point counted
        return {};
    }
}
