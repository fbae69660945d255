#include "reportui/ReportDialog.h"

#include "archive/ArchiveSettings.h"
#include "config/Cp1251.h"
#include "controls/WaitCursor.h"
#include "document/RegisterDocument.h"
#include "features/FeatureHost.h"
#include "report/Report.h"
#include "report/ReportPainter.h"
#include "report/ReportSettings.h"
#include "results/ResultsTable.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kCaption = QStringLiteral("Отчёт");

} // namespace

TReportDialog::TReportDialog(const TReportRequest& start, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ReportDialog"));
    setWindowTitle(kCaption);
    LaboratoryEdit = new QLineEdit(start.Laboratory, this);
    LaboratoryEdit->setObjectName(QStringLiteral("LaboratoryEdit"));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Лаборатория:"), LaboratoryEdit);

    auto* indicators = new QGroupBox(QStringLiteral("Показатели"), this);
    auto* grid = new QGridLayout(indicators);
    const int count = int(start.IndicatorTitles.size());
    const int rows = (count + 2) / 3;
    for (int k = 0; k < count; ++k) {
        auto* box = new QCheckBox(start.IndicatorTitles[k], indicators);
        box->setChecked(std::find(start.Indicators.begin(), start.Indicators.end(), k) !=
                        start.Indicators.end());
        grid->addWidget(box, k % rows, k / rows);
        IndicatorBoxes.push_back(box);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));
    PdfButton = buttons->addButton(QStringLiteral("Сохранить PDF…"), QDialogButtonBox::AcceptRole);
    PrintButton = buttons->addButton(QStringLiteral("Печать…"), QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(PdfButton, &QPushButton::clicked, this, [this] { done(1); });
    connect(PrintButton, &QPushButton::clicked, this, [this] { done(2); });

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(indicators);
    layout->addWidget(buttons);
}

TReportRequest TReportDialog::Chosen(const TReportRequest& start) const {
    TReportRequest request = start;
    request.Laboratory = LaboratoryEdit->text().simplified();
    request.Indicators.clear();
    for (int k = 0; k < int(IndicatorBoxes.size()); ++k)
        if (IndicatorBoxes[size_t(k)]->isChecked())
            request.Indicators.push_back(k);
    return request;
}

std::optional<TReportRequest> TReportDialog::Ask(QWidget* parent, const TReportRequest& start) {
    TReportDialog dialog(start, parent);
    const int answer = dialog.exec();
    if (answer == QDialog::Rejected)
        return std::nullopt;
    TReportRequest request = dialog.Chosen(start);
    if (answer == 1) {
        QString name = QFileDialog::getSaveFileName(parent, QStringLiteral("Сохранить отчёт"),
                                                    start.FileName, QStringLiteral("PDF (*.pdf)"));
        if (name.isEmpty())
            return std::nullopt;
        if (QFileInfo(name).suffix().isEmpty())
            name += QStringLiteral(".pdf");
        request.FileName = name;
        return request;
    }
    request.Printer = std::make_shared<QPrinter>(QPrinter::HighResolution);
    QPrintDialog print(request.Printer.get(), parent);
    if (print.exec() != QDialog::Accepted)
        return std::nullopt;
    return request;
}

TReportRequest TReportDialog::Start(const QString& configPath, const TResultsTable& table,
                                    const QString& folder, const QString& fileStem) {
    TReportSettings settings;
    settings.Read(configPath);
    TReportRequest request;
    request.Laboratory = settings.Laboratory;
    for (int k = 0; k < IndicatorCount; ++k) {
        const QString title =
            Cp1251::decode(table.CellView(k + TReport::FixedColumns, 0)).simplified();
        request.IndicatorTitles << (title.isEmpty() ? QStringLiteral("Показатель %1").arg(k + 1)
                                                    : title);
        if (table.ColVisible(k + TReport::FixedColumns))
            request.Indicators.push_back(k);
    }
    request.FileName = QDir(folder).filePath(fileStem + QStringLiteral(".pdf"));
    return request;
}

QString TReportDialog::Finish(const TReportRequest& request, TReport& report,
                              const QString& configPath) {
    report.Laboratory = request.Laboratory;
    QString done;
    {
        const TWaitCursor wait;
        if (request.Printer) {
            done = QStringLiteral("Отчёт отправлен на печать: страниц %1.")
                       .arg(TReportPainter::Print(report, *request.Printer));
        } else {
            const int pages = TReportPainter::WritePdf(report, request.FileName);
            done = QStringLiteral("Отчёт записан в «%1»: страниц %2.")
                       .arg(QDir::toNativeSeparators(request.FileName))
                       .arg(pages);
        }
    }
    // Kept once the report is out: a settings file that cannot take it
    // does not cost the report.
    TReportSettings settings;
    settings.Read(configPath);
    if (settings.Laboratory != request.Laboratory) {
        settings.Laboratory = request.Laboratory;
        try {
            settings.Write(configPath);
        } catch (const std::exception& e) {
            throw EReportError(
                (done + QStringLiteral("\nНазвание лаборатории не сохранено в настройках: ") +
                 QString::fromUtf8(e.what()))
                    .toStdString());
        }
    }
    return done;
}

QAction* TReportDialog::Install(const TFeatureHost& host, TAsk& ask) {
    QWidget* const window = host.Window;
    ask = [window](const TReportRequest& start) { return Ask(window, start); };
    auto* action = new QAction(QStringLiteral("Отчёт…"), host.Window);
    action->setObjectName(QStringLiteral("actReport"));
    // Beside the print commands.
    const QList<QAction*> file = host.FileMenu->actions();
    const qsizetype preview = file.indexOf(host.PrintPreviewAction);
    host.FileMenu->insertAction(
        preview >= 0 && preview + 1 < file.size() ? file[preview + 1] : nullptr, action);
    connect(action, &QAction::triggered, host.Window, [host, &ask] {
        try {
            TRegisterDocument& doc = *host.Doc;
            const QFileInfo file(doc.FileName());
            const std::optional<TReportRequest> request =
                ask(Start(host.ConfigPath, doc.Table(), file.absolutePath(),
                          file.completeBaseName() + QStringLiteral(" — отчёт")));
            if (!request)
                return;
            TArchiveSettings decimals;
            decimals.Read(host.ConfigPath);
            TReport report = TReport::FromTable(doc.Table(), doc.FileName(), doc.Archive(),
                                                request->Indicators, decimals, doc.Cycle());
            Finish(*request, report, host.ConfigPath);
        } catch (const std::exception& e) {
            host.ErrorBox(kCaption, QString::fromUtf8(e.what()));
        }
    });
    return action;
}
