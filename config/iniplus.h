#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <stdexcept>

// A failed write of the configuration file.
class EIniFileException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value (or name) the file cannot hold: text outside code page 1251, a line
// break. The file is left as it was; other keys can still be written.
class EIniValueError : public EIniFileException {
public:
    using EIniFileException::EIniFileException;
};

// The configuration file (profile rules): code page 1251, CR LF lines (LF-only
// files read fine), section and key names compared without regard to case,
// blanks around names and values ignored. Nothing is cached: every read scans
// the file and every write rewrites the file itself in place (its owner,
// rights and links stay; a folder the user may not write is no obstacle),
// changing only the line of the entry (a missing key goes after the last line of its section, a missing
// section to the end of the file). Only the first section of a name counts.
class TIniPlus {
public:
    explicit TIniPlus(QString fileName);   // touches no file
    ~TIniPlus();                           // Flush(), never throws
    TIniPlus(const TIniPlus&) = delete;
    TIniPlus& operator=(const TIniPlus&) = delete;

    const QString& FileName() const;

    // The value, at most 2047 characters; def when the file, section or key is
    // missing. A key present with an empty value reads as empty text.
    QString ReadText(const QString& section, const QString& key, const QString& def) const;
    // The value goes to the file as given (blanks at its ends are lost on
    // reading). Throws EIniFileException "Unable to write to <path>" when the file cannot
    // be read or written, and EIniValueError (with a reason appended) for
    // names or a value that cannot be stored: empty names, line breaks, '=' in
    // a key, ']' in a section, text outside code page 1251.
    void WriteText(const QString& section, const QString& key, const QString& value);

    // Decimal, or hexadecimal after "0x", "$" or "x"; optional sign and leading
    // blanks; def when the text is not such a number or leaves the signed
    // 32-bit range.
    qint32 ReadNumber(const QString& section, const QString& key, qint32 def) const;
    void WriteNumber(const QString& section, const QString& key, qint32 value);

    // ReadNumber with default 1 or 0, not 0 meaning true.
    bool ReadFlag(const QString& section, const QString& key, bool def) const;
    void WriteFlag(const QString& section, const QString& key, bool value);

    // Writes are never held back, so there is nothing left to flush.
    void Flush();

    // The same rules on the file's bytes in memory: what ReadText gives for
    // that text, and the text WriteText would leave (EIniValueError alike).
    static QString ReadTextFrom(QByteArrayView text, const QString& section, const QString& key,
                                const QString& def);
    static QByteArray WriteTextTo(QByteArrayView text, const QString& section, const QString& key,
                                  const QString& value);
    // ReadNumber's conversion of a value's text.
    static qint32 NumberFromText(const QString& text, qint32 def);

private:
    QString FFileName;
};
