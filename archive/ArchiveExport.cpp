#include "archive/ArchiveExport.h"

#include "config/SaveFile.h"
#include "measurement/ValueText.h"

#include <QDir>
#include <QFileInfo>
#include <QStringEncoder>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace {

// Lines gather in one block that goes out when it is this full: a million
// rows take a few hundred writes, not a million.
constexpr qsizetype kBlock = 1 << 20;
constexpr qint64 kProgressEvery = 2048;
constexpr int kFirstIndicatorColumn = 5;

const QByteArray kBom = QByteArrayLiteral("\xEF\xBB\xBF");

// Appends text as UTF-8 without a temporary string: the line buffer is
// reused row after row, so a row costs no allocation here.
void AppendUtf8(QByteArray& out, QStringView text, QStringEncoder& utf8) {
    if (text.isEmpty())
        return;
    const qsizetype at = out.size();
    out.resize(at + utf8.requiredSpace(text.size()));
    char* end = utf8.appendToBuffer(out.data() + at, text);
    out.resize(end - out.constData());
}

// A text a spreadsheet would run as a formula ("=HYPERLINK(...)", "+1", "-1",
// "@SUM"), or whose first character a spreadsheet drops (tab, CR).
bool LooksLikeFormula(QStringView text) {
    if (text.isEmpty())
        return false;
    const QChar c = text.front();
    return c == u'=' || c == u'+' || c == u'-' || c == u'@' || c == u'\t' || c == u'\r';
}

// RFC 4180: quoted only when the field holds the separator, a quote or a line
// break; quotes inside are doubled. A text that looks like a formula gets
// the apostrophe spreadsheets take as "this is text", and quotes.
void AppendCsvField(QByteArray& out, QStringView text, char separator, QStringEncoder& utf8) {
    const bool formula = LooksLikeFormula(text);
    const bool quote =
        formula || std::any_of(text.begin(), text.end(), [separator](QChar c) {
            return c == QLatin1Char(separator) || c == u'"' || c == u'\r' || c == u'\n';
        });
    if (!quote) {
        AppendUtf8(out, text, utf8);
        return;
    }
    out += '"';
    if (formula)
        out += '\'';
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'"')
            continue;
        AppendUtf8(out, text.sliced(from, i + 1 - from), utf8);
        out += '"';
        from = i + 1;
    }
    AppendUtf8(out, text.sliced(from), utf8);
    out += '"';
}

void AppendJsonString(QByteArray& out, QStringView text, QStringEncoder& utf8) {
    out += '"';
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x20 && c != u'"' && c != u'\\')
            continue;
        AppendUtf8(out, text.sliced(from, i - from), utf8);
        from = i + 1;
        switch (c) {
        case u'"':
            out += "\\\"";
            break;
        case u'\\':
            out += "\\\\";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        default: {
            static const char hex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out.append(escaped, sizeof escaped);
        }
        }
    }
    AppendUtf8(out, text.sliced(from), utf8);
    out += '"';
}

// Empty is not known: null.
void AppendJsonStringOrNull(QByteArray& out, QStringView text, QStringEncoder& utf8) {
    if (text.isEmpty())
        out += "null";
    else
        AppendJsonString(out, text, utf8);
}

void AppendDigits(QByteArray& out, int value, int width) {
    char buf[16];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value < 0 ? -value : value);
    Q_UNUSED(ec);
    if (value < 0)
        out += '-';
    for (qsizetype n = end - buf; n < width; ++n)
        out += '0';
    out.append(buf, end - buf);
}

void AppendInteger(QByteArray& out, qint64 value) {
    char buf[24];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    Q_UNUSED(ec);
    out.append(buf, end - buf);
}

// dd.MM.yyyy
void AppendDate(QByteArray& out, const QDate& date) {
    AppendDigits(out, date.day(), 2);
    out += '.';
    AppendDigits(out, date.month(), 2);
    out += '.';
    AppendDigits(out, date.year(), 4);
}

// HH:mm:ss
void AppendTime(QByteArray& out, const QTime& time) {
    AppendDigits(out, time.hour(), 2);
    out += ':';
    AppendDigits(out, time.minute(), 2);
    out += ':';
    AppendDigits(out, time.second(), 2);
}

// ISO 8601 local time with its offset from UTC, "2026-12-08T14:16:53+03:00";
// null when there is no time.
void AppendIsoTime(QByteArray& out, const QDateTime& when) {
    if (!when.isValid()) {
        out += "null";
        return;
    }
    const QDate date = when.date();
    out += '"';
    AppendDigits(out, date.year(), 4);
    out += '-';
    AppendDigits(out, date.month(), 2);
    out += '-';
    AppendDigits(out, date.day(), 2);
    out += 'T';
    AppendTime(out, when.time());
    const int offset = when.offsetFromUtc();
    out += offset < 0 ? '-' : '+';
    AppendDigits(out, std::abs(offset) / 3600, 2);
    out += ':';
    AppendDigits(out, std::abs(offset) / 60 % 60, 2);
    out += '"';
}

QString IndicatorTitle(const QStringList& titles, int indicator) {
    const int column = kFirstIndicatorColumn + indicator;
    return column < titles.size() ? titles[column].trimmed() : QString();
}

// The whole export: rows become lines in one reused buffer, which goes out
// in blocks. target names the file in messages (empty: the device).
class TExportWriter {
public:
    TExportWriter(TExportFormat format, const TArchiveSettings& settings, const QStringList& titles,
                  QIODevice& out, const QString& target)
        : Format_(format), Settings_(settings), Out_(out), Target_(target),
          Separator_(format == TExportFormat::CsvRu ? ';' : ','),
          Point_(format == TExportFormat::CsvRu ? ',' : '.') {
        Block_.reserve(kBlock + 64 * 1024);
        for (int k = 0; k < IndicatorCount; ++k) {
            Titles_[size_t(k)] = IndicatorTitle(titles, k);
            QByteArray& json = JsonTitles_[size_t(k)];
            json = "{\"column\":" + QByteArray::number(kFirstIndicatorColumn + k) + ",\"title\":";
            AppendJsonString(json, Titles_[size_t(k)], Utf8_);
            json += ",\"value\":";
        }
    }

    void Header() {
        if (Format_ == TExportFormat::JsonLines)
            return;
        if (Format_ == TExportFormat::CsvRu)
            Block_ += kBom;
        QStringList names{QStringLiteral("Проба"), QStringLiteral("Дата"), QStringLiteral("Время"),
                          QStringLiteral("Прибор"), QStringLiteral("Градуировка")};
        for (const QString& title : Titles_)
            names << title;
        names << QStringLiteral("Недействительно") << QStringLiteral("Порт")
              << QStringLiteral("Компьютер") << QStringLiteral("Пользователь")
              << QStringLiteral("Файл результатов") << QStringLiteral("Ключ")
              << QStringLiteral("Импортировал"); // last: earlier columns keep their places
        for (qsizetype i = 0; i < names.size(); ++i) {
            if (i > 0)
                Block_ += Separator_;
            AppendCsvField(Block_, names[i], Separator_, Utf8_);
        }
        Block_ += "\r\n";
    }

    void Row(const TArchiveMeasurement& m) {
        if (Format_ == TExportFormat::JsonLines)
            JsonRow(m);
        else
            CsvRow(m);
        if (Block_.size() >= kBlock)
            Flush();
    }

    void Flush() {
        if (Block_.isEmpty())
            return;
        if (Out_.write(Block_) != Block_.size())
            throw EArchiveError(WriteProblem(Out_.errorString()).toStdString());
        Block_.resize(0);
    }

    QString WriteProblem(const QString& reason) const {
        return Target_.isEmpty() ? QStringLiteral("Не удалось записать выгрузку: %1").arg(reason)
                                 : QStringLiteral("Не удалось записать файл «%1»: %2")
                                       .arg(QDir::toNativeSeparators(Target_), reason);
    }

private:
    void CsvRow(const TArchiveMeasurement& m) {
        QByteArray& b = Block_;
        AppendCsvField(b, m.SampleName, Separator_, Utf8_);
        b += Separator_;
        AppendDate(b, m.Measured.date());
        b += Separator_;
        AppendTime(b, m.Measured.time());
        b += Separator_;
        if (m.Device)
            AppendInteger(b, *m.Device);
        b += Separator_;
        AppendInteger(b, m.Calibration);
        for (int k = 0; k < IndicatorCount; ++k) {
            b += Separator_;
            // Empty like a missing value: a spreadsheet reads "NAN" as text.
            if (const std::optional<double>& v = m.Values[size_t(k)]; v && std::isfinite(*v))
                TValueText::AppendFixed(b, *v, ShownDecimals(m, k, Settings_.Decimals), Point_);
        }
        for (const QString* text : {&m.InvalidReason, &m.Port, &m.Computer, &m.User, &m.ResultsFile,
                                    &m.Uid, &m.ImportedBy}) {
            b += Separator_;
            if (text != &m.InvalidReason || m.Invalid())
                AppendCsvField(b, *text, Separator_, Utf8_);
        }
        b += "\r\n";
    }

    void JsonRow(const TArchiveMeasurement& m) {
        QByteArray& b = Block_;
        b += "{\"uid\":";
        AppendJsonString(b, m.Uid, Utf8_);
        b += ",\"device\":";
        if (m.Device)
            AppendInteger(b, *m.Device);
        else
            b += "null";
        b += ",\"port\":";
        AppendJsonString(b, m.Port, Utf8_);
        b += ",\"computer\":";
        AppendJsonString(b, m.Computer, Utf8_);
        b += ",\"user\":";
        AppendJsonStringOrNull(b, m.User, Utf8_);
        b += ",\"imported_by\":";
        AppendJsonStringOrNull(b, m.ImportedBy, Utf8_);
        b += ",\"program_version\":";
        AppendJsonString(b, m.ProgramVersion, Utf8_);
        b += ",\"measured\":";
        AppendIsoTime(b, m.Measured);
        b += ",\"received\":";
        AppendIsoTime(b, m.Received);
        b += ",\"calibration\":";
        AppendInteger(b, m.Calibration);
        b += ",\"sample\":";
        AppendJsonString(b, m.SampleName, Utf8_);
        b += ",\"results_file\":";
        AppendJsonString(b, m.ResultsFile, Utf8_);
        b += ",\"source\":";
        AppendJsonString(b, m.Source, Utf8_);
        b += ",\"invalid\":";
        if (m.Invalid()) {
            b += "{\"reason\":";
            AppendJsonString(b, m.InvalidReason, Utf8_);
            b += ",\"by\":";
            AppendJsonString(b, m.InvalidBy, Utf8_);
            b += ",\"at\":";
            AppendIsoTime(b, m.InvalidAt);
            b += '}';
        } else {
            b += "null";
        }
        b += ",\"indicators\":[";
        bool first = true;
        for (int k = 0; k < IndicatorCount; ++k) {
            const std::optional<double>& v = m.Values[size_t(k)];
            if (!v)
                continue;
            if (!first)
                b += ',';
            first = false;
            b += JsonTitles_[size_t(k)];
            // JSON has no NaN or infinity.
            if (std::isfinite(*v))
                TValueText::AppendFixed(b, *v, ShownDecimals(m, k, Settings_.Decimals), '.');
            else
                b += "null";
            b += '}';
        }
        b += "]}\n";
    }

    TExportFormat Format_;
    const TArchiveSettings& Settings_;
    QIODevice& Out_;
    QString Target_;
    char Separator_ = ';';
    char Point_ = ',';
    QStringEncoder Utf8_{QStringEncoder::Utf8, QStringEncoder::Flag::Stateless};
    QByteArray Block_;
    std::array<QString, IndicatorCount> Titles_;
    // The part of each indicator's object before its value.
    std::array<QByteArray, IndicatorCount> JsonTitles_;
};

qint64 WriteTo(const TArchiveReader& archive, const TArchiveFilter& filter, TExportFormat format,
               const TArchiveSettings& settings, const QStringList& titles, QIODevice& out,
               const std::function<bool(qint64)>& progress, const QString& target) {
    TExportWriter writer(format, settings, titles, out, target);
    writer.Header();
    qint64 rows = 0;
    bool cancelled = false;
    archive.ForEach(filter, [&](const TArchiveMeasurement& m) {
        writer.Row(m);
        ++rows;
        if (progress && rows % kProgressEvery == 0 && !progress(rows))
            cancelled = true;
        return !cancelled;
    });
    if (cancelled)
        throw EArchiveError("Выгрузка отменена.");
    writer.Flush();
    if (progress && !progress(rows))
        throw EArchiveError("Выгрузка отменена.");
    return rows;
}

} // namespace

std::optional<TExportFormat> TArchiveExport::ParseFormat(const QString& name) {
    const QString key = name.trimmed().toLower();
    if (key == QLatin1String("csv-ru"))
        return TExportFormat::CsvRu;
    if (key == QLatin1String("csv"))
        return TExportFormat::Csv;
    if (key == QLatin1String("jsonl"))
        return TExportFormat::JsonLines;
    return std::nullopt;
}

TExportFormat TArchiveExport::FormatFor(const QString& fileName) {
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    return suffix == QLatin1String("jsonl") || suffix == QLatin1String("json")
               ? TExportFormat::JsonLines
               : TExportFormat::CsvRu;
}

qint64 TArchiveExport::Write(const TArchiveReader& archive, const TArchiveFilter& filter,
                             TExportFormat format, const TArchiveSettings& settings,
                             const QStringList& titles, QIODevice& out,
                             const std::function<bool(qint64)>& progress) {
    return WriteTo(archive, filter, format, settings, titles, out, progress, QString());
}

qint64 TArchiveExport::WriteFile(const TArchiveReader& archive, const TArchiveFilter& filter,
                                 TExportFormat format, const TArchiveSettings& settings,
                                 const QStringList& titles, const QString& fileName,
                                 const std::function<bool(qint64)>& progress) {
    const QString shown = QDir::toNativeSeparators(fileName);
    if (fileName.isEmpty())
        throw EArchiveError("Не указан файл для выгрузки.");
    if (QFileInfo(fileName).isDir())
        throw EArchiveError(QStringLiteral("«%1» — папка, а не файл.").arg(shown).toStdString());
    // Until commit the old file stays as it was; a failure or a cancel leaves it so.
    TSaveFile file(fileName);
    if (!file.Open())
        throw EArchiveError(QStringLiteral("Не удалось создать файл «%1»: %2")
                                .arg(shown, file.Error())
                                .toStdString());
    const qint64 rows =
        WriteTo(archive, filter, format, settings, titles, file.Device(), progress, fileName);
    if (!file.Commit())
        throw EArchiveError(QStringLiteral("Не удалось записать файл «%1»: %2")
                                .arg(shown, file.Error())
                                .toStdString());
    return rows;
}
