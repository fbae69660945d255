// Any bytes as a results file: loading never crashes, and the table it gives
// survives a save and a second load unchanged. Explored in memory; the
// regression run also goes through real files, which must agree.
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzMode.h"
#include "register/ResultsFile.h"
#include "register/ResultsTable.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>

namespace {

bool sameTable(const TResultsTable& a, const TResultsTable& b) {
    if (a.RowCount() != b.RowCount())
        return false;
    for (int r = 1; r < a.RowCount(); ++r)
        if (a.RowAt(r).Bytes != b.RowAt(r).Bytes || a.RowAt(r).Ends != b.RowAt(r).Ends)
            return false;
    return true;
}

// Whether row holds the line read the plain way: CRs dropped, split at
// tabs, fields past the last column joined into it. Built as a whole row
// (texts back to back, where each ends) and compared at once.
bool rowHoldsLine(const TResultsTable& table, int row, QByteArrayView raw) {
    QByteArray withoutCr;
    if (raw.contains('\r')) {
        withoutCr = raw.toByteArray();
        withoutCr.replace('\r', QByteArray());
        raw = withoutCr;
    }
    constexpr int last = TResultsTable::ColCount - 1;
    QByteArray bytes;
    bytes.reserve(raw.size());
    std::array<qsizetype, TResultsTable::ColCount> ends{};
    int col = 1;
    qsizetype pos = 0;
    for (;;) {
        qsizetype tab = raw.indexOf('\t', pos);
        const qsizetype end = tab < 0 ? raw.size() : tab;
        bytes.append(raw.sliced(pos, end - pos));
        pos = end + 1;
        if (col < last)
            ends[size_t(col++)] = bytes.size();
        if (tab < 0)
            break;
    }
    for (; col <= last; ++col)
        ends[size_t(col)] = bytes.size();
    ends[size_t(last)] = bytes.size();

    const TResultsTable::Row& cells = table.RowAt(row);
    const qsizetype start = cells.Ends[0];
    if (cells.Bytes.size() - start != bytes.size() || cells.Bytes.sliced(start) != bytes)
        return false;
    for (int c = 1; c <= last; ++c)
        if (qsizetype(cells.Ends[size_t(c)]) - start != ends[size_t(c)])
            return false;
    return true;
}

// What a load of these bytes must give: one row per line (cut at Ctrl-Z,
// split at LF, the last line needing no LF) holding its fields, rows
// numbered, and an empty entry row last, a spare one only behind a line
// that holds a date.
void checkLoaded(const TResultsTable& loaded, QByteArrayView bytes) {
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
        const int entry = loaded.RowCount() - 1;
        for (int c = 1; c < TResultsTable::ColCount; ++c)
            FUZZ_CHECK(loaded.CellView(c, entry).isEmpty());
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

    // In memory: load, save, load again. The tables are kept between runs,
    // as the window keeps its own: every load starts by clearing.
    static TResultsTable loaded;
    static TResultsTable reloaded;
    loaded.SetModified(true);
    LoadResultsText(loaded, bytes);
    checkLoaded(loaded, bytes);
    const QByteArray text = ResultsText(loaded);
    LoadResultsText(reloaded, text);
    // Same rows, same texts: the table survives a save and a load.
    FUZZ_CHECK(sameTable(loaded, reloaded));
    if (!FuzzThroughFiles())
        return 0;

    // The regression run also goes through real files: the same table, and
    // the file saved holds the same bytes.
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
    FUZZ_CHECK(sameTable(fromFile, loaded));
    fromFile.SetModified(true);
    SaveResultsFile(fromFile, saved);
    FUZZ_CHECK(!fromFile.Modified());
    FUZZ_CHECK(readFile(saved) == text);
    TResultsTable again;
    LoadResultsFile(again, saved);
    FUZZ_CHECK(sameTable(fromFile, again));
    return 0;
}
