#pragma once

#include "archive/LabSettings.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>

#include <memory>

// A throw-away PostgreSQL cluster for tests and benchmarks: initdb into a
// temporary folder, its own TCP port on 127.0.0.1 and its socket in that
// folder, password (SCRAM) logins only, the lab roles of roles.sql with
// known passwords in a password file of its own. Run as root, the server
// runs as nobody. Never touches the system's service.
class TPgCluster {
public:
    static inline const QString SuperUser = QStringLiteral("postgres");
    static inline const QString Owner = QStringLiteral("savro2_owner");
    static inline const QString Writer = QStringLiteral("savro2_writer");
    static inline const QString Reader = QStringLiteral("savro2_reader");

    TPgCluster();
    ~TPgCluster(); // stops the server at once
    TPgCluster(const TPgCluster&) = delete;
    TPgCluster& operator=(const TPgCluster&) = delete;

    // The first call makes the cluster, runs roles.sql and gives the roles
    // their passwords; false with Error() when no server can be had here.
    bool Start();
    bool Stop(bool immediate = false);
    bool Restart();
    bool Running() const { return Running_; }
    const QString& Error() const { return Error_; }

    int Port() const { return Port_; }
    // For PGPASSFILE: every role's password, mode 0600.
    QString PassFile() const;
    QString Password(const QString& role) const;
    TLabSettings Settings(const QString& role, const QString& database = QStringLiteral("savro2")) const;

    // A database as roles.sql sets one up (owned by the owner role).
    bool CreateDatabase(const QString& name);
    // One SQL script through psql as the superuser; false with Error().
    bool Psql(const QString& database, const QString& sql);
    bool PsqlFile(const QString& database, const QString& path);
    // The database gone, its connections ended.
    bool DropDatabase(const QString& name);
    // pg_dump's custom format, and pg_restore of it into a database made
    // with CreateDatabase (what it holds is replaced).
    bool Dump(const QString& database, const QString& file);
    bool Restore(const QString& database, const QString& file);
    // The rows of a query as role (QPSQL); empty with Error() on failure.
    QList<QVariantList> Rows(const QString& database, const QString& sql,
                             const QString& role = SuperUser);
    QVariant Value(const QString& database, const QString& sql, const QString& role = SuperUser);

    // Where initdb, pg_ctl and psql are: SAVRO2_PG_BINDIR, the newest
    // /usr/lib/postgresql/*/bin, or PATH. Empty when none is.
    static QString BinDir();
    static QString RolesScript();

private:
    bool Init();
    bool Run(const QString& program, const QStringList& args, bool asServer, int timeoutMs = 120000);
    // Stops whatever server postmaster.pid names, even one whose start
    // outlived pg_ctl's wait or whose stop did not finish.
    void StopLeftover();
    bool RunPsql(const QStringList& args, int timeoutMs = 120000);
    // A client program of the cluster as the superuser.
    bool RunClient(const QString& program, const QStringList& args);

    std::unique_ptr<QTemporaryDir> Dir_;
    QString Bin_;
    QString Data_;
    QString ServerUser_; // empty: this process's user
    int Port_ = 0;
    bool Initialised_ = false;
    bool Running_ = false;
    QString Error_;
};
