#pragma once

#include "measurement/RecordDecoder.h"
#include "results/ResultsTable.h"

#include <QDateTime>
#include <QLocale>

#include <array>
#include <functional>
#include <optional>

// The time format of the register's time column: the locale's long time
// format less its time zone, or HH:mm:ss where that has no seconds.
QString RegisterTimeFormat(const QLocale& locale);

// The window's side of every polling turn: when to ask for the record
// (command 6), when to acknowledge it (9) and when to stay idle (0), and
// the writing of a new measurement into the results table.
class TRecordCycle {
public:
    // Injectable so the cycle can be run in seconds by tests.
    std::function<QDateTime()> Now = [] { return QDateTime::currentDateTime(); };
    qint64 IntervalMs = 2 * 60 * 1000;
    QLocale Locale = QLocale::system();

    // Start of a turn: the command to send, given the one pending.
    quint8 CommandForTurn(quint8 command) const;

    // After a reply was handed over for command. Appends a new measurement to
    // table and returns the next command. replyDone is the exchange's own
    // verdict: a full-length record whose address tail did not match is
    // refused like a short one.
    quint8 PutResult(quint8 command, quint8 status, QByteArrayView data, bool replyDone,
                     TResultsTable& table);

    const QDateTime& LastRecordTime() const { return LastRecordTime_; }

    // Record bytes of the last measurement appended whose command 9 has not
    // been echoed yet. Offered again with exactly these bytes (the program
    // died, or acknowledgements failed past the interval), the record is
    // acknowledged without a second row. Empty when none is pending.
    const QByteArray& PendingAck() const { return PendingAck_; }
    void SetPendingAck(const QByteArray& recordBytes) { PendingAck_ = recordBytes; }

    // Writes record into the entry row and adds a new entry row; marks the
    // table modified so the new row is offered for saving.
    void AppendMeasurement(TResultsTable& table, const TMeasurementRecord& record,
                           const QDateTime& when) const;

    // The indicators a record carries; nullopt where its mask leaves one out.
    static std::array<std::optional<double>, IndicatorCount>
    Values(const TMeasurementRecord& record);
    // Whether a table row shows a measurement of calibration and values
    // (nullopt: the indicator is absent), compared as numbers at the table's
    // decimals: a row written under another locale or re-saved by a
    // spreadsheet ("20" for "20,00") is the same row. Date and time are the
    // caller's to compare.
    static bool Shows(const TResultsTable::Row& row, int calibration,
                      const std::array<std::optional<double>, IndicatorCount>& values);

    QString DateText(const QDateTime& when) const;
    QString TimeText(const QDateTime& when) const;

private:
    QByteArray PendingAck_;
    QDateTime LastRecordTime_; // invalid until the first record: the first turn asks at once
};
