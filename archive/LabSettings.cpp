#include "archive/LabSettings.h"

#include "config/iniplus.h"

namespace {

const QString kSection = QStringLiteral("LabServer");

bool KnownSslMode(const QString& mode) {
    return mode == QLatin1String("disable") || mode == QLatin1String("require") ||
           mode == QLatin1String("verify-full");
}

// A libpq value in quotes, its quotes and backslashes escaped: no blank or
// "key=value" in it can end it and add an option of its own.
QString Quoted(QString value) {
    value.replace(u'\\', QLatin1String("\\\\"));
    value.replace(u'\'', QLatin1String("\\'"));
    return u'\'' + value + u'\'';
}

} // namespace

QString TLabSettings::ServerId() const {
    return QStringLiteral("%1:%2/%3").arg(Host.trimmed().toLower()).arg(Port).arg(Database.trimmed());
}

QString TLabSettings::ConnectOptions() const {
    QString options = QStringLiteral("sslmode=%1;connect_timeout=5").arg(Quoted(SslMode));
    if (SslMode == QLatin1String("verify-full") && !CaFile.isEmpty())
        options += QStringLiteral(";sslrootcert=%1").arg(Quoted(CaFile));
    return options;
}

QString TLabSettings::Problem() const {
    // Qt hands the options to libpq with every ";" made a blank.
    if (CaFile.contains(u';'))
        return QStringLiteral("Путь к файлу сертификата центра не может содержать «;»: %1")
            .arg(CaFile);
    return {};
}

void TLabSettings::Read(const QString& iniPath) {
    const TIniPlus ini(iniPath);
    Host = ini.ReadText(kSection, QStringLiteral("Host"), Host).trimmed();
    const int port = ini.ReadNumber(kSection, QStringLiteral("Port"), Port);
    Port = port > 0 && port < 65536 ? port : 5432;
    Database = ini.ReadText(kSection, QStringLiteral("Database"), Database).trimmed();
    User = ini.ReadText(kSection, QStringLiteral("User"), User).trimmed();
    const QString mode = ini.ReadText(kSection, QStringLiteral("SslMode"), SslMode).trimmed();
    SslMode = KnownSslMode(mode) ? mode : QStringLiteral("require");
    CaFile = ini.ReadText(kSection, QStringLiteral("CaFile"), CaFile).trimmed();
}

TLabSettings TLabSettings::FromIni(const QString& iniPath) {
    TLabSettings settings;
    settings.Read(iniPath);
    return settings;
}

void TLabSettings::Write(const QString& iniPath) const {
    TIniPlus ini(iniPath);
    ini.WriteText(kSection, QStringLiteral("Host"), Host);
    ini.WriteNumber(kSection, QStringLiteral("Port"), Port);
    ini.WriteText(kSection, QStringLiteral("Database"), Database);
    ini.WriteText(kSection, QStringLiteral("User"), User);
    ini.WriteText(kSection, QStringLiteral("SslMode"), SslMode);
    ini.WriteText(kSection, QStringLiteral("CaFile"), CaFile);
}

bool TLabSettings::operator==(const TLabSettings& o) const {
    return Host == o.Host && Port == o.Port && Database == o.Database && User == o.User &&
           SslMode == o.SslMode && CaFile == o.CaFile;
}
