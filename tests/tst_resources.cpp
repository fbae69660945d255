#include <QFile>
#include <QtTest>

// The built-in configuration must be byte-exact: a fresh installation's column
// titles come from nothing else.
class TstResources : public QObject {
    Q_OBJECT
private slots:
    void defaultIniIsExact() {
        QFile f(":/Savro2.Ini.default");
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QCOMPARE(bytes.size(), 740);
        QVERIFY(bytes.startsWith("[Config]\r\nCOM=COM1\r\nFileName=\xcd\xee\xe2\xfb\xe9.txt\r\n"));
        QVERIFY(bytes.contains("\r\n0=\xb9 \xf1\r\n"));
        QVERIFY(bytes.contains("\r\n6=\xd1\xef\xe8\xf0\xf2,%    \r\n"));
        QVERIFY(bytes.endsWith("\r\n31=0\r\n"));
        QCOMPARE(bytes.count("\r\n"), 67);
        QCOMPARE(bytes.count('\n'), 67);
    }
};

QTEST_GUILESS_MAIN(TstResources)
#include "tst_resources.moc"
