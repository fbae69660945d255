#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include "results/TextEncoding.h"

#include <stdexcept>
#include <string>

class TResultsTable;

// A results file could not be read or written. ErrorCode() is 2 (not found),
// 3 (invalid name), 4 (too many open files), 5 (access denied), or for any
// other failure the operating system's error number, whose message is then
// "I/O error <number>" (also when that number is one of 2 to 5, as EIO is).
class EInOutError : public std::runtime_error {
public:
    EInOutError(int code, const std::string& msg);
    int ErrorCode() const { return m_code; }

private:
    int m_code = 0;
};

// 2 "File not found", 3 "Invalid filename", 4 "Too many open files",
// 5 "File access denied", any other N "I/O error N".
QString FileErrorMessage(int code);

// Clears the table, clears Modified and reads the file into rows 1.. (tab
// separated, one line per row, leniently: LF or CR LF, CRs dropped, Ctrl-Z
// ends the file, fields past the last column joined into it), then numbers
// the rows. A missing file (or a folder of that name) leaves the empty table
// and is no error. When the
// last line already holds a measurement (date field not empty), an empty
// entry row is kept behind it so the next measurement cannot overwrite it.
// On a read failure the rows read so far stay, unnumbered, and EInOutError
// is thrown. Read as UTF-8, the text is stored in code page 1251 as every
// cell is; a byte order mark is dropped, and characters the code page has
// no byte for are left out, as for names taken from the archive.
void LoadResultsFile(TResultsTable& table, const QString& fileName,
                     TTextEncoding encoding = TTextEncoding::Cp1251);

// Writes rows 1..RowCount-1 as 31 tab-separated fields and CR LF each. The
// file is replaced atomically: on failure the previous file is untouched,
// Modified is unchanged and EInOutError is thrown; on success Modified is
// cleared.
void SaveResultsFile(TResultsTable& table, const QString& fileName);

// The same two in memory: the table as LoadResultsFile leaves it for a file
// of these bytes, and the bytes SaveResultsFile writes for a table.
void LoadResultsText(TResultsTable& table, QByteArrayView bytes);
QByteArray ResultsText(const TResultsTable& table);

// Appends row's line as SaveResultsFile writes it (columns 1 to 31, tabs,
// CR LF) to out.
void AppendResultsLine(QByteArray& out, const TResultsTable& table, int row);
