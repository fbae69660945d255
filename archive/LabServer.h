#pragma once

#include "archive/LabSettings.h"

#include <QString>

#include <memory>
#include <stdexcept>

class QSqlDatabase;

// The lab server refused or cannot be used; the message is for the
// operator, in Russian, with the server's reason.
class ELabServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // A refused login or a schema this program cannot use: no retry helps
    // until someone changes the settings or the server.
    bool Refused = false;
};

// One connection to the lab's PostgreSQL server (Qt SQL, QPSQL driver): the
// schema created and upgraded by the program (a version table, migrations in
// order, each in one transaction). Used from the thread that made it.
class TLabServer {
public:
    static constexpr int SchemaVersion = 1;

    // Connects and brings the schema up to date; throws ELabServerError.
    explicit TLabServer(const TLabSettings& settings);
    ~TLabServer();
    TLabServer(const TLabServer&) = delete;
    TLabServer& operator=(const TLabServer&) = delete;

    QSqlDatabase& Database();

    // "Проверить соединение": a Russian sentence, success or the reason.
    static QString TestConnection(const TLabSettings& settings, bool* ok = nullptr);

private:
    struct TConnection;
    std::unique_ptr<TConnection> Connection_;
};
