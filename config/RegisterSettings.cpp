#include "config/RegisterSettings.h"

#include "config/iniplus.h"

#include <functional>

namespace {

const QString kConfig = QStringLiteral("Config");
const QString kColumns = QStringLiteral("Columns");
const QString kView = QStringLiteral("View");

} // namespace

void TRegisterSettings::Read(const QString& path, int columnCount) {
    const TIniPlus ini(path);
    Port = ini.ReadText(kConfig, QStringLiteral("COM"), Port);
    FileName = ini.ReadText(kConfig, QStringLiteral("FileName"), FileName);
    FileEncoding = ini.ReadText(kConfig, QStringLiteral("FileEncoding"), {});
    Polling = ini.ReadFlag(kConfig, QStringLiteral("Polling"), false);
    DeviceNumber = ini.ReadNumber(kConfig, QStringLiteral("DeviceNumber"), 0);
    ColumnTitles.clear();
    for (int n = 0; n < columnCount; ++n)
        ColumnTitles << ini.ReadText(kColumns, QString::number(n), {});
    Shown.clear();
    for (int n = FirstOptionalColumn; n < columnCount; ++n)
        Shown << ini.ReadFlag(kView, QString::number(n), true);
}

QString TRegisterSettings::SkippedText(const QStringList& keys, const QString& path) {
    return QStringLiteral("Настройка %1 не сохранена: в ней есть знаки, которых нет в "
                          "кодировке Windows-1251. В файле %2 осталось прежнее значение.")
        .arg(keys.join(QStringLiteral(", ")), path);
}

QStringList TRegisterSettings::Write(const QString& path) const {
    TIniPlus ini(path);
    // A value the file cannot hold (a folder named in Latin letters with
    // accents) keeps its key's old value; it must not cost the other keys.
    QStringList skipped;
    const auto write = [&skipped](const QString& key, const std::function<void()>& store) {
        try {
            store();
        } catch (const EIniValueError&) {
            skipped << key;
        }
    };
    write(QStringLiteral("COM"), [&] { ini.WriteText(kConfig, QStringLiteral("COM"), Port); });
    write(QStringLiteral("FileName"), [&] {
        ini.WriteText(kConfig, QStringLiteral("FileName"), FileName);
        // Goes with its file name: kept where that name is kept, and only
        // where a file was ever read as UTF-8, so a plain settings file stays
        // as it was.
        if (!FileEncoding.isEmpty() ||
            !ini.ReadText(kConfig, QStringLiteral("FileEncoding"), {}).isEmpty())
            ini.WriteText(kConfig, QStringLiteral("FileEncoding"), FileEncoding);
    });
    ini.WriteNumber(kConfig, QStringLiteral("DeviceNumber"), DeviceNumber);
    // Only where polling was ever on, so a plain settings file stays as it was.
    if (Polling || ini.ReadFlag(kConfig, QStringLiteral("Polling"), false))
        ini.WriteFlag(kConfig, QStringLiteral("Polling"), Polling);
    for (int i = 0; i < Shown.size(); ++i)
        ini.WriteFlag(kView, QString::number(i + FirstOptionalColumn), Shown[i]);
    return skipped;
}
