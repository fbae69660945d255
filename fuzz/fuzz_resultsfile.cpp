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
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

bool sameTable(const TResultsTable& a, const TResultsTable& b) {
    if (a.RowCount() != b.RowCount())
        return false;
    for (int r = 1; r < a.RowCount(); ++r)
        for (int c = 0; c < TResultsTable::ColCount; ++c)
            if (a.CellView(c, r) != b.CellView(c, r))
                return false;
    return true;
}

// The file's rows read the plain way: cut at Ctrl-Z, split at LF, CRs
// dropped, fields past the last column joined into it.
std::vector<std::vector<QByteArray>> referenceRows(QByteArrayView bytes) {
    std::vector<std::vector<QByteArray>> rows;
    const qsizetype eof = bytes.indexOf('\x1a');
    if (eof >= 0)
        bytes.truncate(eof);
    if (bytes.isEmpty())
        return rows;
    QList<QByteArray> lines = bytes.toByteArray().split('\n');
    if (bytes.endsWith('\n'))
        lines.removeLast();
    for (QByteArray& line : lines) {
        line.replace('\r', QByteArray());
        std::vector<QByteArray> fields(TResultsTable::ColCount);
        const QList<QByteArray> parts = line.split('\t');
        for (qsizetype i = 0; i < parts.size(); ++i)
            fields[size_t(std::min<qsizetype>(i + 1, TResultsTable::ColCount - 1))] += parts[i];
        rows.push_back(std::move(fields));
    }
    return rows;
}

// What a load of these bytes must give.
void checkLoaded(const TResultsTable& loaded, QByteArrayView bytes) {
    FUZZ_CHECK(loaded.RowCount() >= 2);
    FUZZ_CHECK(!loaded.Modified());
    // The entry row is last and never holds a measurement.
    FUZZ_CHECK(loaded.CellView(2, loaded.RowCount() - 1).isEmpty());
    for (int r = 1; r < loaded.RowCount(); ++r) {
        FUZZ_CHECK(loaded.Cell(0, r) == QByteArray::number(r));
        for (int c = 1; c < TResultsTable::ColCount; ++c) {
            const QByteArrayView cell = loaded.CellView(c, r);
            FUZZ_CHECK(!cell.contains('\t') && !cell.contains('\n') && !cell.contains('\r')
                       && !cell.contains('\x1a'));
        }
    }

    const auto expected = referenceRows(bytes);
    if (expected.empty()) {
        FUZZ_CHECK(loaded.RowCount() == 2);
    } else {
        // A spare entry row only behind a last line that holds a date.
        const bool spare = !expected.back()[2].isEmpty();
        FUZZ_CHECK(loaded.RowCount() == int(expected.size()) + 1 + (spare ? 1 : 0));
        for (size_t i = 0; i < expected.size(); ++i)
            for (int c = 1; c < TResultsTable::ColCount; ++c)
                FUZZ_CHECK(loaded.CellView(c, int(i) + 1) == expected[i][size_t(c)]);
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

    // In memory: load, save, load again.
    TResultsTable loaded;
    LoadResultsText(loaded, bytes);
    checkLoaded(loaded, bytes);
    const QByteArray text = ResultsText(loaded);
    TResultsTable reloaded;
    LoadResultsText(reloaded, text);
    FUZZ_CHECK(sameTable(loaded, reloaded));
    FUZZ_CHECK(ResultsText(reloaded) == text);
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
