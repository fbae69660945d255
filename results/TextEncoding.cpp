#include "results/TextEncoding.h"

#include <QFile>

#include <vector>

namespace {

// Checks UTF-8 as it arrives in chunks of any size: the shortest form only,
// no surrogates, nothing above U+10FFFF.
class Utf8Check {
public:
    enum class State { Open, Utf8, NotUtf8 };

    // Feeds bytes; returns State::Open until the answer is known.
    State Feed(QByteArrayView bytes) {
        for (const char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            if (b == 0x1a)
                return Finish(); // Ctrl-Z ends the file
            if (Need_ > 0) {
                if (b < Low_ || b > High_)
                    return State::NotUtf8;
                Low_ = 0x80;
                High_ = 0xbf;
                --Need_;
                continue;
            }
            if (b < 0x80)
                continue;
            MultiByte_ = true;
            if (b >= 0xc2 && b <= 0xdf)
                Start(1, 0x80, 0xbf);
            else if (b == 0xe0)
                Start(2, 0xa0, 0xbf);
            else if (b == 0xed)
                Start(2, 0x80, 0x9f);
            else if (b >= 0xe1 && b <= 0xef)
                Start(2, 0x80, 0xbf);
            else if (b == 0xf0)
                Start(3, 0x90, 0xbf);
            else if (b >= 0xf1 && b <= 0xf3)
                Start(3, 0x80, 0xbf);
            else if (b == 0xf4)
                Start(3, 0x80, 0x8f);
            else
                return State::NotUtf8;
        }
        return State::Open;
    }

    // The end of the bytes: a sequence cut short is no UTF-8.
    State Finish() const { return Need_ == 0 && MultiByte_ ? State::Utf8 : State::NotUtf8; }

private:
    void Start(int need, unsigned char low, unsigned char high) {
        Need_ = need;
        Low_ = low;
        High_ = high;
    }

    int Need_ = 0;
    unsigned char Low_ = 0x80;
    unsigned char High_ = 0xbf;
    bool MultiByte_ = false;
};

const QByteArrayView kBom("\xef\xbb\xbf", 3);
const QString kUtf8Setting = QStringLiteral("UTF-8");

TTextEncoding From(Utf8Check::State state) {
    return state == Utf8Check::State::Utf8 ? TTextEncoding::Utf8 : TTextEncoding::Cp1251;
}

} // namespace

TTextEncoding DetectTextEncoding(QByteArrayView bytes) {
    if (bytes.startsWith(kBom))
        return TTextEncoding::Utf8;
    Utf8Check check;
    const Utf8Check::State state = check.Feed(bytes);
    return From(state == Utf8Check::State::Open ? check.Finish() : state);
}

TTextEncoding DetectFileEncoding(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return TTextEncoding::Cp1251;
    std::vector<char> chunk(size_t(1) << 20);
    Utf8Check check;
    bool first = true;
    for (;;) {
        const qint64 got = file.read(chunk.data(), qint64(chunk.size()));
        if (got < 0)
            return TTextEncoding::Cp1251;
        if (got == 0)
            return From(check.Finish());
        const QByteArrayView bytes(chunk.data(), got);
        if (first && bytes.startsWith(kBom))
            return TTextEncoding::Utf8;
        first = false;
        const Utf8Check::State state = check.Feed(bytes);
        if (state != Utf8Check::State::Open)
            return From(state);
    }
}

bool StartsWithUtf8Bom(const QString& fileName) {
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) && file.read(kBom.size()).startsWith(kBom);
}

QString EncodingSetting(TTextEncoding encoding) {
    return encoding == TTextEncoding::Utf8 ? kUtf8Setting : QString();
}

TTextEncoding EncodingFromSetting(QStringView setting) {
    return setting.trimmed().compare(kUtf8Setting, Qt::CaseInsensitive) == 0
               ? TTextEncoding::Utf8
               : TTextEncoding::Cp1251;
}
