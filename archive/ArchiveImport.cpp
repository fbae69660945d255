#include "archive/ArchiveImport.h"

#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "resources/ProgramVersion.h"
#include "results/ResultsFile.h"
#include "results/TextEncoding.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStringDecoder>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <tuple>

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

// A cell that says "no number": the register's "NAN", "INF", "-INF", in any
// case and as other programs write them ("nan", "+inf", "Infinity"); "∞" is
// made "INF" before. The canonical text for the row's key, or nothing.
std::optional<QByteArray> NotANumberText(QByteArrayView cell) {
    QByteArray text = cell.toByteArray().toUpper();
    QByteArray sign;
    if (text.startsWith('-') || text.startsWith('+')) {
        sign = text.left(1) == "-" ? "-" : "";
        text = text.mid(1);
    }
    if (text == "NAN")
        return QByteArray("NAN");
    if (text == "INF" || text == "INFINITY")
        return sign + "INF";
    return std::nullopt;
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

[[noreturn]] void RefuseChanged(const QString& fileName, qint64 line, const QString& how) {
    throw EArchiveError(
        QStringLiteral("Файл «%1», строка %2: файл изменился во время импорта (%3); из него "
                       "ничего не записано в архив.")
            .arg(Shown(fileName))
            .arg(line)
            .arg(how)
            .toStdString());
}

// The file's bytes, read with ordinary reads: a mapped file cut short while
// read kills the program. What is stored must be the file as it stays: a
// change while it is imported is found (by size and times, then by its
// bytes) and refused with the line where it differs.
class TFileBytes {
public:
    explicit TFileBytes(const QString& fileName) : Name_(fileName) {
        const QFileInfo info(fileName);
        if (!info.exists())
            throw EArchiveError(
                QStringLiteral("Файл «%1» не найден.").arg(Shown(fileName)).toStdString());
        if (info.isDir())
            throw EArchiveError(QStringLiteral("«%1» — папка, а не файл результатов.")
                                    .arg(Shown(fileName))
                                    .toStdString());
        QFile file(fileName);
        if (!file.open(QIODevice::ReadOnly))
            throw EArchiveError(QStringLiteral("Не удалось прочитать файл «%1»: %2")
                                    .arg(Shown(fileName), file.errorString())
                                    .toStdString());
        Seen_ = Stamp();
        Bytes_.reserve(std::max<qint64>(file.size(), 0));
        QByteArray chunk(kChunk, Qt::Uninitialized);
        for (qint64 n; (n = file.read(chunk.data(), kChunk)) != 0;) {
            if (n < 0)
                throw EArchiveError(QStringLiteral("Не удалось прочитать файл «%1»: %2")
                                        .arg(Shown(fileName), file.errorString())
                                        .toStdString());
            Bytes_.append(chunk.constData(), n);
        }
        CheckUnchanged();
    }

    const QByteArray& Bytes() const { return Bytes_; }

    // Cheap, before each batch: by size and times, its bytes only when those moved.
    void CheckUnchanged() {
        const TStamp now = Stamp();
        if (now == Seen_)
            return;
        CheckSame();
        Seen_ = now; // touched, not changed
    }

    // Byte by byte, after the last batch: a rewrite of the same size within
    // the file system's time step leaves size and times alike.
    void CheckSame() const {
        QFile file(Name_);
        if (!file.open(QIODevice::ReadOnly))
            RefuseChanged(Name_, 1, QStringLiteral("больше не читается: %1").arg(file.errorString()));
        QByteArray chunk(kChunk, Qt::Uninitialized);
        for (qint64 at = 0;;) {
            const qint64 n = file.read(chunk.data(), kChunk);
            if (n < 0)
                RefuseChanged(Name_, LineAt(at),
                              QStringLiteral("больше не читается: %1").arg(file.errorString()));
            if (n == 0) {
                if (at < Bytes_.size())
                    RefuseChanged(Name_, LineAt(at), QStringLiteral("стал короче"));
                return;
            }
            const qint64 common = std::min(n, Bytes_.size() - at);
            const auto differ = std::mismatch(chunk.cbegin(), chunk.cbegin() + common,
                                              Bytes_.cbegin() + at);
            if (differ.first != chunk.cbegin() + common)
                RefuseChanged(Name_, LineAt(at + (differ.first - chunk.cbegin())),
                              QStringLiteral("изменён"));
            if (common < n)
                RefuseChanged(Name_, LineAt(Bytes_.size()), QStringLiteral("стал длиннее"));
            at += n;
        }
    }

private:
    static constexpr qint64 kChunk = 1 << 20;
    using TStamp = std::tuple<qint64, QDateTime, QDateTime>;

    TStamp Stamp() const {
        const QFileInfo info(Name_); // read afresh, not cached
        return {info.size(), info.lastModified(), info.metadataChangeTime()};
    }
    // The line (from 1) that holds byte offset at of what was read.
    qint64 LineAt(qint64 at) const {
        return std::count(Bytes_.cbegin(), Bytes_.cbegin() + std::min(at, Bytes_.size()), '\n') +
               1;
    }

    QString Name_;
    QByteArray Bytes_;
    TStamp Seen_;
};

// The file's text in code page 1251, as the loader takes it. UTF-16 (by its
// byte order mark) and UTF-8 (as a spreadsheet saves it again) are recoded,
// "∞" cells first made "INF"; a character the code page has no byte for
// would be lost, so the file is refused at its line.
QByteArray Cp1251Text(const QString& fileName, const QByteArray& bytes) {
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    qsizetype mark = 0;
    if (bytes.startsWith(QByteArrayView("\xff\xfe\0\0", 4)) ||
        bytes.startsWith(QByteArrayView("\0\0\xfe\xff", 4)))
        Refuse(fileName, 1, QStringLiteral("кодировка UTF-32 не поддерживается"));
    if (bytes.startsWith("\xff\xfe") || bytes.startsWith("\xfe\xff")) {
        encoding = bytes.startsWith("\xff") ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
        mark = 2;
    } else if (DetectTextEncoding(bytes) == TTextEncoding::Utf8) {
        mark = bytes.startsWith("\xef\xbb\xbf") ? 3 : 0;
    } else {
        return bytes;
    }
    QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
    const QString text = decoder(QByteArrayView(bytes).sliced(mark));
    const bool utf16 = mark == 2;
    if (utf16 && (bytes.size() - mark) % 2 != 0)
        Refuse(fileName, text.count(u'\n') + 1,
               QStringLiteral("UTF-16 с нечётным числом байтов: файл обрезан"));
    QList<QStringView> lines = QStringView(text).split(u'\n');
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype l = 0; l < lines.size(); ++l) {
        QString line = lines[l].toString();
        if (decoder.hasError() && line.contains(QChar::ReplacementCharacter))
            Refuse(fileName, l + 1,
                   QStringLiteral("неверная последовательность байтов %1")
                       .arg(utf16 ? QStringLiteral("UTF-16") : QStringLiteral("UTF-8")));
        if (line.contains(u'∞')) {
            QStringList fields = line.split(u'\t');
            for (qsizetype f = kFirstIndicatorColumn - 1; f < fields.size(); ++f) {
                const QString cell = fields[f].trimmed();
                if (cell == u"∞" || cell == u"+∞")
                    fields[f] = QStringLiteral("INF");
                else if (cell == u"-∞" || cell == u"\u2212∞")
                    fields[f] = QStringLiteral("-INF");
            }
            line = fields.join(u'\t');
        }
        for (const QChar c : line)
            if (!Cp1251::canEncode(c))
                Refuse(fileName, l + 1,
                       QStringLiteral("знак «%1» (U+%2) нельзя записать в кодировке Windows-1251")
                           .arg(c)
                           .arg(c.unicode(), 4, 16, QLatin1Char('0')));
        if (l > 0)
            out += '\n';
        out += Cp1251::encode(line);
    }
    return out;
}

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
        else if (const std::optional<QByteArray> odd = NotANumberText(cell))
            key += *odd; // "nan" and "NAN" are one row
        else
            key += cell; // empty
    }
    return QUuid::createUuidV5(kRowNamespace, key).toString(QUuid::WithoutBraces);
}

struct TFileResult {
    qint64 Rows = 0;
    qint64 Added = 0;
    qint64 NotANumber = 0;
    bool Cancelled = false;
};

// The table rows that hold measurements. Every one is checked before the
// first is stored, so a file refused at its last line leaves nothing behind.
// notANumber counts their "no number" cells.
std::vector<int> CheckedRows(const QString& fileName, const TResultsTable& table,
                             ControlChart::TDateTimeReader& reader, qint64& notANumber) {
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
        for (int c = kFirstIndicatorColumn; c < TResultsTable::ColCount; ++c)
            notANumber += NotANumberText(row.Cell(c).trimmed()) ? 1 : 0;
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
    TFileBytes file(fileName);
    // A results file a spreadsheet saved again as UTF-8 or UTF-16: stored as
    // code page 1251 reads it, it would stay mojibake in the archive for
    // good. Its rows then get the keys of the file it came from, so they are
    // stored once.
    const QByteArray bytes = Cp1251Text(fileName, file.Bytes());
    CheckFields(fileName, bytes);
    TResultsTable table;
    try {
        LoadResultsText(table, bytes);
    } catch (const std::exception& e) {
        throw EArchiveError(QStringLiteral("Не удалось прочитать файл «%1»: %2")
                                .arg(Shown(fileName), QString::fromLocal8Bit(e.what()))
                                .toStdString());
    }
    ControlChart::TDateTimeReader reader{QLocale()};
    TFileResult result;
    const std::vector<int> rows = CheckedRows(fileName, table, reader, result.NotANumber);

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
                file.CheckUnchanged();
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
        file.CheckSame();
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
        result.NotANumber += file.NotANumber;
    }
    return result;
}

QString TArchiveImport::NotANumberNotice(qint64 cells) {
    if (cells == 0)
        return {};
    return QStringLiteral("Ячеек «не число» (NAN, INF, ∞): %1. Они записаны в архив без значения.")
        .arg(cells);
}
