#include "register/ResultsFile.h"

#include "register/ResultsTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <array>
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <vector>

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
class LineParser {
public:
    // Returns false once Ctrl-Z has ended the file.
    bool Feed(const char* p, const char* end) {
        while (p < end) {
            const char* q = p;
            while (q < end && !isSpecial(*q))
                ++q;
            if (q > p) {
                append(p, q - p);
                m_lineStarted = true;
            }
            if (q == end)
                break;
            switch (*q) {
            case '\n':
                finishLine();
                break;
            case '\t':
                m_lineStarted = true;
                if (m_col < kLastCol)
                    m_row.Ends[size_t(m_col++)] = quint32(m_line.size());
                break;
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

    // The last line needs no line end.
    void Finish() {
        if (m_lineStarted)
            finishLine();
    }

    std::vector<Row>& Rows() { return m_rows; }
    void Reserve(qsizetype rows) { m_rows.reserve(size_t(rows)); }

private:
    static bool isSpecial(char c) { return c == '\n' || c == '\t' || c == '\r' || c == '\x1a'; }

    void append(const char* p, qsizetype n) {
        if (m_line.size() + n > qsizetype(std::numeric_limits<quint32>::max()))
            throw std::overflow_error("Row too long");
        m_line.append(p, n);
    }

    void finishLine() {
        for (int c = m_col; c <= kLastCol; ++c)
            m_row.Ends[size_t(c)] = quint32(m_line.size());
        // Column 0 (the sample number) stays empty: Ends[0] is 0.
        m_row.Bytes = m_line.isEmpty() ? QByteArray() : QByteArray(m_line.constData(), m_line.size());
        m_rows.push_back(std::move(m_row));
        m_row = Row();
        m_line.resize(0); // keeps the buffer for the next line
        m_col = 1;
        m_lineStarted = false;
    }

    std::vector<Row> m_rows;
    Row m_row;
    QByteArray m_line;
    int m_col = 1;
    bool m_lineStarted = false;
};

// Puts the parsed rows below the title row; row 1 keeps its number as
// ClearTable left it.
void storeRows(TResultsTable& table, std::vector<Row>& rows, bool keepSpare) {
    if (rows.empty())
        return;
    rows.front().SetCell(0, table.CellView(0, 1));
    if (keepSpare)
        rows.emplace_back();
    table.ReplaceRowsFrom(1, std::move(rows));
}

// The end of every load: the spare row stays only behind a measurement, and
// the rows are numbered.
void finishLoad(TResultsTable& table, LineParser& parser) {
    parser.Finish();
    std::vector<Row>& rows = parser.Rows();
    const bool lastIsMeasurement = !rows.empty() && !rows.back().Cell(kDateCol).isEmpty();
    storeRows(table, rows, lastIsMeasurement);
    table.RenumberRows();
}

// One row's line: columns 1 to 31 tab-separated, CR LF.
void appendRow(QByteArray& out, const TResultsTable& table, int row) {
    // The row's cells lie back to back: copy them, a tab at each cell's end.
    const Row& cells = table.RowAt(row);
    const char* bytes = cells.Bytes.constData();
    quint32 begin = cells.Ends[0];
    for (int c = 1; c < kLastCol; ++c) {
        out.append(bytes + begin, qsizetype(cells.Ends[size_t(c)] - begin));
        out.append('\t');
        begin = cells.Ends[size_t(c)];
    }
    out.append(bytes + begin, qsizetype(cells.Ends[size_t(kLastCol)] - begin));
    out.append("\r\n", 2);
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
    for (int c = 1; c < TResultsTable::ColCount; ++c) {
        out.append(table.CellView(c, row));
        out.append(c < kLastCol ? '\t' : '\r');
    }
    out.append('\n');
}

void LoadResultsFile(TResultsTable& table, const QString& fileName) {
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
    for (;;) {
        errno = 0;
        const qint64 got = file.read(chunk.data(), kChunk);
        if (got < 0) {
            const int err = errno;
            // What was read stays, with a spare row behind, unnumbered.
            parser.Finish();
            storeRows(table, parser.Rows(), true);
            throw mapFileError(fileName, Access::Read, err);
        }
        if (got == 0 || !parser.Feed(chunk.data(), chunk.data() + got))
            break;
    }
    finishLoad(table, parser);
}

void LoadResultsText(TResultsTable& table, QByteArrayView bytes) {
    table.ClearTable();
    table.SetModified(false);
    LineParser parser;
    parser.Reserve(bytes.count('\n') + 1);
    parser.Feed(bytes.data(), bytes.data() + bytes.size());
    finishLoad(table, parser);
}

QByteArray ResultsText(const TResultsTable& table) {
    QByteArray out;
    for (int r = 1; r < table.RowCount(); ++r)
        appendRow(out, table, r);
    return out;
}

void SaveResultsFile(TResultsTable& table, const QString& fileName) {
    if (fileName.isEmpty())
        throw fileError(3);

    QSaveFile file(fileName);
    errno = 0;
    // Unbuffered: every write reaches the OS at once, so errno belongs to it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw mapFileError(fileName, Access::Write, errno);

    QByteArray out;
    out.reserve(kChunk + 4096);
    const auto flush = [&] {
        errno = 0;
        if (file.write(out) != out.size())
            throw mapFileError(fileName, Access::Write, errno);
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
    errno = 0;
    if (!file.commit())
        throw mapFileError(fileName, Access::Write, errno);
    table.SetModified(false);
}
