// Any bytes as the configuration file: reads never crash and give the
// defaults' types' rules, and a value written can be read back.
#include "config/Cp1251.h"
#include "config/iniplus.h"
#include "fuzz/FuzzCheck.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

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

// Names and a value taken from the input: the text after the first '['
// up to ']' is a section, the text before the first '=' of a line a key.
struct Derived {
    QString section = QStringLiteral("Config");
    QString key = QStringLiteral("COM");
    QString value;
};

Derived derive(QByteArrayView bytes) {
    Derived d;
    const qsizetype open = bytes.indexOf('[');
    if (open >= 0) {
        const qsizetype close = bytes.indexOf(']', open);
        d.section = Cp1251::decode(bytes.sliced(open + 1, (close < 0 ? bytes.size() : close) - open - 1));
    }
    const qsizetype eq = bytes.indexOf('=');
    if (eq >= 0) {
        const qsizetype lineStart = bytes.first(eq).lastIndexOf('\n') + 1;
        d.key = Cp1251::decode(bytes.sliced(lineStart, eq - lineStart));
        qsizetype end = bytes.indexOf('\n', eq);
        if (end < 0)
            end = bytes.size();
        d.value = Cp1251::decode(bytes.sliced(eq + 1, end - eq - 1));
    } else {
        d.value = Cp1251::decode(bytes.first(std::min<qsizetype>(bytes.size(), 64)));
    }
    return d;
}

void writeFile(const QString& path, QByteArrayView bytes) {
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes.data(), bytes.size()) == bytes.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Savro2.Ini"));
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    writeFile(path, bytes);

    TIniPlus ini(path);
    const Derived d = derive(bytes);
    const QString sections[] = {QStringLiteral("Config"), QStringLiteral("columns"),
                                QStringLiteral("View"), d.section};
    const QString keys[] = {QStringLiteral("COM"), QStringLiteral("FileName"),
                            QStringLiteral("DeviceNumber"), QStringLiteral("5"), d.key};
    for (const QString& section : sections) {
        for (const QString& key : keys) {
            const QString text = ini.ReadText(section, key, QStringLiteral("\x01"));
            FUZZ_CHECK(text.size() <= 2047);
            FUZZ_CHECK(text.isEmpty() || (!isBlank(text.front()) && !isBlank(text.back())));
            // A number read with two defaults differs only when the default
            // was taken; a flag follows the number.
            const qint32 a = ini.ReadNumber(section, key, 7);
            const qint32 b = ini.ReadNumber(section, key, -7);
            const bool defaulted = a != b;
            FUZZ_CHECK(!defaulted || (a == 7 && b == -7));
            FUZZ_CHECK(ini.ReadFlag(section, key, true) == (defaulted || a != 0));
            FUZZ_CHECK(ini.ReadFlag(section, key, false) == (!defaulted && a != 0));
            // Plain decimal text reads as its number.
            if (isPlainDecimal(text))
                FUZZ_CHECK(!defaulted && a == text.toInt());
        }
    }

    // A write that is accepted must read back, and must leave other entries
    // as they were.
    const QString before = ini.ReadText(QStringLiteral("Columns"), QStringLiteral("1"), QStringLiteral("\x01"));
    const bool sameEntry = d.section.trimmed().compare(QStringLiteral("Columns"), Qt::CaseInsensitive) == 0
                           && d.key.trimmed() == QStringLiteral("1");
    bool written = true;
    try {
        ini.WriteText(d.section, d.key, d.value);
    } catch (const EIniFileException&) {
        written = false;
    }
    if (written) {
        FUZZ_CHECK(ini.ReadText(d.section, d.key, QStringLiteral("\x01")) == readBack(d.value));
        if (!sameEntry)
            FUZZ_CHECK(ini.ReadText(QStringLiteral("Columns"), QStringLiteral("1"), QStringLiteral("\x01")) == before);
    }

    ini.WriteNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"), -12345);
    FUZZ_CHECK(ini.ReadNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"), 0) == -12345);
    ini.WriteFlag(QStringLiteral("View"), QStringLiteral("7"), false);
    FUZZ_CHECK(!ini.ReadFlag(QStringLiteral("View"), QStringLiteral("7"), true));
    return 0;
}
