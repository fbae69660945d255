// Any bytes as a results file: loading never crashes, and the table it gives
// survives a save and a second load unchanged. Explored in memory; the
// regression run also goes through real files, which must agree.
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzMode.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>

namespace {

FUZZ_ORACLE bool sameTable(const TResultsTable& a, const TResultsTable& b) {
    if (a.RowCount() != b.RowCount())
        return false;
    for (int r = 1; r < a.RowCount(); ++r)
        if (a.RowAt(r).Bytes != b.RowAt(r).Bytes || a.RowAt(r).Ends != b.RowAt(r).Ends)
            return false;
    return true;
}

// Whether row holds the line read the plain way: CRs dropped, split at
// tabs, fields past the last column joined into it. Walks the line's fields
// against the row's texts, which lie back to back in its block.
FUZZ_ORACLE bool rowHoldsLine(const TResultsTable& table, int row, QByteArrayView raw) {
    // A buffer kept between runs, so most runs allocate nothing here.
    static QByteArray withoutCr;
    if (raw.contains('\r')) {
        withoutCr.resize(0);
        for (qsizetype pos = 0;;) {
            const qsizetype cr = raw.indexOf('\r', pos);
            withoutCr.append(raw.sliced(pos, (cr < 0 ? raw.size() : cr) - pos));
            if (cr < 0)
                break;
            pos = cr + 1;
        }
        raw = withoutCr;
    }
    constexpr int last = TResultsTable::ColCount - 1;
    const TResultsTable::Row& cells = table.RowAt(row);
    const QByteArrayView held(cells.Bytes);
    qsizetype at = cells.Ends[0]; // where the next field's text must be
    int col = 1;
    qsizetype pos = 0;
    for (;;) {
        const qsizetype tab = raw.indexOf('\t', pos);
        const qsizetype end = tab < 0 ? raw.size() : tab;
        const qsizetype n = end - pos;
        if (held.size() - at < n || held.sliced(at, n) != raw.sliced(pos, n))
            return false;
        at += n;
        pos = end + 1;
        if (col < last && qsizetype(cells.Ends[size_t(col++)]) != at)
            return false;
        if (tab < 0)
            break;
    }
    // The fields the line lacks are empty, and the row holds nothing more.
    for (; col <= last; ++col)
        if (qsizetype(cells.Ends[size_t(col)]) != at)
            return false;
    return at == held.size();
}

// What a load of these bytes must give: one row per line (cut at Ctrl-Z,
// split at LF, the last line needing no LF) holding its fields, rows
// numbered, and an empty entry row last, a spare one only behind a line
// that holds a date.
FUZZ_ORACLE void checkLoaded(const TResultsTable& loaded, QByteArrayView bytes) {
    FUZZ_CHECK(!loaded.Modified());
    const qsizetype eof = bytes.indexOf('\x1a');
    if (eof >= 0)
        bytes.truncate(eof);
    int lines = 0;
    for (qsizetype pos = 0; pos < bytes.size();) {
        qsizetype nl = bytes.indexOf('\n', pos);
        if (nl < 0)
            nl = bytes.size();
        ++lines;
        FUZZ_CHECK(lines < loaded.RowCount());
        FUZZ_CHECK(rowHoldsLine(loaded, lines, bytes.sliced(pos, nl - pos)));
        pos = nl + 1;
    }
    const bool spare = lines > 0 && !loaded.CellView(2, lines).isEmpty();
    FUZZ_CHECK(loaded.RowCount() == (lines == 0 ? 2 : lines + 1 + (spare ? 1 : 0)));
    if (spare || lines == 0) {
        // Every cell but the number is empty: each ends where the one before it does.
        const TResultsTable::Row& entry = loaded.RowAt(loaded.RowCount() - 1);
        for (int c = 1; c < TResultsTable::ColCount; ++c)
            FUZZ_CHECK(entry.Ends[size_t(c)] == entry.Ends[size_t(c - 1)]);
        FUZZ_CHECK(qsizetype(entry.Ends[TResultsTable::ColCount - 1]) == entry.Bytes.size());
    }
    char number[16];
    for (int r = 1; r < loaded.RowCount(); ++r) {
        const auto [end, ec] = std::to_chars(number, number + sizeof number, r);
        FUZZ_CHECK(ec == std::errc() && loaded.CellView(0, r) == QByteArrayView(number, end - number));
    }
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    // In memory: load, save, load the saved text into a second table. Both
    // tables are kept between runs and end each run emptied by a load over
    // them: a run then frees what it allocates and libFuzzer has no cause to
    // run it twice looking for a leak.
    static TResultsTable table;
    static TResultsTable again;
    table.SetModified(true);
    LoadResultsText(table, bytes);
    checkLoaded(table, bytes);
    const QByteArray text = ResultsText(table);
    // Same rows, same texts: the table survives a save and a load.
    again.SetModified(true);
    LoadResultsText(again, text);
    FUZZ_CHECK(!again.Modified());
    FUZZ_CHECK(sameTable(table, again));

    if (FuzzReplaying()) {
        // The regression run also goes through real files: the same table,
        // and the file saved holds the same bytes.
        static QTemporaryDir dir;
        FUZZ_CHECK(dir.isValid());
        const QString input = dir.filePath(QStringLiteral("input.txt"));
        const QString saved = dir.filePath(QStringLiteral("saved.txt"));
        {
            QFile file(input);
            FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            FUZZ_CHECK(file.write(bytes.data(), bytes.size()) == bytes.size());
        }
        TResultsTable fromFile;
        LoadResultsFile(fromFile, input);
        checkLoaded(fromFile, bytes);
        FUZZ_CHECK(sameTable(fromFile, table));
        fromFile.SetModified(true);
        SaveResultsFile(fromFile, saved);
        FUZZ_CHECK(!fromFile.Modified());
        FUZZ_CHECK(readFile(saved) == text);
        TResultsTable reloaded;
        LoadResultsFile(reloaded, saved);
        FUZZ_CHECK(sameTable(fromFile, reloaded));
    }

    // Emptied by a load over them: nothing of the rows stays behind.
    LoadResultsText(table, {});
    checkLoaded(table, {});
    LoadResultsText(again, {});
    return 0;
}
