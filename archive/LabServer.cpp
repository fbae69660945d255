#include "archive/LabServer.h"

#include <QSqlDatabase>

struct TLabServer::TConnection {
    QSqlDatabase Db;
};

TLabServer::TLabServer(const TLabSettings&) {
    throw ELabServerError("not built yet");
}

TLabServer::~TLabServer() = default;

QSqlDatabase& TLabServer::Database() {
    return Connection_->Db;
}

QString TLabServer::TestConnection(const TLabSettings&, bool* ok) {
    if (ok)
        *ok = false;
    return QStringLiteral("not built yet");
}
