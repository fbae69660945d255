#include "config/iniplus.h"

#include "config/Cp1251.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr qsizetype kMaxValueLength = 2047;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

QByteArrayView trimmed(QByteArrayView v) {
    qsizetype b = 0;
    qsizetype e = v.size();
    while (b < e && isBlank(v[b]))
        ++b;
    while (e > b && isBlank(v[e - 1]))
        --e;
    return v.sliced(b, e - b);
}

enum class LineKind { Blank, Section, Entry, Other };

struct ParsedLine {
    LineKind kind = LineKind::Blank;
    QByteArrayView name;
    QByteArrayView value;
};

ParsedLine parseLine(QByteArrayView raw) {
    const QByteArrayView line = trimmed(raw);
    ParsedLine out;
    if (line.isEmpty())
        return out;
    if (line[0] == '[') {
        const qsizetype close = line.indexOf(']');
        out.kind = LineKind::Section;
        out.name = trimmed(close < 0 ? line.sliced(1) : line.sliced(1, close - 1));
        return out;
    }
    const qsizetype eq = line.indexOf('=');
    if (eq < 0) {
        out.kind = LineKind::Other;
        return out;
    }
    out.kind = LineKind::Entry;
    out.name = trimmed(line.first(eq));
    out.value = trimmed(line.sliced(eq + 1));
    return out;
}

char16_t asciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
}

// Names are single-byte in the file, so a different length can never match.
// Latin names are compared on the spot; others go through Unicode folding.
bool sameName(QByteArrayView bytes, const QString& name) {
    if (bytes.size() != name.size())
        return false;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const char16_t u = name[i].unicode();
        if (b >= 0x80 || u >= 0x80)
            return Cp1251::decode(bytes).compare(name, Qt::CaseInsensitive) == 0;
        if (asciiLower(b) != asciiLower(u))
            return false;
    }
    return true;
}

// Where an entry stands in the file text.
struct Lookup {
    bool sectionFound = false;
    qsizetype sectionEnd = 0;          // just past the section's last non-blank line
    bool sectionEndHasBreak = true;    // that line ends with a line break
    bool keyFound = false;
    QByteArrayView keyName;            // as spelt in the file
    qsizetype keyLineEnd = 0;          // end of the key line before its break
    QByteArrayView value;
};

Lookup find(QByteArrayView text, const QString& section, const QString& key) {
    Lookup found;
    bool inSection = false;
    qsizetype pos = 0;
    while (pos < text.size()) {
        qsizetype nl = text.indexOf('\n', pos);
        const bool hasBreak = nl >= 0;
        if (!hasBreak)
            nl = text.size();
        qsizetype end = nl;
        if (hasBreak && end > pos && text[end - 1] == '\r')
            --end;
        const QByteArrayView raw = text.sliced(pos, end - pos);
        const qsizetype next = hasBreak ? nl + 1 : nl;
        const ParsedLine line = parseLine(raw);

        if (line.kind == LineKind::Section) {
            if (inSection)
                break;   // only the first section of that name counts
            if (sameName(line.name, section)) {
                inSection = true;
                found.sectionFound = true;
                found.sectionEnd = next;
                found.sectionEndHasBreak = hasBreak;
            }
        } else if (inSection && line.kind != LineKind::Blank) {
            found.sectionEnd = next;
            found.sectionEndHasBreak = hasBreak;
            if (line.kind == LineKind::Entry && sameName(line.name, key)) {
                found.keyFound = true;
                found.keyName = line.name;
                found.keyLineEnd = end;
                found.value = line.value;
                break;
            }
        }
        pos = next;
    }
    return found;
}

// The file's bytes for reading: mapped when possible, so a huge file costs no copy.
class FileText {
public:
    explicit FileText(const QString& path) : file(path) {
        if (!file.open(QIODevice::ReadOnly))
            return;
        const qint64 size = file.size();
        if (size > 0) {
            if (uchar* p = file.map(0, size)) {
                view = QByteArrayView(reinterpret_cast<const char*>(p), qsizetype(size));
                return;
            }
        }
        copy = file.readAll();
        view = copy;
    }
    QByteArrayView text() const { return view; }

private:
    QFile file;
    QByteArray copy;
    QByteArrayView view;
};

int digitValue(QChar c, int base) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (base == 16 && u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (base == 16 && u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

qint32 textToNumber(QString text, qint32 def) {
    if (text.size() >= 3 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X'))
        text.replace(0, 2, u'$');

    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return def;

    constexpr qint64 kLimit = qint64(1) << 32;   // beyond any signed 32-bit value
    qint64 magnitude = 0;
    for (; i < n; ++i) {
        const int digit = digitValue(text[i], base);
        if (digit < 0)
            return def;
        magnitude = magnitude * base + digit;
        if (magnitude > kLimit)
            return def;
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return def;
    return qint32(value);
}

// True for empty text and for text whose last line holds only blanks.
bool lastLineBlank(QByteArrayView text) {
    if (text.endsWith('\n'))
        text.chop(1);
    return trimmed(text.sliced(text.lastIndexOf('\n') + 1)).isEmpty();
}

bool hasLineBreak(const QString& s) {
    return s.contains(u'\n') || s.contains(u'\r');
}

} // namespace

TIniPlus::TIniPlus(QString fileName) : FFileName(std::move(fileName)) {}

TIniPlus::~TIniPlus() {
    try {
        Flush();
    } catch (...) {
        // A destructor must not throw; writes already reported their own failures.
    }
}

const QString& TIniPlus::FileName() const {
    return FFileName;
}

QString TIniPlus::ReadText(const QString& section, const QString& key, const QString& def) const {
    const FileText file(FFileName);
    return ReadTextFrom(file.text(), section, key, def);
}

QString TIniPlus::ReadTextFrom(QByteArrayView text, const QString& section, const QString& key,
                               const QString& def) {
    const Lookup found = find(text, section.trimmed(), key.trimmed());
    if (!found.keyFound)
        return def;
    return Cp1251::decode(found.value.first(std::min(found.value.size(), kMaxValueLength)));
}

namespace {

// A section, key and value in the file's bytes, or EIniValueError.
struct EncodedEntry {
    QString section;
    QString key;
    QByteArray sectionBytes;
    QByteArray keyBytes;
    QByteArray valueBytes;
};

EncodedEntry encodeEntry(const QString& section, const QString& key, const QString& value,
                         const QString& fileName) {
    const auto refuse = [&fileName](const char* reason) {
        throw EIniValueError(QStringLiteral("Unable to write to %1: %2")
                                 .arg(fileName, QLatin1String(reason))
                                 .toStdString());
    };
    EncodedEntry e;
    e.section = section.trimmed();
    e.key = key.trimmed();
    if (e.section.isEmpty() || e.key.isEmpty())
        refuse("empty section or key name");
    if (hasLineBreak(e.section) || hasLineBreak(e.key) || hasLineBreak(value))
        refuse("line break in a name or value");
    if (e.section.contains(u']') || e.key.contains(u'=') || e.key.startsWith(u'['))
        refuse("invalid section or key name");
    bool encoded = true;
    e.sectionBytes = Cp1251::encode(e.section, &encoded);
    const bool sectionOk = encoded;
    e.keyBytes = Cp1251::encode(e.key, &encoded);
    const bool keyOk = encoded;
    e.valueBytes = Cp1251::encode(value, &encoded);
    if (!sectionOk || !keyOk || !encoded)
        refuse("text outside code page 1251");
    return e;
}

QByteArray withEntry(QByteArrayView text, const EncodedEntry& e) {
    const Lookup found = find(text, e.section, e.key);
    QByteArray out;
    out.reserve(text.size() + e.sectionBytes.size() + e.keyBytes.size() + e.valueBytes.size() + 8);
    if (found.keyFound) {
        // The key keeps its spelling from the file; only its line changes.
        out.append(text.first(found.keyName.data() - text.data()));
        out.append(found.keyName);
        out.append('=');
        out.append(e.valueBytes);
        out.append(text.sliced(found.keyLineEnd));
    } else if (found.sectionFound) {
        out.append(text.first(found.sectionEnd));
        if (!found.sectionEndHasBreak)
            out.append("\r\n");
        out.append(e.keyBytes).append('=').append(e.valueBytes).append("\r\n");
        out.append(text.sliced(found.sectionEnd));
    } else {
        out.append(text);
        if (!text.isEmpty() && !text.endsWith('\n'))
            out.append("\r\n");
        if (!lastLineBlank(out))
            out.append("\r\n");   // a blank line before the new section
        out.append('[').append(e.sectionBytes).append("]\r\n");
        out.append(e.keyBytes).append('=').append(e.valueBytes).append("\r\n");
    }
    return out;
}

} // namespace

QByteArray TIniPlus::WriteTextTo(QByteArrayView text, const QString& section, const QString& key,
                                 const QString& value) {
    return withEntry(text, encodeEntry(section, key, value, QStringLiteral("memory")));
}

void TIniPlus::WriteText(const QString& section, const QString& key, const QString& value) {
    const QString failure = QStringLiteral("Unable to write to %1").arg(FFileName);
    // Refused before the file is touched.
    const EncodedEntry entry = encodeEntry(section, key, value, FFileName);

    // The file itself is rewritten, not replaced: a replacement would need
    // the right to write the folder and would lose the file's owner and links.
    if (QFileInfo(FFileName).isDir())
        throw EIniFileException(failure.toStdString());
    QFile file(FFileName);
    if (!file.open(QIODevice::ReadWrite))
        throw EIniFileException(failure.toStdString());
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EIniFileException(failure.toStdString());
    const QByteArray out = withEntry(text, entry);

    // Only the bytes from the first change on are written.
    const auto diff = std::mismatch(text.begin(), text.end(), out.begin(), out.end());
    const qsizetype same = diff.first - text.begin();
    if (!file.seek(same) || file.write(out.constData() + same, out.size() - same) != out.size() - same
        || !file.resize(out.size()) || !file.flush())
        throw EIniFileException(failure.toStdString());
}

qint32 TIniPlus::NumberFromText(const QString& text, qint32 def) {
    return textToNumber(text, def);
}

qint32 TIniPlus::ReadNumber(const QString& section, const QString& key, qint32 def) const {
    return textToNumber(ReadText(section, key, QString()), def);
}

void TIniPlus::WriteNumber(const QString& section, const QString& key, qint32 value) {
    WriteText(section, key, QString::number(value));
}

bool TIniPlus::ReadFlag(const QString& section, const QString& key, bool def) const {
    return ReadNumber(section, key, def ? 1 : 0) != 0;
}

void TIniPlus::WriteFlag(const QString& section, const QString& key, bool value) {
    WriteText(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TIniPlus::Flush() {}
