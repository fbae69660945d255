#include "results/ResultsFile.h"

#include "config/Cp1251.h"
#include "config/SaveFile.h"
#include "results/ResultsTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Row = TResultsTable::Row;

constexpr int kLastCol = TResultsTable::ColCount - 1;
constexpr int kDateCol = 2;
constexpr qint64 kChunk = 1 << 20;

enum class Access { Read, Write };

EInOutError fileError(int code) {
    return EInOutError(code, FileErrorMessage(code).toStdString());
}

// Maps an OS failure on fileName to the register's file error by its meaning.
// savedErrno is errno taken right after the failing call; where Qt refuses
// an operation by itself (a directory, a read-only target) errno says
// nothing, so the file system is asked instead.
EInOutError mapFileError(const QString& fileName, Access access, int savedErrno) {
    if (fileName.isEmpty())
        return fileError(3);
    switch (savedErrno) {
    case ENOENT:
        return fileError(access == Access::Read ? 2 : 3);
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
    case ELOOP:
        return fileError(3);
    case EMFILE:
    case ENFILE:
        return fileError(4);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return fileError(5);
    default:
        break;
    }
    const QFileInfo info(fileName);
    if (access == Access::Read) {
        if (!info.exists())
            return fileError(2);
        if (info.isDir() || !info.isReadable())
            return fileError(5);
    } else {
        const QFileInfo folder(info.absolutePath());
        if (!folder.exists() || !folder.isDir())
            return fileError(3);
        if (info.isDir() || (info.exists() && !info.isWritable()) || !folder.isWritable())
            return fileError(5);
    }
    // The OS number may coincide with one of the codes above (EIO is 5), so
    // the generic text is built here rather than looked up.
    const int code = savedErrno != 0 ? savedErrno : EIO;
    return EInOutError(code, QStringLiteral("I/O error %1").arg(code).toStdString());
}

// Splits the file's bytes into rows as they arrive, in chunks of any size.
// Each line is read straight into the last row, which gets its number as the
// line starts: no row is copied or built twice, and a load needs no second
// pass to number them.
class LineParser {
public:
    // rows: how many rows to make room for, where known. Row 0 holds the
    // title row's place, so the rows can become the table as they are.
    explicit LineParser(qsizetype rows = 0) {
        m_rows.reserve(size_t(rows) + 1);
        m_rows.emplace_back();
        m_line.reserve(256); // a full line of the register; longer ones grow it
        openRow();
    }

    // Returns false once Ctrl-Z has ended the file.
    bool Feed(const char* p, const char* end) {
        while (p < end) {
            const char* q = skipText(p, end);
            if (q > p) {
                append(p, q - p);
                m_lineStarted = true;
            }
            if (q == end)
                break;
            switch (*q) {
            case '\n':
                closeRow();
                openRow();
                break;
            case '\t': {
                m_lineStarted = true;
                // Empty fields come in runs (a saved row has a tab for every
                // column): the whole run at once.
                const char* r = q + 1;
                while (end - r >= 8 && word(r) == kEight * '\t')
                    r += 8;
                while (r != end && *r == '\t')
                    ++r;
                const int last = int(std::min<qsizetype>(m_col + (r - q), kLastCol));
                endColumns(last);
                m_col = std::max(m_col, last);
                q = r - 1;
                break;
            }
            case '\x1a':
                return false;
            default: // CR: dropped, whether or not LF follows
                m_lineStarted = true;
                break;
            }
            p = q + 1;
        }
        return true;
    }

    // Called once, at the end: the last line needs no line end. An empty
    // row stays open behind the rows read.
    void Finish() {
        if (m_lineStarted) {
            closeRow();
            openRow();
        }
    }

    // After Finish: the last row read, if any.
    const Row* LastRead() const { return m_rows.size() >= 3 ? &m_rows[m_rows.size() - 2] : nullptr; }

    // After Finish: the title row's place, the rows read, and behind them an
    // empty row, numbered, when withEntryRow.
    std::vector<Row>& Rows(bool withEntryRow) {
        if (withEntryRow)
            closeRow();
        else
            m_rows.pop_back();
        m_open = nullptr;
        return m_rows;
    }

private:
    static bool isSpecial(char c) { return c == '\n' || c == '\t' || c == '\r' || c == '\x1a'; }

    static constexpr quint64 kEight = 0x0101010101010101; // times a byte: that byte eight times

    static quint64 word(const char* p) {
        quint64 w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }

    // The first special byte at or after q, or end. Text is passed eight
    // bytes at a time while none of them is below Ctrl-Z (0x1a), which all
    // the special bytes are.
    static const char* skipText(const char* q, const char* end) {
        for (;;) {
            while (end - q >= 8) {
                const quint64 w = word(q);
                if (((w - kEight * 0x1b) & ~w & (kEight * 0x80)) != 0)
                    break; // a byte below 0x1b among them
                q += 8;
            }
            const char* stop = end - q > 8 ? q + 8 : end;
            for (; q < stop; ++q) {
                if (isSpecial(*q))
                    return q;
            }
            if (q == end)
                return q;
        }
    }

    // The open row's columns from the current one up to `to` (not included)
    // end where the line now does.
    void endColumns(int to) {
        if (to > m_col)
            std::fill(m_open->Ends.begin() + m_col, m_open->Ends.begin() + to, quint32(m_line.size()));
    }

    void append(const char* p, qsizetype n) {
        if (m_line.size() + n > qsizetype(std::numeric_limits<quint32>::max()))
            throw std::overflow_error("Row too long");
        m_line.append(p, n);
    }

    // A new last row for the next line; column 0 gets its number.
    void openRow() {
        m_open = &m_rows.emplace_back();
        countRow();
        m_line.append(m_number.data() + m_digits, qsizetype(m_number.size()) - m_digits);
        m_open->Ends[0] = quint32(m_line.size());
    }

    // The row number in decimal, right-aligned in m_number, one up: the
    // last digit changes, rarely more.
    void countRow() {
        size_t i = m_number.size();
        while (i > size_t(m_digits) && m_number[i - 1] == '9')
            m_number[--i] = '0';
        if (i == size_t(m_digits)) {
            m_number[--i] = '1';
            m_digits = int(i);
        } else {
            ++m_number[i - 1];
        }
    }

    void closeRow() {
        endColumns(kLastCol + 1);
        m_open->Bytes = QByteArray(m_line.constData(), m_line.size());
        m_line.resize(0); // keeps the buffer for the next line
        m_col = 1;
        m_lineStarted = false;
    }

    std::vector<Row> m_rows;
    Row* m_open = nullptr; // the last row, while its line is read
    std::array<char, 20> m_number{}; // any size_t fits
    int m_digits = 20; // where its digits start: none yet, row 0
    QByteArray m_line;
    int m_col = 1;
    bool m_lineStarted = false;
};

// The end of every load: the rows read below the title row, numbered, and
// the entry row last: a spare one only behind a measurement, and the only
// row of an empty file. Replaces every row below the titles.
void finishLoad(TResultsTable& table, LineParser& parser) {
    parser.Finish();
    const Row* last = parser.LastRead();
    table.ReplaceRowsBelowTitles(std::move(parser.Rows(!last || !last->Cell(kDateCol).isEmpty())));
}

// After a read failure the rows read so far stay, with a spare row behind
// but not renumbered: row 1 keeps the number ClearTable left it, the others
// have none.
void storeUnnumbered(TResultsTable& table, LineParser& parser) {
    parser.Finish();
    std::vector<Row>& rows = parser.Rows(false);
    if (rows.size() < 2)
        return;
    for (Row& row : rows)
        row.SetCell(0, {});
    rows[1].SetCell(0, table.CellView(0, 1));
    rows.emplace_back();
    table.ReplaceRowsBelowTitles(std::move(rows));
}

// The bytes of a row's line: its texts (column 0 is not saved), a tab
// between each two of the 31 fields, CR LF.
qsizetype lineSize(const Row& cells) {
    return cells.Bytes.size() - qsizetype(cells.Ends[0]) + (kLastCol - 1) + 2;
}

// One row's line: columns 1 to 31 tab-separated, CR LF.
void appendRow(QByteArray& out, const TResultsTable& table, int row) {
    // The row's cells lie back to back: grow the output once and copy them
    // into it, a tab at each cell's end.
    const Row& cells = table.RowAt(row);
    const qsizetype at = out.size();
    out.resize(at + lineSize(cells));
    char* to = out.data() + at;
    // Cells past the last one with text (all of them in an entry row) are
    // only their tabs: found by halving, as the ends never decrease.
    const quint32 rowEnd = cells.Ends[size_t(kLastCol)];
    int filled = 0;
    for (int step = 16; step > 0; step /= 2) {
        if (filled + step <= kLastCol && cells.Ends[size_t(filled + step - 1)] != rowEnd)
            filled += step;
    }
    // Now cell filled + 1 onwards are empty, and cell filled is not (or is 0).
    const char* bytes = cells.Bytes.constData();
    quint32 begin = cells.Ends[0];
    for (int c = 1; c <= filled; ++c) {
        const quint32 end = cells.Ends[size_t(c)];
        if (end != begin) {
            std::memcpy(to, bytes + begin, end - begin);
            to += end - begin;
        }
        *to++ = '\t';
        begin = end;
    }
    std::memset(to, '\t', size_t(kLastCol - filled));
    to += kLastCol - filled;
    // The last field has CR LF where the others have their tab.
    to[-1] = '\r';
    *to = '\n';
}

} // namespace

EInOutError::EInOutError(int code, const std::string& msg) : std::runtime_error(msg), m_code(code) {}

QString FileErrorMessage(int code) {
    switch (code) {
    case 2:
        return QStringLiteral("File not found");
    case 3:
        return QStringLiteral("Invalid filename");
    case 4:
        return QStringLiteral("Too many open files");
    case 5:
        return QStringLiteral("File access denied");
    default:
        return QStringLiteral("I/O error %1").arg(code);
    }
}

void AppendResultsLine(QByteArray& out, const TResultsTable& table, int row) {
    appendRow(out, table, row);
}

void LoadResultsFile(TResultsTable& table, const QString& fileName, TTextEncoding encoding) {
    table.ClearTable();
    table.SetModified(false);
    // A folder is no results file: it loads like a missing one, and saving
    // to its name fails later with the usual error.
    if (fileName.isEmpty() || !QFileInfo::exists(fileName) || QFileInfo(fileName).isDir()) {
        table.RenumberRows();
        return;
    }

    QFile file(fileName);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw mapFileError(fileName, Access::Read, errno);

    LineParser parser;
    std::vector<char> chunk(static_cast<size_t>(kChunk));
    // Keeps a character split between two chunks, and drops the byte order mark.
    QStringDecoder utf8(QStringDecoder::Utf8);
    QByteArray encoded;
    for (;;) {
        errno = 0;
        const qint64 got = file.read(chunk.data(), kChunk);
        if (got < 0) {
            const int err = errno;
            storeUnnumbered(table, parser);
            throw mapFileError(fileName, Access::Read, err);
        }
        if (got == 0)
            break;
        const char* begin = chunk.data();
        const char* end = begin + got;
        if (encoding == TTextEncoding::Utf8) {
            encoded = Cp1251::encode(QString(utf8.decode(QByteArrayView(begin, end))));
            begin = encoded.constData();
            end = begin + encoded.size();
        }
        if (!parser.Feed(begin, end))
            break;
    }
    finishLoad(table, parser);
}

void LoadResultsText(TResultsTable& table, QByteArrayView bytes) {
    // The load replaces every row below the titles in one go, so the table
    // needs no clearing first; only a failure leaves it cleared, as a file's
    // load would.
    table.SetModified(false);
    try {
        // Every line, the last one without LF, and the entry row.
        LineParser parser(bytes.count('\n') + 2);
        parser.Feed(bytes.data(), bytes.data() + bytes.size());
        finishLoad(table, parser);
    } catch (...) {
        table.ClearTable();
        throw;
    }
}

QByteArray ResultsText(const TResultsTable& table) {
    qsizetype size = 0;
    for (int r = 1; r < table.RowCount(); ++r)
        size += lineSize(table.RowAt(r));
    QByteArray out;
    out.reserve(size);
    for (int r = 1; r < table.RowCount(); ++r)
        appendRow(out, table, r);
    return out;
}

void SaveResultsFile(TResultsTable& table, const QString& fileName) {
    if (fileName.isEmpty())
        throw fileError(3);

    TSaveFile file(fileName);
    if (!file.Open())
        throw mapFileError(fileName, Access::Write, file.ErrorCode());

    QByteArray out;
    out.reserve(kChunk + 4096);
    const auto flush = [&] {
        if (!file.Write(out))
            throw mapFileError(fileName, Access::Write, file.ErrorCode());
        out.resize(0);
    };
    const int rows = table.RowCount();
    for (int r = 1; r < rows; ++r) {
        appendRow(out, table, r);
        if (out.size() >= kChunk)
            flush();
    }
    if (!out.isEmpty())
        flush();
    // On disk with its folder before the recovery copy goes.
    if (!file.Commit())
        throw mapFileError(fileName, Access::Write, file.ErrorCode());
    table.SetModified(false);
}
