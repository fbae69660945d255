#include "archive/LabReconcile.h"

#include "archive/Archive.h"
#include "archive/LabServer.h"

#include <QDateTime>
#include <QStringList>

#include <map>
#include <set>

namespace {

constexpr qint64 kDayMs = 86400000;
// A differing day is compared hour by hour first: a few missing rows then
// cost a few hours of keys, not whole days of them.
constexpr qint64 kHourMs = 3600000;
// Keys asked about at once, and rows sent again per transaction.
constexpr qsizetype kKeysAtOnce = 5000;
constexpr size_t kRowsPerBatch = 2000;

qint64 SpanOf(qint64 ms, qint64 offsetMs, qint64 spanMs) {
    const qint64 t = ms + offsetMs;
    return t / spanMs - (t % spanMs < 0 ? 1 : 0);
}

// One measurement of a differing day.
struct TKey {
    qint64 Ms = 0;
    qint64 Id = 0;
    QString Uid;
    size_t Day = 0; // index into the run's days
};

QDate DateOf(qint64 day) {
    return QDate(1970, 1, 1).addDays(day);
}

class TRun {
public:
    TRun(TArchive& archive, TLabServer& server, const TLabReconcile::TProgress& progress,
         const std::atomic<bool>* cancel)
        : Archive_(archive), Server_(server), Progress_(progress), Cancel_(cancel),
          Register_(archive.RegisterId()) {}

    TReconcileResult Run(const QString& address) {
        const QString identity = Server_.Look(Register_, false).Identity;
        // Rows written while the run goes on are the uploader's, not ours.
        Upto_ = Archive_.Newest();
        Measurements();
        Changes<TNameChange>(
            TLabServer::TChanges::Names, Upto_.NameChange,
            [this](qint64 after) {
                return Archive_.NameChanges(after, Upto_.NameChange, int(kKeysAtOnce));
            },
            [this](const std::vector<TNameChange>& again) {
                Server_.Upload(Register_, {}, again, {});
            });
        Changes<TInvalidMark>(
            TLabServer::TChanges::Marks, Upto_.InvalidMark,
            [this](qint64 after) {
                return Archive_.Marks(after, Upto_.InvalidMark, int(kKeysAtOnce));
            },
            [this](const std::vector<TInvalidMark>& again) {
                Server_.Upload(Register_, {}, {}, again);
            });
        Tell(QStringLiteral("Сверка: запись итога…"));
        // The server has everything compared now, whoever it is.
        Archive_.Confirm(identity, Upto_, Server_.Look(Register_, true).Held);
        Archive_.SetServerIdentity(address, identity);
        return Result_;
    }

private:
    void Tell(const QString& text) {
        if (Cancel_ && Cancel_->load())
            throw ELabServerError("Сверка прервана.");
        if (Progress_)
            Progress_(text);
    }

    void Measurements() {
        // Local time of the moment; both sides cut days at the same instants.
        OffsetMs_ = qint64(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
        Tell(QStringLiteral("Сверка: измерения этого компьютера…"));
        std::map<qint64, TKeySum> here;
        Archive_.ForEachKey(Upto_.Measurement, [&](qint64 ms, qint64, const QString& uid) {
            TKeySum& day = here[SpanOf(ms, OffsetMs_, kDayMs)];
            ++day.Count;
            day.Sum += TLabServer::KeyHash(uid);
        });
        Tell(QStringLiteral("Сверка: измерения на сервере…"));
        const std::map<qint64, TKeySum> there =
            Server_.Sums(Register_, OffsetMs_, Upto_.Measurement, kDayMs);
        std::set<qint64> differing;
        for (const auto& [day, sum] : here) {
            Result_.Measurements += sum.Count;
            const auto it = there.find(day);
            if (it == there.end() || it->second != sum)
                differing.insert(day);
        }
        for (const auto& [day, sum] : there)
            if (!here.count(day))
                differing.insert(day);

        // Day by day, asked about a few thousand keys at a time.
        std::vector<TReconcileDay> days;
        std::vector<TKey> keys; // of days[first...]
        size_t first = 0;
        qint64 firstDay = 0;
        int done = 0;
        for (const qint64 day : differing) {
            if (days.size() == first)
                firstDay = day;
            const auto local = here.find(day);
            const auto remote = there.find(day);
            days.push_back({DateOf(day), local == here.end() ? 0 : local->second.Count,
                            remote == there.end() ? 0 : remote->second.Count, 0, 0});
            const qint64 from = day * kDayMs - OffsetMs_;
            Archive_.ForEachKey(
                Upto_.Measurement,
                [&](qint64 ms, qint64 id, const QString& uid) {
                    keys.push_back({ms, id, uid, days.size() - 1});
                },
                from, from + kDayMs - 1);
            ++done;
            if (qsizetype(keys.size()) >= kKeysAtOnce || done == int(differing.size())) {
                Tell(QStringLiteral("Сверка: дни с расхождениями, %1 из %2…")
                         .arg(done)
                         .arg(differing.size()));
                Mend(days, first, firstDay, day, keys);
                first = days.size();
                keys.clear();
            }
        }
        for (const TReconcileDay& d : days)
            if (d.Resent > 0 || d.OnlyOnServer > 0)
                Result_.Days.push_back(d);
    }

    // Sends again what the server lacks of the keys of days[first...], and
    // what an older program sent without an owner (the server gives it to
    // this register then).
    // firstDay, lastDay: the numbers of days[first] and days.back().
    void Mend(std::vector<TReconcileDay>& days, size_t first, qint64 firstDay, qint64 lastDay,
              const std::vector<TKey>& keys) {
        std::vector<qint64> owned(days.size(), 0);
        // Hours that match need no look key by key.
        std::map<qint64, TKeySum> here;
        for (const TKey& key : keys) {
            TKeySum& hour = here[SpanOf(key.Ms, OffsetMs_, kHourMs)];
            ++hour.Count;
            hour.Sum += TLabServer::KeyHash(key.Uid);
        }
        const qint64 fromMs = firstDay * kDayMs - OffsetMs_;
        const qint64 toMs = (lastDay + 1) * kDayMs - OffsetMs_ - 1;
        const std::map<qint64, TKeySum> there =
            Server_.Sums(Register_, OffsetMs_, Upto_.Measurement, kHourMs, fromMs, toMs);
        std::vector<const TKey*> asked;
        QStringList uids;
        for (const TKey& key : keys) {
            const qint64 hour = SpanOf(key.Ms, OffsetMs_, kHourMs);
            const auto it = there.find(hour);
            if (it != there.end() && it->second == here[hour]) {
                ++owned[key.Day];
                continue;
            }
            asked.push_back(&key);
            uids << key.Uid;
        }
        const std::map<QString, bool> present = Server_.Present(std::nullopt, Register_, uids);
        TArchiveFilter again;
        for (const TKey* key : asked) {
            const auto it = present.find(key->Uid);
            if (it != present.end() && it->second) {
                ++owned[key->Day];
                continue;
            }
            if (it == present.end())
                ++days[key->Day].Resent;
            again.Ids.push_back(key->Id);
        }
        for (size_t d = first; d < days.size(); ++d)
            days[d].OnlyOnServer = std::max<qint64>(0, days[d].Server - owned[d]);
        Resend(again);
    }

    void Resend(const TArchiveFilter& ids) {
        if (ids.Ids.empty())
            return;
        std::vector<TArchiveMeasurement> batch;
        const auto send = [&] {
            Server_.Upload(Register_, batch, {}, {});
            batch.clear();
        };
        Archive_.ForEach(ids, [&](const TArchiveMeasurement& m) {
            batch.push_back(m);
            if (batch.size() == kRowsPerBatch)
                send();
            return true;
        });
        if (!batch.empty())
            send();
    }

    // Compared by count and checksum; key by key when they differ.
    template <typename TChange>
    void Changes(TLabServer::TChanges kind, qint64 upto,
                 const std::function<std::vector<TChange>(qint64 after)>& page,
                 const std::function<void(const std::vector<TChange>&)>& send) {
        const QString what = kind == TLabServer::TChanges::Names
                                 ? QStringLiteral("Сверка: изменения имён проб…")
                                 : QStringLiteral("Сверка: отметки недействительности…");
        Tell(what);
        TKeySum here;
        for (std::vector<TChange> list = page(0); !list.empty(); list = page(list.back().Id))
            for (const TChange& c : list) {
                ++here.Count;
                here.Sum += TLabServer::KeyHash(c.Key);
            }
        Result_.Changes += here.Count;
        if (Server_.ChangeSum(kind, Register_, upto) == here)
            return;
        for (std::vector<TChange> list = page(0); !list.empty(); list = page(list.back().Id)) {
            Tell(what);
            QStringList keys;
            for (const TChange& c : list)
                keys << c.Key;
            const std::map<QString, bool> present = Server_.Present(kind, Register_, keys);
            std::vector<TChange> again;
            for (const TChange& c : list) {
                const auto it = present.find(c.Key);
                if (it != present.end() && it->second)
                    continue;
                if (it == present.end())
                    ++Result_.ChangesResent;
                again.push_back(c);
            }
            if (!again.empty())
                send(again);
        }
    }

    TArchive& Archive_;
    TLabServer& Server_;
    const TLabReconcile::TProgress& Progress_;
    const std::atomic<bool>* Cancel_;
    const QString Register_;
    TArchive::TUploadMark Upto_;
    qint64 OffsetMs_ = 0;
    TReconcileResult Result_;
};

} // namespace

TReconcileResult TLabReconcile::Run(TArchive& archive, TLabServer& server, const QString& address,
                                    const TProgress& progress, const std::atomic<bool>* cancel) {
    return TRun(archive, server, progress, cancel).Run(address);
}

QString TReconcileResult::Report(int maxDays) const {
    if (Matched())
        return QStringLiteral("Совпадает: измерений %1, изменений имён и отметок %2.")
            .arg(Measurements)
            .arg(Changes);
    QStringList lines{QStringLiteral("Найдены расхождения; чего не было на сервере, отправлено "
                                     "снова.")};
    int shown = 0;
    for (const TReconcileDay& d : Days) {
        if (maxDays >= 0 && shown == maxDays) {
            lines << QStringLiteral("… и ещё дней: %1.").arg(Days.size() - size_t(shown));
            break;
        }
        QString line = QStringLiteral("%1: в архиве %2, на сервере %3, отправлено снова %4")
                           .arg(d.Day.toString(QStringLiteral("dd.MM.yyyy")))
                           .arg(d.Here)
                           .arg(d.Server)
                           .arg(d.Resent);
        if (d.OnlyOnServer > 0)
            line += QStringLiteral(", только на сервере %1").arg(d.OnlyOnServer);
        lines << line;
        ++shown;
    }
    if (ChangesResent > 0)
        lines << QStringLiteral("Изменения имён и отметки: отправлено снова %1.").arg(ChangesResent);
    return lines.join(u'\n');
}
