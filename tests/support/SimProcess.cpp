#include "support/SimProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

TSimProcess::TSimProcess() {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

TSimProcess::~TSimProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
}

QString TSimProcess::Program() {
#ifdef SAVRO2_SIM_PATH
    return QStringLiteral(SAVRO2_SIM_PATH);
#else
    return QStringLiteral("savro2-sim");
#endif
}

bool TSimProcess::Start(const QStringList& args, int timeoutMs) {
    process_.start(Program(), args);
    if (!process_.waitForStarted(timeoutMs))
        return false;
    const QString line = WaitForLine(QStringLiteral("PORT "), timeoutMs);
    if (line.isEmpty())
        return false;
    port_ = line.mid(5).trimmed();
    return !port_.isEmpty();
}

void TSimProcess::Send(const QString& line) {
    process_.write((line + QLatin1Char('\n')).toUtf8());
    process_.waitForBytesWritten(1000);
}

void TSimProcess::Collect() {
    partial_ += process_.readAllStandardOutput();
    qsizetype nl;
    while ((nl = partial_.indexOf('\n')) >= 0) {
        lines_.append(QString::fromUtf8(partial_.left(nl)).trimmed());
        partial_.remove(0, nl + 1);
    }
}

QString TSimProcess::WaitForLine(const QString& prefix, int timeoutMs, int from) {
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        Collect();
        for (int i = qMax(0, from); i < lines_.size(); ++i)
            if (lines_[i].startsWith(prefix))
                return lines_[i];
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            Collect();
            for (int i = qMax(0, from); i < lines_.size(); ++i)
                if (lines_[i].startsWith(prefix))
                    return lines_[i];
            return {};
        }
        // Keeps the event loop (and the poller's hand-overs) served.
        QTest::qWait(10);
    }
}

int TSimProcess::CountLines(const QString& prefix) {
    Collect();
    int n = 0;
    for (const QString& l : lines_)
        n += l.startsWith(prefix) ? 1 : 0;
    return n;
}

void TSimProcess::CloseStdin() {
    process_.closeWriteChannel();
}

bool TSimProcess::WaitForExit(int timeoutMs) {
    const bool done = process_.state() == QProcess::NotRunning || process_.waitForFinished(timeoutMs);
    Collect();
    return done;
}
