#include "results/ResultsFile.h"
#include "results/ResultsTable.h"

#include "config/Cp1251.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kCols = TResultsTable::ColCount;
const QByteArray kEmptyLine = QByteArray(30, '\t') + "\r\n";

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Row r's columns 1..31 as a list, empty trailing fields dropped.
QList<QByteArray> fieldsOf(const TResultsTable& t, int r) {
    QList<QByteArray> out;
    for (int c = 1; c < kCols; ++c)
        out.append(t.Cell(c, r));
    while (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

bool isRoot() { return ::geteuid() == 0; }

// The error code op fails with (0 when it succeeds); the message must be the
// code's text.
int errorCode(const std::function<void()>& op) {
    try {
        op();
    } catch (const EInOutError& e) {
        if (QString::fromUtf8(e.what()) != FileErrorMessage(e.ErrorCode()))
            return -1;
        return e.ErrorCode();
    }
    return 0;
}

// Lowers a resource limit for one scope.
class LimitGuard {
public:
    LimitGuard(int resource, rlim_t soft) : m_resource(resource) {
        ::getrlimit(resource, &m_old);
        rlimit lowered = m_old;
        lowered.rlim_cur = soft;
        m_ok = ::setrlimit(resource, &lowered) == 0;
    }
    ~LimitGuard() { ::setrlimit(m_resource, &m_old); }
    LimitGuard(const LimitGuard&) = delete;
    LimitGuard& operator=(const LimitGuard&) = delete;
    bool ok() const { return m_ok; }

private:
    int m_resource;
    rlimit m_old{};
    bool m_ok = false;
};

} // namespace

class TstResultsFile : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void newTableIsOneLineOfTabs() {
        TResultsTable t;
        t.SetModified(true);
        SaveResultsFile(t, path("new.txt"));
        QCOMPARE(readAll(path("new.txt")), kEmptyLine);
        QVERIFY(!t.Modified());

        TResultsTable back;
        LoadResultsFile(back, path("new.txt"));
        QCOMPARE(back.RowCount(), 2);
        QCOMPARE(back.Cell(0, 1), QByteArray("1"));
        QVERIFY(fieldsOf(back, 1).isEmpty());
    }

    void roundTrip() {
        TResultsTable t;
        t.SetColWidth(9, -1); // hidden columns are saved like visible ones
        for (int r = 1; r <= 3; ++r) {
            t.SetCell(0, r, "99"); // numbers are not saved
            t.SetCell(1, r, Cp1251::encode(u"Проба ") + QByteArray::number(r));
            t.SetCell(2, r, "0" + QByteArray::number(r) + ".02.2026");
            t.SetCell(9, r, "4,25");
            t.SetCell(31, r, " end ");
            t.AddEntryRow();
        }
        t.SetCell(1, 4, Cp1251::encode(u"Впереди"));
        SaveResultsFile(t, path("rt.txt"));

        TResultsTable back;
        LoadResultsFile(back, path("rt.txt"));
        QCOMPARE(back.RowCount(), t.RowCount());
        for (int r = 1; r < t.RowCount(); ++r) {
            QCOMPARE(back.Cell(0, r), QByteArray::number(r));
            for (int c = 1; c < kCols; ++c)
                QCOMPARE(back.Cell(c, r), t.Cell(c, r));
        }
        SaveResultsFile(back, path("rt2.txt"));
        QCOMPARE(readAll(path("rt2.txt")), readAll(path("rt.txt")));
    }

    void loaderIsLenient_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QList<QList<QByteArray>>>("rows");
        using Rows = QList<QList<QByteArray>>;
        QList<QByteArray> f32;
        QByteArray line32;
        for (int i = 1; i <= 32; ++i)
            line32 += (i > 1 ? "\t" : "") + QByteArray("f") + QByteArray::number(i);
        for (int i = 1; i <= 30; ++i)
            f32 << "f" + QByteArray::number(i);
        f32 << "f31f32";

        QTest::newRow("empty file") << QByteArray() << Rows{{}};
        QTest::newRow("a tab b, no line end") << QByteArray("a\tb") << Rows{{"a", "b"}, {}};
        QTest::newRow("32 fields") << line32 + "\r\n" << Rows{f32, {}};
        QTest::newRow("tabs past the last column") << QByteArray(40, '\t') + "x\ty" << Rows{QList<QByteArray>(30) << "xy"};
        QTest::newRow("LF only") << QByteArray("a\nb\tc\n") << Rows{{"a"}, {"b", "c"}, {}};
        QTest::newRow("CR LF") << QByteArray("a\r\nb\tc\r\n") << Rows{{"a"}, {"b", "c"}, {}};
        QTest::newRow("stray CR dropped") << QByteArray("a\rb\tc\r\r\n") << Rows{{"ab", "c"}, {}};
        QTest::newRow("Ctrl-Z ends the file") << QByteArray("a\r\nb\x1a" "c\r\nd\r\n") << Rows{{"a"}, {"b"}};
        QTest::newRow("Ctrl-Z at line start") << QByteArray("a\r\n\x1a\r\nd\r\n") << Rows{{"a"}};
        QTest::newRow("empty lines") << QByteArray("\r\n\n") << Rows{{}, {}};
        QTest::newRow("NUL and high bytes kept") << QByteArray("\0\xff\x98\t\x1b", 5) << Rows{{QByteArray("\0\xff\x98", 3), "\x1b"}, {}};
        QTest::newRow("last line is a measurement")
            << QByteArray("n1\t01.02.2026\t10:00\r\n")
            << Rows{{"n1", "01.02.2026", "10:00"}, {}};
        QTest::newRow("entry row with a name last")
            << QByteArray("n1\t01.02.2026\r\nnext\r\n")
            << Rows{{"n1", "01.02.2026"}, {"next"}};
    }
    void loaderIsLenient() {
        QFETCH(QByteArray, file);
        QFETCH(QList<QList<QByteArray>>, rows);
        QVERIFY(writeAll(path("lenient.txt"), file));
        TResultsTable t;
        t.SetModified(true);
        LoadResultsFile(t, path("lenient.txt"));
        QVERIFY(!t.Modified());
        QCOMPARE(t.RowCount(), int(rows.size()) + 1);
        for (int r = 1; r < t.RowCount(); ++r) {
            QCOMPARE(t.Cell(0, r), QByteArray::number(r));
            QCOMPARE(fieldsOf(t, r), rows.at(r - 1));
        }
    }

    // Rows are numbered as they are read, through every carry; the same
    // bytes loaded from memory over a table in use give the same table, and
    // it saves to the bytes the file saver writes.
    void rowNumbersAndTextLoad_data() {
        QTest::addColumn<int>("lines");
        for (int n : {1, 9, 10, 99, 100, 1000, 10001})
            QTest::newRow(qPrintable(QString::number(n))) << n;
    }
    void rowNumbersAndTextLoad() {
        QFETCH(int, lines);
        QByteArray bytes;
        for (int i = 0; i < lines; ++i)
            bytes += "s" + QByteArray::number(i) + (i % 3 != 0 ? "\t01.02.2026\r\n" : "\r\n");
        QVERIFY(writeAll(path("numbers.txt"), bytes));
        TResultsTable fromFile;
        LoadResultsFile(fromFile, path("numbers.txt"));
        const bool spare = (lines - 1) % 3 != 0; // the last line holds a date
        QCOMPARE(fromFile.RowCount(), lines + 1 + (spare ? 1 : 0));

        TResultsTable fromText;
        LoadResultsText(fromText, QByteArray(40, '\n') + "old\t01.01.2026\tx");
        fromText.SetModified(true);
        LoadResultsText(fromText, bytes);
        QVERIFY(!fromText.Modified());
        QCOMPARE(fromText.RowCount(), fromFile.RowCount());
        for (int r = 1; r < fromFile.RowCount(); ++r) {
            QCOMPARE(fromFile.Cell(0, r), QByteArray::number(r));
            for (int c = 0; c < kCols; ++c)
                QCOMPARE(fromText.Cell(c, r), fromFile.Cell(c, r));
        }
        QVERIFY(fieldsOf(fromFile, fromFile.RowCount() - 1).isEmpty() || !spare);
        SaveResultsFile(fromFile, path("numbers2.txt"));
        QCOMPARE(ResultsText(fromText), readAll(path("numbers2.txt")));
    }

    void tabInsideACellShiftsTheRest() {
        TResultsTable t;
        t.SetCell(1, 1, "x\ty");
        t.SetCell(2, 1, "d");
        t.SetCell(31, 1, "last");
        SaveResultsFile(t, path("tab.txt"));
        QVERIFY(readAll(path("tab.txt")).startsWith("x\ty\td\t"));
        TResultsTable back;
        LoadResultsFile(back, path("tab.txt"));
        QCOMPARE(back.Cell(1, 1), QByteArray("x"));
        QCOMPARE(back.Cell(2, 1), QByteArray("y"));
        QCOMPARE(back.Cell(3, 1), QByteArray("d"));
        QCOMPARE(back.Cell(31, 1), QByteArray("last"));
    }

    // Every byte but tab, CR, LF and Ctrl-Z survives loading and saving.
    void allBytesRoundTrip() {
        const QString data = QFINDTESTDATA("data/results/allbytes.txt");
        QVERIFY(!data.isEmpty());
        const QByteArray original = readAll(data);
        TResultsTable t;
        LoadResultsFile(t, data);
        QCOMPARE(t.RowCount(), 3);
        QByteArray seen;
        for (int c = 1; c < kCols; ++c)
            seen += t.Cell(c, 1);
        for (int b = 0; b < 256; ++b) {
            if (b != 0x09 && b != 0x0a && b != 0x0d && b != 0x1a)
                QVERIFY2(seen.contains(char(b)), qPrintable(QString::number(b, 16)));
        }
        QCOMPARE(t.Cell(1, 2), Cp1251::encode(u"Проба"));
        SaveResultsFile(t, path("allbytes.txt"));
        QCOMPARE(readAll(path("allbytes.txt")), original);
    }

    void missingFileIsAnEmptyTable() {
        TResultsTable t;
        t.SetCell(1, 1, "old");
        t.AddEntryRow();
        t.SetModified(true);
        LoadResultsFile(t, path("does-not-exist.txt"));
        QCOMPARE(t.RowCount(), 2);
        QCOMPARE(t.Cell(0, 1), QByteArray("1"));
        QVERIFY(fieldsOf(t, 1).isEmpty());
        QVERIFY(!t.Modified());
        QVERIFY(!QFile::exists(path("does-not-exist.txt")));
    }

    void errorTexts_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("2") << 2 << "File not found";
        QTest::newRow("3") << 3 << "Invalid filename";
        QTest::newRow("4") << 4 << "Too many open files";
        QTest::newRow("5") << 5 << "File access denied";
        QTest::newRow("other") << 28 << "I/O error 28";
    }
    void errorTexts() {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(FileErrorMessage(code), text);
    }

    // Every failed save keeps the previous file and the unsaved state.
    void failedSave_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("needsPermissions");
        QTest::addColumn<int>("code");
        QTest::newRow("missing folder") << "no-such-folder/out.txt" << false << 3;
        QTest::newRow("file as folder") << "plain.txt/out.txt" << false << 3;
        QTest::newRow("target is a folder") << "afolder" << false << 5;
        QTest::newRow("empty name") << "" << false << 3;
        QTest::newRow("read-only target") << "plain.txt" << true << 5;
        QTest::newRow("read-only folder") << "ro/plain.txt" << true << 5;
    }
    void failedSave() {
        QFETCH(QString, target);
        QFETCH(bool, needsPermissions);
        QFETCH(int, code);
        if (needsPermissions && isRoot())
            QSKIP("running as root: permissions do not stop root from writing");
        QDir(m_dir.path()).mkpath("afolder");
        QDir(m_dir.path()).mkpath("ro");
        QVERIFY(writeAll(path("plain.txt"), "plain"));
        QVERIFY(writeAll(path("ro/plain.txt"), "plain"));
        QFile::setPermissions(path("plain.txt"), QFile::ReadOwner);
        QFile::setPermissions(path("ro"), QFile::ReadOwner | QFile::ExeOwner);
        TResultsTable t;
        t.SetModified(true);
        const int got = errorCode([&] { SaveResultsFile(t, target.isEmpty() ? QString() : path(target)); });
        QFile::setPermissions(path("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(path("plain.txt"), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(got, code);
        QVERIFY(t.Modified());
        QCOMPARE(readAll(path("plain.txt")), QByteArray("plain"));
        QCOMPARE(readAll(path("ro/plain.txt")), QByteArray("plain"));
    }

    void failedLoad_data() {
        QTest::addColumn<bool>("isFolder");
        QTest::addColumn<int>("code");
        // A folder is no results file: it loads as a missing one (code 0),
        // and saving to it fails with the usual error.
        QTest::newRow("folder") << true << 0;
        QTest::newRow("unreadable") << false << 5;
    }
    void failedLoad() {
        QFETCH(bool, isFolder);
        QFETCH(int, code);
        if (!isFolder && isRoot())
            QSKIP("running as root: permissions do not stop root from reading");
        const QString name = path(isFolder ? "folder.txt" : "secret.txt");
        if (isFolder)
            QVERIFY(QDir(m_dir.path()).mkpath("folder.txt"));
        else
            QVERIFY(writeAll(name, "a\r\n") && QFile::setPermissions(name, QFile::WriteOwner));
        TResultsTable t;
        t.SetModified(true);
        t.SetCell(1, 1, "old");
        QCOMPARE(errorCode([&] { LoadResultsFile(t, name); }), code);
        QVERIFY(!t.Modified());
        QCOMPARE(t.RowCount(), 2);
        QVERIFY(t.Cell(1, 1).isEmpty());
        if (isFolder) {
            QCOMPARE(t.Cell(0, 1), QByteArray("1"));
            QCOMPARE(errorCode([&] { SaveResultsFile(t, name); }), 5);
        }
    }

    // Reading /proc/self/mem from offset 0 fails with EIO: a read error after
    // a successful open.
    void readErrorIsAnIoError() {
        if (!QFile::exists("/proc/self/mem"))
            QSKIP("no /proc/self/mem here");
        TResultsTable t;
        t.SetModified(true);
        try {
            LoadResultsFile(t, "/proc/self/mem");
            QFAIL("no error");
        } catch (const EInOutError& e) {
            QCOMPARE(e.ErrorCode(), EIO);
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("I/O error %1").arg(EIO));
        }
        QVERIFY(!t.Modified());
        QCOMPARE(t.RowCount(), 2);
    }

    // A write that fails half-way (here at the file size limit, as on a full
    // disk) leaves the previous file as it was and no temporary file behind.
    void failedWriteLeavesOldFileIdentical() {
        const QString target = path("big.txt");
        QVERIFY(writeAll(target, kEmptyLine));
        TResultsTable t;
        for (int r = 0; r < 3000; ++r) {
            t.SetCell(1, t.RowCount() - 1, QByteArray(100, 'n'));
            t.AddEntryRow();
        }
        t.SetModified(true);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        int code = 0;
        {
            LimitGuard limit(RLIMIT_FSIZE, 64 * 1024);
            QVERIFY(limit.ok());
            code = errorCode([&] { SaveResultsFile(t, target); });
        }
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(code, EFBIG);
        QCOMPARE(readAll(target), kEmptyLine);
        QVERIFY(t.Modified());
        QCOMPARE(QDir(m_dir.path()).entryList({"big.txt*"}, QDir::Files | QDir::Hidden), QStringList{"big.txt"});
    }

    void tooManyOpenFiles() {
        QVERIFY(writeAll(path("few.txt"), "a\r\n"));
        TResultsTable t;
        int loadCode = 0;
        int saveCode = 0;
        {
            // The lowest free descriptor becomes the limit: no new one opens.
            const int next = ::dup(0);
            QVERIFY(next >= 0);
            ::close(next);
            LimitGuard limit(RLIMIT_NOFILE, rlim_t(next));
            QVERIFY(limit.ok());
            loadCode = errorCode([&] { LoadResultsFile(t, path("few.txt")); });
            saveCode = errorCode([&] { SaveResultsFile(t, path("few.txt")); });
        }
        QCOMPARE(loadCode, 4);
        QCOMPARE(saveCode, 4);
        QCOMPARE(readAll(path("few.txt")), QByteArray("a\r\n"));
    }

    // Another program's UTF-8 is told from code page 1251 by its bytes alone.
    void encodingOfTheBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("utf8");
        const QByteArray name = QStringLiteral("Пиво светлое").toUtf8();
        const QByteArray bom("\xEF\xBB\xBF");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("ASCII only") << QByteArray("Beer\t20.01.2026\r\n") << false;
        QTest::newRow("code page 1251") << Cp1251::encode(u"Пиво светлое\t1,00") << false;
        QTest::newRow("UTF-8") << name << true;
        QTest::newRow("four-byte sequence") << QByteArray("ale \xF0\x9F\x8D\xBA") << true;
        QTest::newRow("byte order mark, ASCII after") << bom + "Beer" << true;
        QTest::newRow("byte order mark, 1251 after") << bom + Cp1251::encode(u"Пиво") << true;
        // "Р°" in code page 1251 is UTF-8 for "а": such a file is asked about.
        QTest::newRow("1251 that is valid UTF-8") << Cp1251::encode(u"Р°") << true;
        QTest::newRow("one byte that is not UTF-8") << name + "\xFF" << false;
        QTest::newRow("cut at the end") << name.chopped(1) << false;
        QTest::newRow("overlong form") << QByteArray("a\xC0\xAF") << false;
        QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << false;
        QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
        QTest::newRow("after Ctrl-Z not read") << name + "\x1A\xFF" << true;
    }
    void encodingOfTheBytes() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, utf8);
        const TTextEncoding expected = utf8 ? TTextEncoding::Utf8 : TTextEncoding::Cp1251;
        QCOMPARE(DetectTextEncoding(bytes), expected);
        QVERIFY(writeAll(path("detect.txt"), bytes));
        QCOMPARE(DetectFileEncoding(path("detect.txt")), expected);
    }

    // Read as UTF-8 the cells hold code page 1251 like any others; a
    // character split between two chunks of the read is whole.
    void utf8FileIsReadIntoTheCodePage() {
        const QByteArray longName(1024 * 1024 - 3 - 1, 'x'); // "П" straddles the first MiB
        const QByteArray bytes =
            "\xEF\xBB\xBF" + longName + QStringLiteral("Пиво\t漢№1\r\n").toUtf8();
        QVERIFY(writeAll(path("utf8.txt"), bytes));
        QCOMPARE(DetectFileEncoding(path("utf8.txt")), TTextEncoding::Utf8);
        TResultsTable t;
        LoadResultsFile(t, path("utf8.txt"), TTextEncoding::Utf8);
        QCOMPARE(t.RowCount(), 3); // a date field: an entry row follows
        QCOMPARE(t.Cell(1, 1), longName + Cp1251::encode(u"Пиво"));
        QCOMPARE(t.Cell(2, 1), Cp1251::encode(u"№1")); // no byte for "漢"
        // Read as before, the same file is its bytes.
        LoadResultsFile(t, path("utf8.txt"));
        QCOMPARE(t.Cell(1, 1), "\xEF\xBB\xBF" + longName + QStringLiteral("Пиво").toUtf8());
    }

    void fiftyMegabyteLine() {
        QByteArray line(50 * 1024 * 1024, 'x');
        line[1000] = '\t';
        line += "\tend";
        QVERIFY(writeAll(path("long.txt"), line));
        line.clear();
        TResultsTable t;
        LoadResultsFile(t, path("long.txt"));
        QCOMPARE(t.RowCount(), 3); // the line holds a date field: an entry row follows
        QCOMPARE(t.CellView(1, 1).size(), qsizetype(1000));
        QCOMPARE(t.CellView(2, 1).size(), qsizetype(50 * 1024 * 1024 - 1001));
        QCOMPARE(t.Cell(3, 1), QByteArray("end"));
        SaveResultsFile(t, path("long2.txt"));
        QCOMPARE(QFileInfo(path("long2.txt")).size(), qint64(50 * 1024 * 1024 + 34 + kEmptyLine.size()));
    }
};

QTEST_GUILESS_MAIN(TstResultsFile)
#include "tst_resultsfile.moc"
