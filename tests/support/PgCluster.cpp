#include "support/PgCluster.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QTcpServer>

#include <csignal>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString PasswordOf(const QString& role) {
    return role + QStringLiteral("-Пароль-1");
}

int FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString Tail(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    return QString::fromUtf8(all.right(2000)).trimmed();
}

} // namespace

TPgCluster::TPgCluster() = default;

TPgCluster::~TPgCluster() {
    if (Running_)
        Stop(true);
    StopLeftover();
}

void TPgCluster::StopLeftover() {
    if (Data_.isEmpty())
        return;
    QFile pidFile(Data_ + QStringLiteral("/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return;
    const qint64 pid = pidFile.readLine().trimmed().toLongLong();
    pidFile.close();
    // Only our own server: the number of a stale file may be another
    // process's by now.
    const auto ours = [&] {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        return pid > 1 && cmdline.open(QIODevice::ReadOnly) &&
               cmdline.readAll().replace('\0', ' ').contains(Data_.toLocal8Bit());
    };
    if (!ours())
        return;
    Run(QStringLiteral("pg_ctl"),
        {QStringLiteral("-D"), Data_, QStringLiteral("-m"), QStringLiteral("immediate"),
         QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("30"), QStringLiteral("stop")},
        true);
    if (ours())
        ::kill(pid_t(pid), SIGKILL);
}

QString TPgCluster::BinDir() {
    const QString given = qEnvironmentVariable("SAVRO2_PG_BINDIR");
    if (!given.isEmpty())
        return given;
    QDir lib(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = lib.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() > b.toInt(); });
    for (const QString& v : versions)
        if (QFileInfo(lib.filePath(v + QStringLiteral("/bin/initdb"))).isExecutable())
            return lib.filePath(v + QStringLiteral("/bin"));
    const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
}

QString TPgCluster::RolesScript() {
    const QString given = qEnvironmentVariable("SAVRO2_ROLES_SQL");
    if (!given.isEmpty())
        return given;
#ifdef SAVRO2_ROLES_SQL
    return QStringLiteral(SAVRO2_ROLES_SQL);
#else
    return {};
#endif
}

QString TPgCluster::PassFile() const {
    return Dir_ ? Dir_->filePath(QStringLiteral("pgpass")) : QString();
}

QString TPgCluster::Password(const QString& role) const {
    return PasswordOf(role);
}

TLabSettings TPgCluster::Settings(const QString& role, const QString& database) const {
    TLabSettings s;
    s.Host = QStringLiteral("127.0.0.1");
    s.Port = Port_;
    s.Database = database;
    s.User = role;
    s.SslMode = QStringLiteral("disable");
    return s;
}

bool TPgCluster::Run(const QString& program, const QStringList& args, bool asServer, int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setWorkingDirectory(Dir_->path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("PGPASSFILE"), PassFile());
    for (const char* name : {"PGHOST", "PGPORT", "PGDATABASE", "PGUSER", "PGSERVICE", "PGSSLMODE"})
        env.remove(QString::fromLatin1(name));
    p.setProcessEnvironment(env);
    const QString path = QDir(Bin_).filePath(program);
    if (asServer && !ServerUser_.isEmpty())
        p.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), ServerUser_, QStringLiteral("--"), path} + args);
    else
        p.start(path, args);
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        Error_ = QStringLiteral("%1 %2: %3").arg(program, args.join(u' '),
                                                 QString::fromUtf8(p.readAll()).trimmed());
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
        }
        return false;
    }
    return true;
}

bool TPgCluster::RunPsql(const QStringList& args, int timeoutMs) {
    return Run(QStringLiteral("psql"),
               QStringList{QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"),
                           QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"),
                           QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(Port_),
                           QStringLiteral("-U"), SuperUser} + args,
               false, timeoutMs);
}

bool TPgCluster::RunClient(const QString& program, const QStringList& args) {
    return Run(program,
               QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                           QString::number(Port_), QStringLiteral("-U"), SuperUser} +
                   args,
               false);
}

bool TPgCluster::DropDatabase(const QString& name) {
    return Psql(QStringLiteral("postgres"),
                QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(name));
}

bool TPgCluster::Dump(const QString& database, const QString& file) {
    return RunClient(QStringLiteral("pg_dump"),
                     {QStringLiteral("-Fc"), QStringLiteral("-f"), file, database});
}

bool TPgCluster::Restore(const QString& database, const QString& file) {
    return RunClient(QStringLiteral("pg_restore"),
                     {QStringLiteral("--clean"), QStringLiteral("--if-exists"),
                      QStringLiteral("--exit-on-error"), QStringLiteral("-d"), database, file});
}

bool TPgCluster::Init() {
    Bin_ = BinDir();
    if (Bin_.isEmpty()) {
        Error_ = QStringLiteral("no PostgreSQL server binaries (initdb) on this machine");
        return false;
    }
    Dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/savro2-pg-XXXXXX"));
    if (!Dir_->isValid()) {
        Error_ = QStringLiteral("no temporary folder");
        return false;
    }
    Data_ = Dir_->filePath(QStringLiteral("data"));
    const QString pwFile = Dir_->filePath(QStringLiteral("superuser-password"));
    QFile pw(pwFile);
    if (!pw.open(QIODevice::WriteOnly) || pw.write(PasswordOf(SuperUser).toUtf8() + '\n') <= 0) {
        Error_ = QStringLiteral("cannot write %1").arg(pwFile);
        return false;
    }
    pw.close();

    QFile pass(PassFile());
    if (!pass.open(QIODevice::WriteOnly)) {
        Error_ = QStringLiteral("cannot write %1").arg(PassFile());
        return false;
    }
    pass.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (const QString& role : {SuperUser, Owner, Writer, Reader})
        pass.write(QStringLiteral("*:*:*:%1:%2\n").arg(role, PasswordOf(role)).toUtf8());
    pass.close();

    // The server refuses to run as root: the folder goes to nobody.
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) {
            Error_ = QStringLiteral("running as root and there is no user nobody to run the server");
            return false;
        }
        ServerUser_ = QStringLiteral("nobody");
        for (const QString& path : {Dir_->path(), pwFile})
            if (::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid) != 0) {
                Error_ = QStringLiteral("cannot give %1 to nobody").arg(path);
                return false;
            }
    }

    if (!Run(QStringLiteral("initdb"),
             {QStringLiteral("-D"), Data_, QStringLiteral("-U"), SuperUser,
              QStringLiteral("--pwfile=") + pwFile, QStringLiteral("--auth=scram-sha-256"),
              QStringLiteral("--encoding=UTF8"), QStringLiteral("--locale=C.UTF-8"),
              QStringLiteral("--no-sync"), QStringLiteral("--no-instructions")},
             true))
        return false;
    QFile conf(Data_ + QStringLiteral("/postgresql.conf"));
    if (!conf.open(QIODevice::Append)) {
        Error_ = QStringLiteral("cannot write %1").arg(conf.fileName());
        return false;
    }
    conf.write(QStringLiteral("\nlisten_addresses = '127.0.0.1'\n"
                              "unix_socket_directories = '%1'\n"
                              "max_connections = 40\n")
                   .arg(Dir_->path())
                   .toUtf8());
    Initialised_ = true;
    return true;
}

bool TPgCluster::Start() {
    if (Running_)
        return true;
    const bool first = !Initialised_;
    if (first && !Init())
        return false;
    // Another process may take a free port between the probe and the bind.
    for (int attempt = 0; attempt < 3 && !Running_; ++attempt) {
        if (first || Port_ == 0)
            Port_ = FreePort();
        Running_ = Run(QStringLiteral("pg_ctl"),
                       {QStringLiteral("-D"), Data_, QStringLiteral("-l"),
                        Dir_->filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
                        QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
                        QStringLiteral("-p %1").arg(Port_), QStringLiteral("start")},
                       true);
        if (!Running_ && !first)
            break; // a restart keeps its port: the settings point at it
    }
    if (!Running_) {
        Error_ += u'\n' + Tail(Dir_->filePath(QStringLiteral("server.log")));
        return false;
    }
    if (!first)
        return true;
    QString sql;
    for (const QString& role : {Owner, Writer, Reader})
        sql += QStringLiteral("ALTER ROLE %1 PASSWORD '%2';\n").arg(role, PasswordOf(role));
    return CreateDatabase(QStringLiteral("savro2")) && Psql(QStringLiteral("postgres"), sql);
}

bool TPgCluster::Stop(bool immediate) {
    if (!Running_)
        return true;
    const bool done = Run(QStringLiteral("pg_ctl"),
                          {QStringLiteral("-D"), Data_, QStringLiteral("-m"),
                           immediate ? QStringLiteral("immediate") : QStringLiteral("fast"),
                           QStringLiteral("-w"), QStringLiteral("stop")},
                          true);
    Running_ = !done;
    return done;
}

bool TPgCluster::Restart() {
    return Stop() && Start();
}

bool TPgCluster::CreateDatabase(const QString& name) {
    const QString script = RolesScript();
    if (script.isEmpty() || !QFileInfo::exists(script)) {
        Error_ = QStringLiteral("roles.sql not found (%1)").arg(script);
        return false;
    }
    return RunPsql({QStringLiteral("-d"), QStringLiteral("postgres"), QStringLiteral("-v"),
                    QStringLiteral("dbname=") + name, QStringLiteral("-f"), script});
}

bool TPgCluster::Psql(const QString& database, const QString& sql) {
    return RunPsql({QStringLiteral("-d"), database, QStringLiteral("-c"), sql});
}

bool TPgCluster::PsqlFile(const QString& database, const QString& path) {
    // A benchmark's fill may take minutes.
    return RunPsql({QStringLiteral("-d"), database, QStringLiteral("-f"), path}, 3600000);
}

QList<QVariantList> TPgCluster::Rows(const QString& database, const QString& sql, const QString& role) {
    static QAtomicInt counter;
    const QString name = QStringLiteral("pgcluster-%1").arg(counter.fetchAndAddRelaxed(1));
    QList<QVariantList> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(Port_);
        db.setDatabaseName(database);
        db.setUserName(role);
        db.setPassword(PasswordOf(role));
        Error_.clear();
        if (!db.open()) {
            Error_ = db.lastError().text();
        } else {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            if (!q.exec(sql))
                Error_ = q.lastError().text();
            while (q.next()) {
                QVariantList row;
                for (int c = 0; c < q.record().count(); ++c)
                    row << q.value(c);
                rows << row;
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

QVariant TPgCluster::Value(const QString& database, const QString& sql, const QString& role) {
    const QList<QVariantList> rows = Rows(database, sql, role);
    return rows.isEmpty() || rows[0].isEmpty() ? QVariant() : rows[0][0];
}
