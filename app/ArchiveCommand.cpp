#include "app/ArchiveCommand.h"

#include "archive/ArchiveImport.h"
#include "archive/ArchiveSettings.h"
#include "archive/LabReconcile.h"
#include "archive/LabServer.h"
#include "archive/LabSettings.h"
#include "config/RegisterSettings.h"
#include "document/RecoveryFile.h"
#include "results/ResultsTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>

namespace {

const QString kImport = QStringLiteral("--import");
const QString kExport = QStringLiteral("--export");
const QString kVerify = QStringLiteral("--verify");
const QString kFrom = QStringLiteral("--from");
const QString kTo = QStringLiteral("--to");
const QString kSample = QStringLiteral("--sample");
const QString kDevice = QStringLiteral("--device");
const QString kFormat = QStringLiteral("--format");
const QString kOutput = QStringLiteral("--output");
const QString kIncludeInvalid = QStringLiteral("--include-invalid");
const QString kSettings = QStringLiteral("--settings");

const QStringList kValueOptions{kFrom, kTo, kSample, kDevice, kFormat, kOutput};

const QString kUsage = QStringLiteral(
    "Использование:\n"
    "  Savro2 [--settings ПУТЬ] --import ФАЙЛ...\n"
    "  Savro2 [--settings ПУТЬ] --export --from ДАТА --to ДАТА [--sample ТЕКСТ] [--device N]\n"
    "         [--format csv|csv-ru|jsonl] [--include-invalid] [--output ФАЙЛ]\n"
    "  Savro2 [--settings ПУТЬ] --verify\n"
    "ДАТА: ГГГГ-ММ-ДД или ДД.ММ.ГГГГ; --to включает весь день.\n"
    "--verify сверяет архив с сервером лаборатории из настроек ([LabServer]) по дням и\n"
    "отправляет снова то, чего на сервере нет.");

// "--name=value" split in two; otherwise the option alone.
QString OptionName(const QString& arg) {
    const qsizetype eq = arg.indexOf(u'=');
    return arg.startsWith(QLatin1String("--")) && eq > 0 ? arg.left(eq) : arg;
}

std::optional<QDate> ReadDate(const QString& text) {
    for (const QString& format : {QStringLiteral("yyyy-MM-dd"), QStringLiteral("dd.MM.yyyy")}) {
        const QDate date = QDate::fromString(text.trimmed(), format);
        if (date.isValid())
            return date;
    }
    return std::nullopt;
}

QString Shown(const QString& fileName) {
    return QDir::toNativeSeparators(fileName);
}

} // namespace

bool TArchiveCommand::Wanted(const QStringList& arguments) {
    return std::any_of(arguments.begin(), arguments.end(), [](const QString& arg) {
        const QString name = OptionName(arg);
        return name == kImport || name == kExport || name == kVerify || name == kIncludeInvalid ||
               kValueOptions.contains(name);
    });
}

QString TArchiveCommand::Usage() {
    return kUsage;
}

void TArchiveCommand::HoldTimeZone() {
    // Qt reads this value as "the system's zone" too.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
}

TArchiveCommand::TArchiveCommand(QStringList arguments, TProfile profile, FILE* out, FILE* err)
    : Arguments_(std::move(arguments)), Profile_(std::move(profile)), Out_(out), Err_(err) {}

QString TArchiveCommand::ArchiveFolder(const TProfile& profile) {
    return profile.DataFolder().isEmpty() ? TRecoveryFile::DefaultFolder() : profile.DataFolder();
}

QStringList TArchiveCommand::ColumnTitles(const QString& iniPath) {
    TRegisterSettings defaults;
    defaults.Read(QStringLiteral(":/Savro2.Ini.default"), TResultsTable::ColCount);
    if (!QFileInfo(iniPath).isFile())
        return defaults.ColumnTitles;
    TRegisterSettings settings;
    settings.Read(iniPath, TResultsTable::ColCount);
    QStringList titles = settings.ColumnTitles;
    for (qsizetype i = 0; i < titles.size() && i < defaults.ColumnTitles.size(); ++i)
        if (titles[i].trimmed().isEmpty())
            titles[i] = defaults.ColumnTitles[i];
    return titles;
}

void TArchiveCommand::Print(FILE* to, const QString& text) const {
    const QByteArray line = (to == Err_ ? QStringLiteral("Savro2: ") + text : text).toLocal8Bit();
    std::fprintf(to, "%s\n", line.constData());
    std::fflush(to);
}

QString TArchiveCommand::ParseValue(const QString& option, const QString& value) {
    if (Seen_.contains(option))
        return QStringLiteral("Параметр %1 указан больше одного раза.").arg(option);
    Seen_ << option;
    if (option == kFrom || option == kTo) {
        const std::optional<QDate> date = ReadDate(value);
        if (!date)
            return QStringLiteral("Неверная дата «%1» после %2: нужна ГГГГ-ММ-ДД или ДД.ММ.ГГГГ.")
                .arg(value, option);
        (option == kFrom ? From_ : To_) = date;
    } else if (option == kDevice) {
        bool ok = false;
        const uint device = value.trimmed().toUInt(&ok);
        if (!ok || device > 0xffff)
            return QStringLiteral("Неверный номер прибора «%1»: нужно целое число от 0 до 65535.")
                .arg(value);
        Device_ = quint16(device);
    } else if (option == kFormat) {
        Format_ = TArchiveExport::ParseFormat(value);
        if (!Format_)
            return QStringLiteral("Неизвестный формат «%1»: нужен csv, csv-ru или jsonl.")
                .arg(value);
    } else if (option == kSample) {
        Sample_ = value;
    } else if (option == kOutput) {
        Output_ = value;
    }
    return {};
}

QString TArchiveCommand::Parse() {
    QStringList positional;
    for (qsizetype i = 0; i < Arguments_.size(); ++i) {
        const QString& arg = Arguments_[i];
        const QString name = OptionName(arg);
        const bool inlineValue = name.size() < arg.size();
        if (name == kSettings) {
            if (!inlineValue)
                ++i; // its value, checked by TProfile
            continue;
        }
        if (name == kImport || name == kExport || name == kVerify) {
            if (inlineValue)
                return QStringLiteral("У параметра %1 не бывает значения.").arg(name);
            const TMode mode = name == kImport   ? TMode::Import
                               : name == kExport ? TMode::Export
                                                 : TMode::Verify;
            if (Mode_ != TMode::None && Mode_ != mode)
                return QStringLiteral("--import, --export и --verify нельзя указать вместе.");
            Mode_ = mode;
        } else if (name == kIncludeInvalid) {
            if (inlineValue)
                return QStringLiteral("У параметра %1 не бывает значения.").arg(name);
            IncludeInvalid_ = true;
        } else if (kValueOptions.contains(name)) {
            QString value;
            if (inlineValue) {
                value = arg.mid(name.size() + 1);
            } else if (i + 1 < Arguments_.size() &&
                       !Arguments_[i + 1].startsWith(QLatin1String("--"))) {
                value = Arguments_[++i];
            }
            if (value.isEmpty())
                return QStringLiteral("После %1 не указано значение.").arg(name);
            const QString problem = ParseValue(name, value);
            if (!problem.isEmpty())
                return problem;
        } else if (arg.startsWith(u'-') && arg.size() > 1) {
            return QStringLiteral("Неизвестный параметр «%1».").arg(arg);
        } else {
            positional << arg;
        }
    }

    switch (Mode_) {
    case TMode::None:
        return QStringLiteral("Не указано, что делать: --import, --export или --verify.");
    case TMode::Import:
        if (!Seen_.isEmpty() || IncludeInvalid_)
            return QStringLiteral("Параметры выгрузки (%1) не относятся к --import.")
                .arg(Seen_.isEmpty() ? kIncludeInvalid : Seen_.join(QStringLiteral(", ")));
        if (positional.isEmpty())
            return QStringLiteral("После --import не указаны файлы результатов.");
        Files_ = positional;
        break;
    case TMode::Verify:
        if (!Seen_.isEmpty() || IncludeInvalid_)
            return QStringLiteral("Параметры выгрузки (%1) не относятся к --verify.")
                .arg(Seen_.isEmpty() ? kIncludeInvalid : Seen_.join(QStringLiteral(", ")));
        if (!positional.isEmpty())
            return QStringLiteral("Лишний аргумент «%1».").arg(positional.first());
        break;
    case TMode::Export:
        if (!positional.isEmpty())
            return QStringLiteral("Лишний аргумент «%1».").arg(positional.first());
        if (!From_ || !To_)
            return QStringLiteral("Для --export нужны обе даты: --from и --to.");
        if (*From_ > *To_)
            return QStringLiteral("Дата --from (%1) позже даты --to (%2).")
                .arg(From_->toString(QStringLiteral("dd.MM.yyyy")),
                     To_->toString(QStringLiteral("dd.MM.yyyy")));
        break;
    }
    return {};
}

int TArchiveCommand::Run() {
    const QString problem = Parse();
    if (!problem.isEmpty()) {
        Print(Err_, problem);
        std::fprintf(Err_, "%s\n", kUsage.toLocal8Bit().constData());
        return ExitBadArguments;
    }
    if (Mode_ == TMode::Verify)
        return Verify();
    try {
        return Mode_ == TMode::Import ? Import() : Export();
    } catch (const std::exception& e) {
        Print(Err_, QString::fromUtf8(e.what()));
        return ExitFailed;
    }
}

int TArchiveCommand::Import() {
    TArchive archive(ArchiveFolder(Profile_));
    if (!archive.SetAside().isEmpty())
        Print(Err_,
              QStringLiteral("Файл архива был повреждён и перенесён в «%1»; начат новый архив.")
                  .arg(Shown(archive.SetAside())));
    TArchiveImport::TResult total;
    const auto summary = [&] {
        Print(Out_, QStringLiteral("Импортировано файлов: %1, строк: %2, новых в архиве: %3")
                        .arg(total.Files)
                        .arg(total.Rows)
                        .arg(total.Added));
        if (const QString notice = TArchiveImport::NotANumberNotice(total.NotANumber);
            !notice.isEmpty())
            Print(Out_, notice);
    };
    // One file at a time, so a refused file still leaves the count of those before it.
    for (const QString& file : Files_) {
        try {
            const TArchiveImport::TResult one = TArchiveImport::ImportFiles(archive, {file});
            total.Files += one.Files;
            total.Rows += one.Rows;
            total.Added += one.Added;
            total.NotANumber += one.NotANumber;
        } catch (const std::exception& e) {
            Print(Err_, QString::fromUtf8(e.what()));
            if (total.Files > 0)
                summary();
            return ExitFailed;
        }
    }
    summary();
    return ExitDone;
}

int TArchiveCommand::Export() {
    const TArchive archive(ArchiveFolder(Profile_));
    TArchiveSettings settings;
    if (QFileInfo(Profile_.IniPath()).isFile())
        settings.Read(Profile_.IniPath());
    const QStringList titles = ColumnTitles(Profile_.IniPath());

    TArchiveFilter filter;
    filter.From = From_->startOfDay();
    filter.To = To_->addDays(1).startOfDay().addMSecs(-1);
    filter.SampleContains = Sample_;
    filter.Device = Device_;
    filter.IncludeInvalid = IncludeInvalid_;
    const TExportFormat format = Format_             ? *Format_
                                 : Output_.isEmpty() ? TExportFormat::CsvRu
                                                     : TArchiveExport::FormatFor(Output_);

    if (!Output_.isEmpty()) {
        const qint64 rows =
            TArchiveExport::WriteFile(archive, filter, format, settings, titles, Output_);
        Print(Out_, QStringLiteral("Выгружено строк: %1 в «%2»").arg(rows).arg(Shown(Output_)));
        return ExitDone;
    }
    std::fflush(Out_);
    QFile out;
    if (!out.open(Out_, QIODevice::WriteOnly))
        throw EArchiveError(QStringLiteral("Не удалось открыть стандартный вывод: %1")
                                .arg(out.errorString())
                                .toStdString());
    TArchiveExport::Write(archive, filter, format, settings, titles, out);
    if (!out.flush())
        throw EArchiveError(QStringLiteral("Не удалось записать выгрузку: %1")
                                .arg(out.errorString())
                                .toStdString());
    return ExitDone;
}

int TArchiveCommand::Verify() {
    TLabSettings settings;
    if (QFileInfo(Profile_.IniPath()).isFile())
        settings.Read(Profile_.IniPath());
    if (!settings.Configured()) {
        Print(Err_, QStringLiteral("В настройках «%1» не указан сервер лаборатории "
                                   "([LabServer] Host): сверять не с чем.")
                        .arg(Shown(Profile_.IniPath())));
        return ExitBadArguments;
    }
    std::unique_ptr<TArchive> archive;
    try {
        // Not repaired here: a damaged file is the register's to set aside.
        archive = std::make_unique<TArchive>(ArchiveFolder(Profile_), false);
    } catch (const std::exception& e) {
        Print(Err_, QString::fromUtf8(e.what()));
        return ExitNoArchive;
    }
    try {
        TLabServer server(settings);
        const TReconcileResult result =
            TLabReconcile::Run(*archive, server, settings.ServerId());
        Print(Out_, result.Report());
        return result.Matched() ? ExitDone : ExitDiffered;
    } catch (const ELabServerError& e) {
        Print(Err_, QString::fromUtf8(e.what()));
        return ExitNoServer;
    } catch (const std::exception& e) {
        Print(Err_, QString::fromUtf8(e.what()));
        return ExitNoArchive;
    }
}
