#include "results/RecordCycle.h"

#include "config/Cp1251.h"
#include "measurement/ValueText.h"

#include <cmath>

quint8 TRecordCycle::CommandForTurn(quint8 command) const {
    if (!LastRecordTime_.isValid())
        return 6;
    // A clock set back gives a negative difference: nothing is asked for
    // until the clock has passed the last record plus the interval again.
    if (LastRecordTime_.msecsTo(Now()) > IntervalMs)
        return 6;
    return command;
}

quint8 TRecordCycle::PutResult(quint8 command, quint8 status, QByteArrayView data, bool replyDone,
                               TResultsTable& table) {
    if (command == 6) {
        TMeasurementRecord record;
        if (!replyDone || !DecodeRecord(status, data, record))
            return 6;
        const QDateTime now = Now();
        if (IsNewMeasurement(record)) {
            const QByteArray bytes = DecodeRecordBytes(data);
            if (bytes != PendingAck_) {
                AppendMeasurement(table, record, now);
                PendingAck_ = bytes;
            }
        }
        LastRecordTime_ = now;
        return 9;
    }
    if (command == 9) {
        PendingAck_.clear();
        return 0;
    }
    return command;
}

QString TRecordCycle::DateText(const QDateTime& when) const {
    return Locale.toString(when.date(), QLocale::ShortFormat);
}

QString RegisterTimeFormat(const QLocale& locale) {
    // Each run of 't' (the zone) goes with the blanks around it. Done by
    // hand: a regular expression compiled per call cost more than the rest
    // of a measurement's row.
    const QString longFormat = locale.timeFormat(QLocale::LongFormat);
    const auto blank = [](QChar c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
    QString format;
    format.reserve(longFormat.size());
    for (qsizetype i = 0; i < longFormat.size();) {
        if (longFormat[i] != u't') {
            format += longFormat[i++];
            continue;
        }
        while (!format.isEmpty() && blank(format.back()))
            format.chop(1);
        while (i < longFormat.size() && longFormat[i] == u't')
            ++i;
        while (i < longFormat.size() && blank(longFormat[i]))
            ++i;
    }
    if (!format.contains(u's'))
        return QStringLiteral("HH:mm:ss");
    return format.trimmed();
}

QString TRecordCycle::TimeText(const QDateTime& when) const {
    return Locale.toString(when.time(), RegisterTimeFormat(Locale));
}

void TRecordCycle::AppendMeasurement(TResultsTable& table, const TMeasurementRecord& record,
                                     const QDateTime& when) const {
    const int row = table.RowCount() - 1;
    const QChar separator = TValueText::Separator(Locale);
    table.SetCell(2, row, Cp1251::encode(DateText(when)));
    table.SetCell(3, row, Cp1251::encode(TimeText(when)));
    table.SetCell(4, row, QByteArray::number(record.Calibration));
    for (int k = 0; k < IndicatorCount; ++k) {
        if (record.Mask & (1u << k))
            table.SetCell(k + 5, row,
                          Cp1251::encode(TValueText::Table(record.Values[k], separator)));
    }
    table.AddEntryRow();
    table.SetModified(true);
}

std::array<std::optional<double>, IndicatorCount>
TRecordCycle::Values(const TMeasurementRecord& record) {
    std::array<std::optional<double>, IndicatorCount> values{};
    for (int k = 0; k < IndicatorCount; ++k)
        if (record.Mask & (1u << k))
            values[size_t(k)] = record.Values[size_t(k)];
    return values;
}

bool TRecordCycle::Shows(const TResultsTable::Row& row, int calibration,
                         const std::array<std::optional<double>, IndicatorCount>& values) {
    bool ok = false;
    if (row.Cell(4).trimmed().toByteArray().toInt(&ok) != calibration || !ok)
        return false;
    for (int k = 0; k < IndicatorCount; ++k) {
        const QByteArrayView cell = row.Cell(k + 5).trimmed();
        const std::optional<double>& value = values[size_t(k)];
        if (!value) {
            if (!cell.isEmpty())
                return false;
        } else if (const std::optional<double> shown = TValueText::Parse(cell)) {
            if (!TValueText::SameInTable(*value, *shown))
                return false;
        } else if (std::isfinite(*value) || TValueText::Table(*value, u'.').toLatin1() != cell) {
            return false; // "NAN", "INF": the analyser gave no number
        }
    }
    return true;
}
