#include "archive/ArchiveImport.h"

#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "register/ResultsFile.h"
#include "register/TextEncoding.h"
#include "resources/ProgramVersion.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QElapsedTimer>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

namespace {

constexpr int kFieldCount = TResultsTable::ColCount - 1; // column 0 is not saved
constexpr int kFirstIndicatorColumn = 5;

// The keys of imported rows are name-based UUIDs in this namespace, so the
// same row gets the same key on every computer and every import.
const QUuid kRowNamespace(QStringLiteral("{6a0f3c52-9e1b-4d7a-b3c8-2f5e9d14a7b6}"));

QString Shown(const QString& fileName) {
    return QDir::toNativeSeparators(fileName);
}

[[noreturn]] void Refuse(const QString& fileName, qint64 line, const QString& reason) {
    throw EArchiveError(QStringLiteral("Файл «%1», строка %2: не файл результатов (%3).")
                            .arg(Shown(fileName))
                            .arg(line)
                            .arg(reason)
                            .toStdString());
}

// A cell's text for a message: short, on one line.
QString CellText(QByteArrayView cell) {
    QString text = Cp1251::decode(cell.trimmed());
    for (QChar& c : text)
        if (c.unicode() < 0x20)
            c = u' ';
    return text.size() > 40 ? text.left(40) + QStringLiteral("…") : text;
}

// The register writes these for values the analyser could not give a number for.
bool NotANumberText(QByteArrayView cell) {
    return cell == "NAN" || cell == "INF" || cell == "-INF";
}

// Every line must be blank or hold the register's 31 fields: the loader
// itself takes anything, so a picture or a table of another program would
// otherwise pass as rows of names. Lines end as the loader ends them (LF,
// Ctrl-Z ends the file).
void CheckFields(const QString& fileName, QByteArrayView bytes) {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    for (qint64 line = 1; p < end; ++line) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        if (!lineEnd)
            lineEnd = end;
        const char* stop = static_cast<const char*>(std::memchr(p, '\x1a', size_t(lineEnd - p)));
        if (stop)
            lineEnd = stop;
        const qint64 fields = std::count(p, lineEnd, '\t') + 1;
        const bool blank = std::all_of(p, lineEnd, [](char c) { return c == ' ' || c == '\r'; });
        if (fields != kFieldCount && !blank)
            Refuse(fileName, line,
                   QStringLiteral("полей: %1, а должно быть %2").arg(fields).arg(kFieldCount));
        if (stop)
            return;
        p = lineEnd + 1;
    }
}

// The file's bytes: mapped where possible, as a file of any size may be
// picked by mistake and is refused at its first lines.
class TFileBytes {
public:
    explicit TFileBytes(const QString& fileName) : File_(fileName) {
        const QFileInfo info(fileName);
        if (!info.exists())
            throw EArchiveError(
                QStringLiteral("Файл «%1» не найден.").arg(Shown(fileName)).toStdString());
        if (info.isDir())
            throw EArchiveError(QStringLiteral("«%1» — папка, а не файл результатов.")
                                    .arg(Shown(fileName))
                                    .toStdString());
        if (!File_.open(QIODevice::ReadOnly))
            throw EArchiveError(QStringLiteral("Не удалось прочитать файл «%1»: %2")
                                    .arg(Shown(fileName), File_.errorString())
                                    .toStdString());
        if (File_.size() > 0) {
            if (const uchar* map = File_.map(0, File_.size())) {
                View_ = QByteArrayView(reinterpret_cast<const char*>(map), File_.size());
                return;
            }
        }
        Copy_ = File_.readAll();
        if (File_.error() != QFileDevice::NoError)
            throw EArchiveError(QStringLiteral("Не удалось прочитать файл «%1»: %2")
                                    .arg(Shown(fileName), File_.errorString())
                                    .toStdString());
        View_ = Copy_;
    }

    QByteArrayView Bytes() const { return View_; }

private:
    QFile File_;
    QByteArray Copy_;
    QByteArrayView View_;
};

// Why the row cannot be a measurement; empty when it is one. Rows with no
// date, time, calibration or value (blank, or a name typed ahead of the
// measurement) are no measurement and no fault either: skip is set.
QString RowProblem(const TResultsTable::Row& row, ControlChart::TDateTimeReader& reader,
                   bool& skip) {
    skip = false;
    const QByteArrayView date = row.Cell(2).trimmed();
    const QByteArrayView time = row.Cell(3).trimmed();
    const QByteArrayView calibration = row.Cell(4).trimmed();
    if (date.isEmpty() && time.isEmpty() && calibration.isEmpty()) {
        bool values = false;
        for (int c = kFirstIndicatorColumn; c < TResultsTable::ColCount && !values; ++c)
            values = !row.Cell(c).trimmed().isEmpty();
        skip = !values;
        return QStringLiteral("значения без даты, времени и градуировки");
    }
    if (date.isEmpty())
        return QStringLiteral("нет даты");
    if (!reader.Date(date))
        return QStringLiteral("дата «%1» не читается").arg(CellText(date));
    if (time.isEmpty())
        return QStringLiteral("нет времени");
    if (!reader.Time(time))
        return QStringLiteral("время «%1» не читается").arg(CellText(time));
    bool ok = false;
    calibration.toByteArray().toInt(&ok);
    if (!ok)
        return QStringLiteral("градуировка «%1» — не целое число").arg(CellText(calibration));
    for (int c = kFirstIndicatorColumn; c < TResultsTable::ColCount; ++c) {
        const QByteArrayView cell = row.Cell(c).trimmed();
        if (!cell.isEmpty() && !NotANumberText(cell) && !TValueText::Parse(cell))
            return QStringLiteral("в столбце %1 не число: «%2»").arg(c).arg(CellText(cell));
    }
    return {};
}

// The row's key: its date and time as read (whatever form the file has them
// in), calibration, and each value as the table shows it at a decimal point,
// so a file re-saved by a spreadsheet ("20" for "20,00") or written under
// another locale keys its rows as the register's own file does.
QString RowUid(const TResultsTable::Row& row, const QDateTime& measured, int calibration) {
    // Wall-clock text, so the key does not depend on the computer's time zone.
    QByteArray key =
        (measured.date().toString(Qt::ISODate) + u'T' + measured.time().toString(Qt::ISODateWithMs))
            .toLatin1();
    key += '\t';
    key += QByteArray::number(calibration);
    for (int c = kFirstIndicatorColumn; c < TResultsTable::ColCount; ++c) {
        key += '\t';
        const QByteArrayView cell = row.Cell(c).trimmed();
        if (const std::optional<double> value = TValueText::Parse(cell))
            key += TValueText::Table(*value, u'.').toLatin1();
        else
            key += cell; // empty, or the analyser's "NAN"
    }
    return QUuid::createUuidV5(kRowNamespace, key).toString(QUuid::WithoutBraces);
}

struct TFileResult {
    qint64 Rows = 0;
    qint64 Added = 0;
    bool Cancelled = false;
};

// The table rows that hold measurements. Every one is checked before the
// first is stored, so a file refused at its last line leaves nothing behind.
std::vector<int> CheckedRows(const QString& fileName, const TResultsTable& table,
                             ControlChart::TDateTimeReader& reader) {
    std::vector<int> rows;
    for (int r = 1; r < table.RowCount(); ++r) {
        const TResultsTable::Row& row = table.RowAt(r);
        bool skip = false;
        const QString problem = RowProblem(row, reader, skip);
        if (skip)
            continue;
        if (!problem.isEmpty())
            Refuse(fileName, r, problem);
        if (!TArchive::FromRow(row, reader))
            Refuse(fileName, r, QStringLiteral("нет даты, времени или градуировки"));
        rows.push_back(r);
    }
    return rows;
}

// An import shares the archive with connections that wait a moment only
// (the register's): each of its transactions holds it for HoldMs at most,
// whatever the machine's speed, and after each it stays free for GapMs at
// least, long enough for a waiting writer's next try to find it free.
class TShare {
public:
    static constexpr qint64 HoldMs = 20;
    static constexpr qint64 GapMs = 20;

    // Before a transaction.
    void Begin() {
        if (free_.isValid() && free_.elapsed() < GapMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(GapMs - free_.elapsed()));
        held_.start();
    }
    // Whether the transaction may take another row.
    bool Room() const { return held_.elapsed() < HoldMs; }
    // After its commit.
    void Ended() { free_.start(); }

private:
    QElapsedTimer held_;
    QElapsedTimer free_;
};

// Takes what an import stored of a file out again. A failure says how much
// of the file stayed, after reason (what went wrong first).
void Undo(TArchive& archive, const QString& fileName, const QStringList& added, TShare& share,
          const QString& reason = {}) {
    constexpr qsizetype kRows = 200; // removed well within a moment
    try {
        for (qsizetype first = 0; first < added.size(); first += kRows) {
            share.Begin();
            archive.RemoveImported(added.mid(first, kRows));
            share.Ended();
        }
    } catch (const std::exception& e) {
        throw EArchiveError(
            (reason + (reason.isEmpty() ? QString() : QStringLiteral("\n")) +
             QStringLiteral("Строки файла «%1», уже записанные в архив (%2), убрать не удалось: %3")
                 .arg(Shown(fileName))
                 .arg(added.size())
                 .arg(QString::fromUtf8(e.what())))
                .toStdString());
    }
}

TFileResult ImportFile(TArchive& archive, const QString& fileName, int filesDone,
                       const TArchiveImport::TProgress& progress, int batchRows) {
    const TFileBytes file(fileName);
    CheckFields(fileName, file.Bytes());
    // A results file a spreadsheet saved again as UTF-8: stored as code page
    // 1251 reads it, it would stay mojibake in the archive for good. Its rows
    // then get the keys of the file it came from, so they are stored once.
    QByteArray recoded;
    QByteArrayView bytes = file.Bytes();
    if (DetectTextEncoding(bytes) == TTextEncoding::Utf8) {
        recoded = Cp1251::encode(
            QString::fromUtf8(bytes.startsWith("\xef\xbb\xbf") ? bytes.sliced(3) : bytes));
        bytes = recoded;
    }
    TResultsTable table;
    try {
        LoadResultsText(table, bytes);
    } catch (const std::exception& e) {
        throw EArchiveError(QStringLiteral("Не удалось прочитать файл «%1»: %2")
                                .arg(Shown(fileName), QString::fromLocal8Bit(e.what()))
                                .toStdString());
    }
    ControlChart::TDateTimeReader reader{QLocale()};
    const std::vector<int> rows = CheckedRows(fileName, table, reader);

    TArchiveMeasurement common;
    common.Source = TArchive::SourceImport;
    common.ResultsFile = QFileInfo(fileName).absoluteFilePath();
    // In UTC: the same instant, but storing it costs no time-zone lookup per row.
    common.Received = QDateTime::currentDateTimeUtc();
    common.Computer = TArchive::ThisComputer();
    // The file knows neither the analyser nor who measured: both stay
    // unknown, and who imported is kept apart.
    common.ImportedBy = TArchive::ThisUser();
    common.ProgramVersion = ProgramVersion();
    // The file's precision: a spreadsheet may have cut "20,00" to "20", but
    // some other value keeps all its decimals.
    int decimals = 0;
    for (int r = 1; r < table.RowCount(); ++r)
        for (int c = kFirstIndicatorColumn; c < TResultsTable::ColCount; ++c)
            decimals = std::max(decimals, TValueText::DecimalsOf(table.RowAt(r).Cell(c)));
    common.Decimals = decimals;

    TFileResult result;
    QStringList added; // keys this import stored, committed
    std::deque<TArchiveMeasurement> ready; // looked up, not stored yet
    TShare share;
    try {
        for (size_t next = 0; next < rows.size() || !ready.empty();) {
            // Looked up without the write lock, up to a batch.
            for (; next < rows.size() && ready.size() < size_t(batchRows); ++next) {
                const TResultsTable::Row& row = table.RowAt(rows[next]);
                ++result.Rows;
                // The live measurement, or this row from an earlier import, is there already.
                if (archive.FindRow(row, reader))
                    continue;
                const std::optional<TArchiveMeasurement> read = TArchive::FromRow(row, reader);
                TArchiveMeasurement m = common;
                m.Uid = RowUid(row, read->Measured, read->Calibration);
                m.Measured = read->Measured;
                m.Calibration = read->Calibration;
                m.Values = read->Values;
                m.SampleName = read->SampleName;
                ready.push_back(std::move(m));
            }
            if (!ready.empty()) {
                QStringList stored;
                share.Begin();
                TArchive::TTransaction transaction(archive);
                // What does not fit into the moment waits for the next transaction.
                do {
                    if (archive.Add(ready.front()))
                        stored << ready.front().Uid;
                    ready.pop_front();
                } while (!ready.empty() && share.Room());
                transaction.Commit();
                share.Ended();
                added += stored;
                result.Added += stored.size();
            }
            if (progress && !progress(filesDone, result.Rows)) {
                Undo(archive, fileName, added, share);
                result.Cancelled = true;
                return result;
            }
        }
    } catch (const std::exception& e) {
        // All of the file or nothing of it, as the operator sees it.
        Undo(archive, fileName, added, share, QString::fromUtf8(e.what()));
        throw;
    }
    return result;
}

} // namespace

TArchiveImport::TResult TArchiveImport::ImportFiles(TArchive& archive,
                                                    const QStringList& fileNames,
                                                    const TProgress& progress, int batchRows) {
    batchRows = std::max(1, batchRows);
    TResult result;
    for (const QString& fileName : fileNames) {
        if (progress && !progress(result.Files, 0))
            break;
        const TFileResult file = ImportFile(archive, fileName, result.Files, progress, batchRows);
        if (file.Cancelled)
            break;
        ++result.Files;
        result.Rows += file.Rows;
        result.Added += file.Added;
    }
    return result;
}
