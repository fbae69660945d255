#pragma once

#include <QByteArrayView>
#include <QString>

// What a results file is read as. The register writes code page 1251 only.
enum class TTextEncoding { Cp1251, Utf8 };

// UTF-8 when the bytes start with its byte order mark, or hold at least one
// multi-byte UTF-8 sequence and nothing that is not UTF-8; code page 1251
// otherwise, plain ASCII included. Bytes from a Ctrl-Z on are left out, as
// the loader never reads them.
//
// Code page 1251 text passes for UTF-8 only when every letter from 0xC0 on
// is followed by the right number of the rare signs 0x80 to 0xBF ("Р°" is
// UTF-8 for "а"); no real sample name does that, and the operator is asked
// before such a file is read as UTF-8 anyway.
TTextEncoding DetectTextEncoding(QByteArrayView bytes);

// The same for a file, read until the answer is known. A file that cannot be
// read counts as code page 1251: loading it tells what is wrong.
TTextEncoding DetectFileEncoding(const QString& fileName);

// Whether the file starts with UTF-8's byte order mark.
bool StartsWithUtf8Bom(const QString& fileName);

// How the settings keep the encoding a results file is read with: "UTF-8",
// or nothing for code page 1251. Nothing, or a name not known here, reads as
// code page 1251.
QString EncodingSetting(TTextEncoding encoding);
TTextEncoding EncodingFromSetting(QStringView setting);
