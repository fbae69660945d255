#pragma once

#include <QDate>
#include <QString>

#include <atomic>
#include <functional>
#include <vector>

class TArchive;
class TLabServer;

// One day on which this computer's archive and the server differed.
struct TReconcileDay {
    QDate Day;
    qint64 Here = 0;   // this archive's measurements of the day
    qint64 Server = 0; // the server's of this register, before mending
    qint64 Resent = 0; // missing on the server: sent again
    // The server's of this register that this archive does not hold.
    qint64 OnlyOnServer = 0;
};

struct TReconcileResult {
    qint64 Measurements = 0; // compared
    qint64 Changes = 0;      // name changes and marks compared
    std::vector<TReconcileDay> Days; // the days that differed, in order
    qint64 ChangesResent = 0;

    bool Matched() const { return Days.empty() && ChangesResent == 0; }
    // For a person, in Russian: "совпадает" or what differed, at most
    // maxDays lines of days (-1: every one).
    QString Report(int maxDays = -1) const;
};

// "Сверка с сервером": this archive against the lab server, day by day
// (count and checksum of the keys), only the register's own rows on the
// server; the days that differ key by key. What the server lacks is sent
// again (a row it has is kept as it is), changes likewise; at the end
// everything compared counts as confirmed by the server's identity.
class TLabReconcile {
public:
    using TProgress = std::function<void(const QString& text)>;

    // Both on the calling thread. progress is told what is being done;
    // cancel, when set, stops the run between steps. Throws
    // ELabServerError (also when cancelled) or EArchiveError.
    static TReconcileResult Run(TArchive& archive, TLabServer& server, const QString& address,
                                const TProgress& progress = {},
                                const std::atomic<bool>* cancel = nullptr);
};
