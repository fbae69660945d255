#pragma once

#include <QByteArray>
#include <QString>

// Whole-file reads and writes for tests. A file that cannot be read reads as
// empty; a write says whether every byte went out.
QByteArray ReadAll(const QString& path);
bool WriteAll(const QString& path, const QByteArray& bytes);
