// The lab server on a throw-away PostgreSQL cluster of its own (tests/
// support/PgCluster). Timed: the upload of a 100,000-measurement backlog by
// the real uploader, the lab reader's queries for one sample over 90 days
// out of 5,000,000 rows (~50 benches over four years): its first page and
// its chart points, and a reconciliation (--verify) of a register's
// 1,000,000 measurements with the server, matching or 1,000 rows short.
#include "archive/Archive.h"
#include "archive/LabReconcile.h"
#include "archive/LabServer.h"
#include "archive/LabUploader.h"
#include "support/PgCluster.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <random>

namespace {

constexpr int kBacklog = 100000;
constexpr qint64 kServerRows = 5000000;
constexpr int kYears = 4;
const QDateTime kStart(QDate(2022, 1, 10), QTime(8, 0));
// What the reader searches for: one of twenty products (arg 0), or the
// reference sample, a tenth of all rows (arg 1).
const QString kSamples[] = {QStringLiteral("жигулёвское"), QStringLiteral("контрольный")};

TPgCluster* gCluster = nullptr;

TArchiveMeasurement Measurement(std::mt19937& random, int n) {
    TArchiveMeasurement m;
    m.Uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m.Device = quint16(1 + n % 50);
    m.Port = QStringLiteral("/dev/ttyUSB0");
    m.Computer = QStringLiteral("lab-pc-%1").arg(n % 50);
    m.User = QStringLiteral("operator");
    m.ProgramVersion = QStringLiteral("1.0.0");
    m.Measured = kStart.addSecs(qint64(n) * 30);
    m.Received = m.Measured.addMSecs(350);
    m.Calibration = int(random() % 8);
    std::uniform_real_distribution<double> spread(-1, 1);
    for (int k = 0; k < 12; ++k)
        m.Values[size_t(k)] = 5.0 + k + spread(random) * 0.05;
    m.Raw = QByteArray(115, '\0');
    for (char& c : m.Raw)
        c = char(random());
    m.ResultsFile = QStringLiteral("/home/operator/Результаты/%1.txt").arg(m.Measured.date().toString(Qt::ISODate));
    m.SampleName = QStringLiteral("Пиво светлое №%1").arg(n % 40);
    m.Source = TArchive::SourceAnalyser;
    return m;
}

// The local archive with its backlog, built once.
struct TBacklog {
    QTemporaryDir Dir;
    TBacklog() {
        QElapsedTimer timer;
        timer.start();
        TArchive archive(Dir.path());
        std::mt19937 random(20260308);
        std::vector<TArchiveMeasurement> batch;
        for (int n = 0; n < kBacklog; ++n) {
            batch.push_back(Measurement(random, n));
            if (batch.size() == 10000) {
                archive.AddAll(batch);
                batch.clear();
            }
        }
        std::fprintf(stderr, "archive of %d measurements built in %.1f s\n", kBacklog,
                     double(timer.elapsed()) / 1000);
    }
};

void BM_UploadBacklog(benchmark::State& state) {
    static TBacklog backlog;
    static int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const QString db = QStringLiteral("upload%1").arg(++round);
        if (!gCluster->CreateDatabase(db)) {
            state.SkipWithError(qPrintable(gCluster->Error()));
            return;
        }
        TLabServer(gCluster->Settings(TPgCluster::Owner, db));
        const TLabSettings settings = gCluster->Settings(TPgCluster::Writer, db);
        TArchive probe(backlog.Dir.path(), false);
        state.ResumeTiming();

        TLabUploader uploader(backlog.Dir.path());
        uploader.Configure(settings);
        const QDeadlineTimer deadline(600000);
        while (probe.Sent(probe.ServerIdentity(settings.ServerId())).Measurement < kBacklog &&
               !deadline.hasExpired()) {
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        if (deadline.hasExpired()) {
            state.SkipWithError("the backlog was not sent in ten minutes");
            return;
        }
    }
    state.counters["rows/s"] =
        benchmark::Counter(double(kBacklog) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// 5,000,000 measurements of ~50 benches over four years, filled by the
// server itself; product names with batch numbers as labs write them.
struct TBigServer {
    QString Db = QStringLiteral("big");
    QDateTime End;
    bool Ready = false;

    TBigServer() {
        QElapsedTimer timer;
        timer.start();
        if (!gCluster->CreateDatabase(Db))
            return;
        TLabServer(gCluster->Settings(TPgCluster::Owner, Db));
        const qint64 stepMs = qint64(kYears) * 365 * 86400000 / kServerRows;
        End = kStart.addMSecs(stepMs * kServerRows);
        QStringList values;
        for (int k = 1; k <= 12; ++k)
            values << QStringLiteral("%1 + random()").arg(k);
        const QString fill = QStringLiteral(
            "ALTER TABLE measurement DISABLE TRIGGER measurement_current;\n"
            "INSERT INTO measurement (uid, device, port, computer, user_name, program_version, measured, "
            "calibration, v1, v2, v3, v4, v5, v6, v7, v8, v9, v10, v11, v12, raw, received, results_file, "
            "sample_name, source, current_name) "
            "SELECT 'bench-' || i, 1 + i % 50, '/dev/ttyUSB0', 'lab-pc-' || i % 50, 'operator', '1.0.0', "
            "t, i % 8, %1, int8send(i) || decode(repeat('a5', 107), 'hex'), t + interval '350 ms', "
            "'/home/operator/Результаты/' || t::date || '.txt', n, 'analyser', n "
            "FROM (SELECT i, timestamptz '%2' + i * interval '%3 ms' AS t, "
            "  CASE WHEN i % 10 = 0 THEN 'Контрольный образец' "
            "  ELSE (ARRAY['Пиво светлое «Жигулёвское»', 'Пиво тёмное «Бархатное»', 'Квас хлебный', "
            "    'Сидр яблочный', 'Пиво «Пшеничное» нефильтрованное', 'Сусло начальное', 'Морс клюквенный', "
            "    'Медовуха', 'Пиво «Портер»', 'Лимонад «Дюшес»', 'Пиво «Рижское»', 'Квас окрошечный', "
            "    'Сидр грушевый', 'Пиво «Мартовское»', 'Тоник', 'Пиво безалкогольное', 'Сусло охмелённое', "
            "    'Пиво «Бок»', 'Лимонад «Тархун»', 'Пиво «Стаут»'])[1 + (i / 7) % 20] "
            "    || ', партия ' || (i / 20000) || ', танк ' || (1 + i % 12) END AS n "
            "  FROM generate_series(1, %4) i) s;\n"
            "ALTER TABLE measurement ENABLE TRIGGER measurement_current;\n"
            "VACUUM ANALYZE measurement;\n")
                                 .arg(values.join(QStringLiteral(", ")),
                                      kStart.toUTC().toString(Qt::ISODateWithMs))
                                 .arg(stepMs)
                                 .arg(kServerRows);
        QFile script(QDir::temp().filePath(QStringLiteral("savro2-bench-fill.sql")));
        if (!script.open(QIODevice::WriteOnly) || script.write(fill.toUtf8()) <= 0)
            return;
        script.close();
        Ready = gCluster->PsqlFile(Db, script.fileName());
        script.remove();
        std::fprintf(stderr, "server of %lld measurements filled in %.1f s%s\n", kServerRows,
                     double(timer.elapsed()) / 1000, Ready ? "" : qPrintable(QStringLiteral(": ") + gCluster->Error()));
        std::fprintf(stderr, "table and indexes: %s\n",
                     qPrintable(gCluster->Value(Db, QStringLiteral("SELECT pg_size_pretty(pg_table_size('measurement')) "
                                                                   "|| ' + ' || pg_size_pretty(pg_indexes_size('measurement'))"))
                                    .toString()));
    }
};

TBigServer& Big() {
    static TBigServer big;
    return big;
}

// The reader's connection: the quality manager's role, queries prepared
// with bound values as Qt's driver sends them.
struct TReader {
    QString Name = QStringLiteral("bench-reader");
    QSqlDatabase Db;
    TReader() {
        Db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), Name);
        Db.setHostName(QStringLiteral("127.0.0.1"));
        Db.setPort(gCluster->Port());
        Db.setDatabaseName(Big().Db);
        Db.setUserName(TPgCluster::Reader);
        Db.open();
    }
    ~TReader() {
        Db.close();
        Db = QSqlDatabase();
        QSqlDatabase::removeDatabase(Name);
    }
};

void RunSampleQuery(benchmark::State& state, const QString& sql) {
    TBigServer& big = Big();
    if (!big.Ready) {
        state.SkipWithError("no server filled");
        return;
    }
    TReader reader;
    QSqlQuery q(reader.Db);
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        state.SkipWithError(qPrintable(q.lastError().text()));
        return;
    }
    // A different 90 days each time, spread over the last year.
    int round = 0;
    qint64 rows = 0;
    for (auto _ : state) {
        const QDateTime to = big.End.addDays(-((round++ * 37) % 270));
        q.addBindValue(to.addDays(-90));
        q.addBindValue(to);
        q.addBindValue(kSamples[state.range(0)]);
        if (!q.exec()) {
            state.SkipWithError(qPrintable(q.lastError().text()));
            return;
        }
        while (q.next())
            ++rows;
    }
    state.counters["rows"] = benchmark::Counter(double(rows) / double(state.iterations()));
}

const QString kWhere = QStringLiteral(
    "WHERE measured BETWEEN ? AND ? AND lower(current_name) LIKE '%' || ? || '%' ORDER BY measured, id");

void BM_SampleFirstPage(benchmark::State& state) {
    RunSampleQuery(state, QStringLiteral("SELECT * FROM measurement ") + kWhere + QStringLiteral(" LIMIT 200"));
}

void BM_SampleChart(benchmark::State& state) {
    RunSampleQuery(state, QStringLiteral("SELECT id, measured, v5, invalid_at IS NOT NULL FROM measurement ") + kWhere);
}

constexpr int kVerifyRows = 1000000;

// The key of the bench's n-th measurement, here and on the server alike: the
// MD5 of "verify-n" written as a UUID.
QString VerifyUid(int n) {
    const QString h = QString::fromLatin1(
        QCryptographicHash::hash("verify-" + QByteArray::number(n), QCryptographicHash::Md5).toHex());
    return QStringLiteral("%1-%2-%3-%4-%5")
        .arg(h.mid(0, 8), h.mid(8, 4), h.mid(12, 4), h.mid(16, 4), h.mid(20, 12));
}

// One register's archive of 1,000,000 measurements, one every 90 s (almost
// three years, ~960 a day), and a server holding them beside as many of
// another register's, filled by the server itself.
struct TVerifySetup {
    QTemporaryDir Dir;
    QString Db = QStringLiteral("verify");
    QString Register;
    bool Ready = false;

    TVerifySetup() {
        QElapsedTimer timer;
        timer.start();
        {
            TArchive archive(Dir.path());
            Register = archive.RegisterId();
            std::mt19937 random(20260309);
            std::vector<TArchiveMeasurement> batch;
            for (int n = 0; n < kVerifyRows; ++n) {
                TArchiveMeasurement m = Measurement(random, n);
                m.Uid = VerifyUid(n);
                m.Measured = kStart.addSecs(qint64(n) * 90);
                m.Received = m.Measured.addMSecs(350);
                batch.push_back(m);
                if (batch.size() == 10000) {
                    archive.AddAll(batch);
                    batch.clear();
                }
            }
        }
        if (!gCluster->CreateDatabase(Db))
            return;
        TLabServer(gCluster->Settings(TPgCluster::Owner, Db));
        const QString uid = QStringLiteral(
            "substr(h, 1, 8) || '-' || substr(h, 9, 4) || '-' || substr(h, 13, 4) || '-' || "
            "substr(h, 17, 4) || '-' || substr(h, 21, 12)");
        const QString fill = QStringLiteral(
            "ALTER TABLE measurement DISABLE TRIGGER measurement_current;\n"
            "INSERT INTO measurement (uid, device, port, computer, user_name, program_version, "
            "measured, calibration, v1, v2, raw, received, results_file, sample_name, source, "
            "current_name, register_id, seq) "
            "SELECT %1, 1, '/dev/ttyUSB0', 'lab-pc', 'operator', '1.0.0', t, 0, 5.1, 6.2, "
            "decode(repeat('a5', 115), 'hex'), t + interval '350 ms', '', 'Проба', 'analyser', "
            "'Проба', r::uuid, i + 1 "
            "FROM (VALUES ('verify-', '%2'), ('other-', '%3')) AS k(prefix, r), "
            "LATERAL (SELECT i, timestamptz '%4' + i * interval '90 s' AS t, md5(k.prefix || i) AS h "
            "  FROM generate_series(0, %5 - 1) i) s;\n"
            "ALTER TABLE measurement ENABLE TRIGGER measurement_current;\n"
            "VACUUM ANALYZE measurement;\n")
                                 .arg(uid, Register, QUuid::createUuid().toString(QUuid::WithoutBraces),
                                      kStart.toUTC().toString(Qt::ISODateWithMs))
                                 .arg(kVerifyRows);
        QFile script(QDir::temp().filePath(QStringLiteral("savro2-bench-verify.sql")));
        if (!script.open(QIODevice::WriteOnly) || script.write(fill.toUtf8()) <= 0)
            return;
        script.close();
        Ready = gCluster->PsqlFile(Db, script.fileName());
        script.remove();
        std::fprintf(stderr, "archive and server of %d measurements each made in %.1f s%s\n",
                     kVerifyRows, double(timer.elapsed()) / 1000,
                     Ready ? "" : qPrintable(QStringLiteral(": ") + gCluster->Error()));
    }
};

// What --verify does: the archive opened, the server connected, compared
// (and mended). Arg 1: 1,000 of the register's rows gone from the server
// first, at random.
void BM_Verify(benchmark::State& state) {
    static TVerifySetup setup;
    if (!setup.Ready) {
        state.SkipWithError("no server filled");
        return;
    }
    const TLabSettings settings = gCluster->Settings(TPgCluster::Writer, setup.Db);
    std::mt19937 random(7);
    qint64 days = 0;
    for (auto _ : state) {
        if (state.range(0) == 1) {
            state.PauseTiming();
            QStringList seqs;
            for (int i = 0; i < 1000; ++i)
                seqs << QString::number(1 + random() % kVerifyRows);
            if (!gCluster->Psql(setup.Db, QStringLiteral("DELETE FROM measurement WHERE seq IN (%1) "
                                                         "AND register_id = '%2'")
                                                  .arg(seqs.join(u','), setup.Register))) {
                state.SkipWithError(qPrintable(gCluster->Error()));
                return;
            }
            state.ResumeTiming();
        }
        try {
            TArchive archive(setup.Dir.path(), false);
            TLabServer server(settings);
            const TReconcileResult result = TLabReconcile::Run(archive, server, settings.ServerId());
            days += qint64(result.Days.size());
            if (result.Measurements != kVerifyRows || result.Matched() != (state.range(0) == 0)) {
                state.SkipWithError(qPrintable(result.Report(5)));
                return;
            }
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
    state.counters["days told"] = benchmark::Counter(double(days) / double(state.iterations()));
}

BENCHMARK(BM_UploadBacklog)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_SampleFirstPage)->Unit(benchmark::kMillisecond)->Iterations(20)->Arg(0)->Arg(1);
BENCHMARK(BM_SampleChart)->Unit(benchmark::kMillisecond)->Iterations(20)->Arg(0)->Arg(1);
BENCHMARK(BM_Verify)->Unit(benchmark::kSecond)->Iterations(3)->Arg(0)->Arg(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    TPgCluster cluster;
    if (!cluster.Start()) {
        std::fprintf(stderr, "no PostgreSQL server for the benchmarks: %s\n", qPrintable(cluster.Error()));
        return 0;
    }
    qputenv("PGPASSFILE", QFile::encodeName(cluster.PassFile()));
    gCluster = &cluster;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gCluster = nullptr;
    return 0;
}
