#include "support/AppProcess.h"

#include <QDeadlineTimer>
#include <QTest>

TAppProcess::TAppProcess() {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

TAppProcess::~TAppProcess() {
    Kill();
}

QProcessEnvironment TAppProcess::Environment(const QString& root, const QString& driver,
                                             bool poll) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("LD_PRELOAD"), driver);
    env.insert(QStringLiteral("SAVRO2_DRIVER_ANSWER"), QStringLiteral("yes"));
    env.insert(QStringLiteral("SAVRO2_DRIVER_POLL"), poll ? QStringLiteral("1") : QString());
    return env;
}

bool TAppProcess::Start(const QString& program, const QStringList& args,
                        const QProcessEnvironment& env, const QString& workDir) {
    process_.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        process_.setWorkingDirectory(workDir);
    process_.start(program, args);
    return process_.waitForStarted(10000);
}

void TAppProcess::Collect() {
    partial_ += process_.readAllStandardOutput();
    qsizetype nl;
    while ((nl = partial_.indexOf('\n')) >= 0) {
        lines_ << QString::fromUtf8(partial_.left(nl)).trimmed();
        partial_.remove(0, nl + 1);
    }
}

QString TAppProcess::WaitForLine(const QString& prefix, int from, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const bool ended = process_.state() == QProcess::NotRunning;
        Collect();
        for (qsizetype i = from; i < lines_.size(); ++i)
            if (lines_[i].startsWith(prefix))
                return lines_[i];
        if (ended || deadline.hasExpired())
            return {};
        QTest::qWait(20);
    }
}

int TAppProcess::LineCount() {
    Collect();
    return int(lines_.size());
}

QStringList TAppProcess::Lines() {
    Collect();
    return lines_;
}

void TAppProcess::Send(const QByteArray& line) {
    process_.write(line + '\n');
}

QString TAppProcess::Ask(const QByteArray& command, const QString& prefix) {
    const int from = LineCount();
    Send(command);
    return WaitForLine(prefix, from);
}

QList<QStringList> TAppProcess::Dump() {
    const int from = LineCount();
    Send("dump");
    QList<QStringList> rows;
    if (WaitForLine(QStringLiteral("DUMPED"), from).isEmpty())
        return rows;
    for (qsizetype i = from; i < lines_.size() && lines_[i] != QStringLiteral("DUMPED"); ++i)
        if (lines_[i].startsWith(QStringLiteral("ROW ")))
            rows << lines_[i].mid(4).split(u'|');
    return rows;
}

bool TAppProcess::WaitForExit(int timeoutMs) {
    const bool done = process_.state() == QProcess::NotRunning || process_.waitForFinished(timeoutMs);
    Collect();
    return done && process_.exitStatus() == QProcess::NormalExit;
}

bool TAppProcess::Kill() {
    if (process_.state() == QProcess::NotRunning)
        return false;
    process_.kill();
    process_.waitForFinished(10000);
    return process_.exitStatus() == QProcess::CrashExit;
}
