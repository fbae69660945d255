// The built program's archive options, run as a script would: no display,
// no platform chosen, settings in a temporary folder.
#include "config/Cp1251.h"
#include "support/TestFiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct TRun {
    int exitCode = -1;
    QByteArray out;
    QString err;
};

QByteArray Line(const char* time, const char* value) {
    QList<QByteArray> fields{Cp1251::encode(QStringLiteral("Пиво; светлое")), "05.03.2026", time,
                             "3", value};
    while (fields.size() < 31)
        fields << QByteArray();
    return fields.join('\t') + "\r\n";
}

} // namespace

class TstArchiveCommand : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void importThenExport();
    void help_data();
    void help();
    void badArguments_data();
    void badArguments();

private:
    // settings: the --settings folder, settings_ unless given.
    TRun Run(QStringList args, QString settings = QString());

    QTemporaryDir dir_;
    QString settings_;
};

void TstArchiveCommand::initTestCase() {
    QVERIFY(QFileInfo(QStringLiteral(SAVRO2_PROGRAM_PATH)).isExecutable());
    settings_ = dir_.filePath(QStringLiteral("settings"));
}

TRun TstArchiveCommand::Run(QStringList args, QString settings) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("HOME"), dir_.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir_.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.filePath(QStringLiteral("config")));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(SAVRO2_PROGRAM_PATH),
            QStringList{QStringLiteral("--settings"), settings.isEmpty() ? settings_ : settings} +
                args);
    TRun run;
    if (p.waitForStarted(60000) && p.waitForFinished(120000) &&
        p.exitStatus() == QProcess::NormalExit)
        run.exitCode = p.exitCode();
    else
        p.kill();
    run.out = p.readAllStandardOutput();
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

void TstArchiveCommand::importThenExport() {
    const QString results = dir_.filePath(QStringLiteral("day.txt"));
    QVERIFY(WriteAll(results, Line("10:00:00", "20,50") + Line("10:05:00", "21,25")));
    TRun run = Run({QStringLiteral("--import"), results});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(run.out.trimmed(),
             QStringLiteral("Импортировано файлов: 1, строк: 2, новых в архиве: 2").toUtf8());

    const QString csv = dir_.filePath(QStringLiteral("out.csv"));
    run = Run({"--export", "--from", "2026-03-05", "--to", "05.03.2026", "--format", "csv",
               "--output", csv});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QList<QByteArray> lines = ReadAll(csv).split('\n');
    QCOMPARE(lines.size(), 4); // header, two rows, nothing after the last CR LF
    // Default titles, as no settings file exists yet; none is created.
    QVERIFY(lines[0].startsWith(
        QStringLiteral("Проба,Дата,Время,Прибор,Градуировка,\"Темпер.,°С\",").toUtf8()));
    QVERIFY(lines[1].startsWith(
        QStringLiteral("Пиво; светлое,05.03.2026,10:00:00,,3,20.50,").toUtf8())); // no device
    QVERIFY(!QFileInfo::exists(QDir(settings_).filePath(QStringLiteral("Savro2.Ini"))));

    const QString jsonl = dir_.filePath(QStringLiteral("out.jsonl"));
    run = Run({"--export", "--from=2026-03-05", "--to=2026-03-05", "--sample", "СВЕТЛ", "--output",
               jsonl});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QList<QByteArray> objects = ReadAll(jsonl).trimmed().split('\n');
    QCOMPARE(objects.size(), 2);
    QCOMPARE(QJsonDocument::fromJson(objects[1]).object()["measured"].toString().left(19),
             QStringLiteral("2026-03-05T10:05:00"));

    // No device number finds the imported rows.
    run = Run({"--export", "--from", "2026-03-05", "--to", "2026-03-05", "--device", "0"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out.count('\n'), 1);

    // The day after holds nothing; stdout gets the Russian spreadsheet form.
    run = Run({"--export", "--from", "2026-03-06", "--to", "2026-03-06"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith(
        "\xEF\xBB\xBF\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB1\xD0\xB0;")); // BOM, "Проба;"
    QCOMPARE(run.out.count('\n'), 1);

    // A refused file: exit 1, named; the good one before it stays imported.
    const QString picture = dir_.filePath(QStringLiteral("photo.png"));
    QVERIFY(WriteAll(picture, QByteArray("\x89PNG\r\n\x1a\n", 8)));
    run = Run({QStringLiteral("--import"), results, picture});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(picture + QStringLiteral("», строка 1")), qPrintable(run.err));

    // "No number" cells are counted in the summary, not dropped silently.
    const QString odd = dir_.filePath(QStringLiteral("odd.txt"));
    QVERIFY(WriteAll(odd, Line("11:00:00", "nan") + Line("11:05:00", "-Inf")));
    run = Run({QStringLiteral("--import"), odd});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(QString::fromUtf8(run.out).contains(
                 QStringLiteral("Ячеек «не число» (NAN, INF, ∞): 2. Они записаны в архив без значения.")),
             run.out.constData());
}

void TstArchiveCommand::help_data() {
    QTest::addColumn<QString>("option");
    QTest::newRow("long") << "--help";
    QTest::newRow("short") << "-h";
}

// Told on the terminal with no display and nothing created; the archive's
// options as bad arguments show them.
void TstArchiveCommand::help() {
    QFETCH(QString, option);
    const QString settings = dir_.filePath(QStringLiteral("never-made"));
    const TRun run = Run({option, QStringLiteral("--import")}, settings);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
    const QString text = QString::fromUtf8(run.out);
    for (const char* expected : {"--settings ПУТЬ", "--version", "-h, --help", "Коды завершения"})
        QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
    QVERIFY(text.contains(Run({"--import"}).err.section(u'\n', 1).trimmed()));
    QVERIFY(!QFileInfo::exists(settings));
}

void TstArchiveCommand::badArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QStringList dates{"--from", "2026-03-01", "--to", "2026-03-02"};
    QTest::newRow("unknown option")
        << (QStringList{"--export", "--bogus"} + dates) << "Неизвестный параметр «--bogus»";
    QTest::newRow("missing value")
        << (QStringList{"--export", "--output"} + dates) << "После --output не указано";
    QTest::newRow("bad date") << QStringList{"--export", "--from", "2026-02-30", "--to",
                                             "2026-03-01"}
                              << "Неверная дата «2026-02-30»";
    QTest::newRow("from after to")
        << QStringList{"--export", "--from", "02.03.2026", "--to", "2026-03-01"} << "позже";
    QTest::newRow("unknown format")
        << (QStringList{"--export", "--format", "xlsx"} + dates) << "формат «xlsx»";
    QTest::newRow("no dates") << QStringList{"--export", "--from", "2026-03-01"} << "--from и --to";
    QTest::newRow("no files") << QStringList{"--import"} << "не указаны файлы";
    QTest::newRow("both modes") << QStringList{"--import", "a.txt", "--export"} << "вместе";
    QTest::newRow("no mode") << QStringList{"--output", "x.csv"}
                             << "--import, --export или --verify";
    QTest::newRow("verify and import") << QStringList{"--verify", "--import", "a.txt"} << "вместе";
    QTest::newRow("verify with a filter")
        << QStringList{"--verify", "--sample", "эталон"} << "(--sample) не относятся к --verify";
    QTest::newRow("verify with a file") << QStringList{"--verify", "a.txt"} << "Лишний аргумент «a.txt»";
}

void TstArchiveCommand::badArguments() {
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const TRun run = Run(args);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
}

QTEST_GUILESS_MAIN(TstArchiveCommand)
#include "tst_archivecommand.moc"
