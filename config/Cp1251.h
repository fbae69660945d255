#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Code page 1251, the encoding of every file and cell text of the register.
// Decoding is lossless for all 256 byte values (the one unassigned byte, 0x98,
// maps to U+0098), so decode followed by encode gives the bytes back.
namespace Cp1251 {

QString decode(QByteArrayView bytes);

// True when every character of text has a byte in the code page.
bool canEncode(QStringView text);
bool canEncode(QChar ch);

// Encodes text; characters without a byte make ok false and are left out, so
// callers that must not lose text check ok (or canEncode first).
QByteArray encode(QStringView text, bool* ok = nullptr);

} // namespace Cp1251
