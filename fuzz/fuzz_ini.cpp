// Any bytes as the configuration file: reads never crash, numbers and flags
// follow the text, and a value written reads back without disturbing the
// other entries. Explored in memory; the regression run also goes through a
// real file and checks it holds the same bytes.
#include "config/Cp1251.h"
#include "config/iniplus.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzMode.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <vector>

namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r';
}

// An optional sign and 1 to 9 decimal digits: always a 32-bit number.
bool isPlainDecimal(const QString& text) {
    const qsizetype start = (text.startsWith(u'+') || text.startsWith(u'-')) ? 1 : 0;
    if (text.size() == start || text.size() - start > 9)
        return false;
    for (qsizetype i = start; i < text.size(); ++i)
        if (text[i] < u'0' || text[i] > u'9')
            return false;
    return true;
}

// What reading gives back of a written value: blanks at the ends dropped, at
// most 2047 characters.
QString readBack(const QString& value) {
    qsizetype b = 0;
    qsizetype e = value.size();
    while (b < e && isBlank(value[b]))
        ++b;
    while (e > b && isBlank(value[e - 1]))
        --e;
    return value.mid(b, e - b).left(2047);
}

// Names and a value taken from the input: the first two section names (text
// after a line's '[' up to ']') and key names (text before a line's '='), and
// the value of the first entry line (or the input's start).
struct Derived {
    QStringList sections;
    QStringList keys;
    QString value;
};

Derived derive(QByteArrayView bytes) {
    Derived d;
    bool haveValue = false;
    for (qsizetype pos = 0; pos <= bytes.size();) {
        qsizetype nl = bytes.indexOf('\n', pos);
        if (nl < 0)
            nl = bytes.size();
        const QByteArrayView line = bytes.sliced(pos, nl - pos);
        pos = nl + 1;
        const qsizetype open = line.indexOf('[');
        const qsizetype eq = line.indexOf('=');
        if (open >= 0 && (eq < 0 || open < eq)) {
            const qsizetype close = line.indexOf(']', open);
            if (d.sections.size() < 2)
                d.sections << Cp1251::decode(line.sliced(open + 1, (close < 0 ? line.size() : close) - open - 1));
        } else if (eq >= 0) {
            if (d.keys.size() < 2)
                d.keys << Cp1251::decode(line.first(eq));
            if (!haveValue) {
                d.value = Cp1251::decode(line.sliced(eq + 1));
                haveValue = true;
            }
        }
    }
    if (!haveValue)
        d.value = Cp1251::decode(bytes.first(std::min<qsizetype>(bytes.size(), 64)));
    return d;
}

// Whether two names given to the class find the same entry.
bool sameName(const QString& a, const QString& b) {
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

void writeFile(const QString& path, QByteArrayView bytes) {
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes.data(), bytes.size()) == bytes.size());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

// The texts differ in at most one line of the old one: what was taken out
// between the common beginning and end holds no line break.
bool onlyOneLineChanged(QByteArrayView before, QByteArrayView after) {
    const qsizetype shorter = std::min(before.size(), after.size());
    const qsizetype head = std::mismatch(before.begin(), before.begin() + shorter, after.begin()).first
                           - before.begin();
    const auto rb = std::make_reverse_iterator(before.end());
    const auto ra = std::make_reverse_iterator(after.end());
    const qsizetype tail = std::mismatch(rb, rb + (shorter - head), ra).first - rb;
    return !before.sliced(head, before.size() - head - tail).contains('\n');
}

// The configuration's bytes held in memory, under the rules of the file.
struct TMemoryIni {
    QByteArray text;

    QString ReadText(const QString& section, const QString& key, const QString& def) const {
        return TIniPlus::ReadTextFrom(text, section, key, def);
    }
    qint32 ReadNumber(const QString& section, const QString& key, qint32 def) const {
        return TIniPlus::NumberFromText(ReadText(section, key, QString()), def);
    }
    bool ReadFlag(const QString& section, const QString& key, bool def) const {
        return ReadNumber(section, key, def ? 1 : 0) != 0;
    }
    void WriteText(const QString& section, const QString& key, const QString& value) {
        text = TIniPlus::WriteTextTo(text, section, key, value);
    }
    void WriteNumber(const QString& section, const QString& key, qint32 value) {
        WriteText(section, key, QString::number(value));
    }
    void WriteFlag(const QString& section, const QString& key, bool value) {
        WriteText(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
    }
};

// The properties, for the file and for its bytes in memory alike. In memory
// the numbers come from the text read once (the file run checks that the
// reads agree), so exploring stays fast.
template <class Ini>
void check(Ini& ini, QByteArrayView bytes) {
    constexpr bool inMemory = std::is_same_v<Ini, TMemoryIni>;
    const Derived d = derive(bytes);
    // In memory the names come mostly from the input: that is where the
    // fuzzer finds its cases, and each name costs a scan of the text.
    const QStringList sections =
        (inMemory ? QStringList{QStringLiteral("Config")}
                  : QStringList{QStringLiteral("Config"), QStringLiteral("columns"), QStringLiteral("View")})
        + (inMemory ? d.sections.mid(0, 1) : d.sections);
    const QStringList keys =
        (inMemory ? QStringList{QStringLiteral("COM")}
                  : QStringList{QStringLiteral("COM"), QStringLiteral("FileName"),
                                QStringLiteral("DeviceNumber"), QStringLiteral("5")})
        + (inMemory ? d.keys.mid(0, 1) : d.keys);
    const QString missing = QStringLiteral("\x01");
    std::vector<QString> before;
    for (const QString& section : sections) {
        for (const QString& key : keys) {
            const QString text = ini.ReadText(section, key, missing);
            if (!inMemory)
                before.push_back(text);
            FUZZ_CHECK(text.size() <= 2047);
            // A value cut at 2047 characters may end where blanks follow.
            FUZZ_CHECK(text.isEmpty()
                       || (!isBlank(text.front()) && (text.size() == 2047 || !isBlank(text.back()))));
            // A number read with two defaults differs only when the default
            // was taken; a flag follows the number.
            const QString number = text == missing ? QString() : text;
            const qint32 a = inMemory ? TIniPlus::NumberFromText(number, 7) : ini.ReadNumber(section, key, 7);
            const qint32 b = inMemory ? TIniPlus::NumberFromText(number, -7) : ini.ReadNumber(section, key, -7);
            const bool defaulted = a != b;
            FUZZ_CHECK(!defaulted || (a == 7 && b == -7));
            if (!inMemory) {
                FUZZ_CHECK(ini.ReadFlag(section, key, true) == (defaulted || a != 0));
                FUZZ_CHECK(ini.ReadFlag(section, key, false) == (!defaulted && a != 0));
            }
            // Plain decimal text reads as its number.
            if (isPlainDecimal(text))
                FUZZ_CHECK(!defaulted && a == text.toInt());
        }
    }

    // A write that is accepted reads back and leaves every other entry as it
    // was; the second write of the same entry goes through the update path.
    const QString section = d.sections.isEmpty() ? QStringLiteral("Config") : d.sections.front();
    const QString key = d.keys.isEmpty() ? QStringLiteral("COM") : d.keys.front();
    const QString values[] = {d.value, QStringLiteral(" second ") + d.value.left(8)};
    for (const QString& value : values) {
        QByteArray old;
        if constexpr (inMemory)
            old = ini.text;
        try {
            ini.WriteText(section, key, value);
        } catch (const EIniFileException&) {
            break;
        }
        FUZZ_CHECK(ini.ReadText(section, key, missing) == readBack(value));
        if constexpr (inMemory) {
            // Only the entry's own line changed (or lines were added).
            FUZZ_CHECK(onlyOneLineChanged(old, ini.text));
            continue;
        }
        size_t i = 0;
        for (const QString& s : sections) {
            for (const QString& k : keys) {
                if (!(sameName(s, section) && sameName(k, key)))
                    FUZZ_CHECK(ini.ReadText(s, k, missing) == before[i]);
                ++i;
            }
        }
    }

    if (inMemory)
        return; // the number and flag forms are the file run's to check
    ini.WriteNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"), -12345);
    FUZZ_CHECK(ini.ReadNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"), 0) == -12345);
    ini.WriteFlag(QStringLiteral("View"), QStringLiteral("7"), false);
    FUZZ_CHECK(!ini.ReadFlag(QStringLiteral("View"), QStringLiteral("7"), true));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    TMemoryIni memory{bytes.toByteArray()};
    check(memory, bytes);
    if (!FuzzReplaying())
        return 0;

    // The regression run also goes through a real file, which must end up
    // holding exactly the bytes the memory rules gave.
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Savro2.Ini"));
    writeFile(path, bytes);
    TIniPlus ini(path);
    check(ini, bytes);
    // The file run ends with two writes of its own.
    memory.WriteNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"), -12345);
    memory.WriteFlag(QStringLiteral("View"), QStringLiteral("7"), false);
    FUZZ_CHECK(readFile(path) == memory.text);
    return 0;
}
