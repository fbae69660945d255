#pragma once

#include "measurement/RecordDecoder.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

// The archive cannot be opened, read or written; the message is for the
// operator, in Russian.
class EArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The archive was written by a newer program: it is left as it is.
class EArchiveTooNew : public EArchiveError {
public:
    using EArchiveError::EArchiveError;
};

// Another connection (an import, another program) held the archive for
// longer than this one waits: nothing was written, a later try may succeed.
class EArchiveBusy : public EArchiveError {
public:
    using EArchiveError::EArchiveError;
};

// One measurement as the archive keeps it.
struct TArchiveMeasurement {
    qint64 Id = 0;  // the archive's own row number; 0 before it is stored
    QString Uid;    // unique key: the same measurement is never stored twice
    // nullopt where not known: a results file does not say which analyser measured.
    std::optional<quint16> Device;
    QString Port;
    QString Computer;
    QString User; // who measured; empty where not known (imported rows)
    QString ProgramVersion;
    // The measurement's date and time as the results table shows it (whole
    // seconds, local time).
    QDateTime Measured;
    int Calibration = 0;
    // As the analyser sent it; nullopt where the indicator is absent.
    std::array<std::optional<double>, IndicatorCount> Values{};
    QByteArray Raw;     // the 115 record bytes; empty for imported rows
    QDateTime Received; // when the program took it (imported: when imported)
    QString ResultsFile;
    QString SampleName; // current name; earlier ones are in the name history
    QString Source;     // SourceAnalyser or SourceImport
    // Set while the measurement is marked invalid.
    QString InvalidReason;
    QString InvalidBy;
    QDateTime InvalidAt;
    QString ImportedBy; // who brought the row in from a results file
    // Decimals the results file wrote its values with; nullopt for the
    // analyser's full values.
    std::optional<int> Decimals;

    bool Invalid() const { return InvalidAt.isValid(); }
};

// What a person reads where the archive does not know (a device, a user).
inline const QString UnknownText = QStringLiteral("—");

inline QString DeviceText(const std::optional<quint16>& device) {
    return device ? QString::number(*device) : UnknownText;
}

// The decimals value k of m is shown with where the archive shows decimals
// per indicator: no more than an imported row's file wrote, so "1,01" never
// reads "1,01000".
inline int ShownDecimals(const TArchiveMeasurement& m, int k,
                         const std::array<int, IndicatorCount>& decimals) {
    const int wanted = decimals[size_t(k)];
    return m.Decimals ? std::min(wanted, *m.Decimals) : wanted;
}

// An instrument as reports and chart captions name it: "№ 7, порт ttyUSB0,
// компьютер lab-pc", leaving out what is not known ("№ —" for the device).
inline QString InstrumentText(const std::optional<quint16>& device, const QString& port,
                              const QString& computer) {
    QString text = QStringLiteral("№ ") + DeviceText(device);
    if (!port.isEmpty())
        text += QStringLiteral(", порт ") + port;
    if (!computer.isEmpty())
        text += QStringLiteral(", компьютер ") + computer;
    return text;
}

struct TNameChange {
    QDateTime When;
    QString User;
    QString OldName;
    QString NewName;
    qint64 Id = 0;
    QString Key; // unique: the change is stored once wherever it goes
    QString Uid; // the measurement's
};

// One mark or unmark of a measurement as invalid (Reason empty: valid again).
struct TInvalidMark {
    qint64 Id = 0;
    QString Key;
    QString Uid; // the measurement's
    QDateTime When;
    QString User;
    QString Reason;
};

// What a lab server holds of one register's measurements: how many, and the
// highest of their local ids. Both only grow while the server keeps its
// rows; less than was confirmed means the server lost some.
struct TServerHold {
    qint64 Rows = 0;
    qint64 Top = 0;
};

// A count and a checksum of keys: the sum of each key's KeyHash, so the
// order of the rows does not matter.
struct TKeySum {
    qint64 Count = 0;
    qint64 Sum = 0;
    bool operator==(const TKeySum& o) const { return Count == o.Count && Sum == o.Sum; }
    bool operator!=(const TKeySum& o) const { return !(*this == o); }
};

// A time the link to the analyser was down.
struct TLinkOutage {
    qint64 Id = 0;
    QDateTime From;
    QDateTime To; // invalid while it lasts
    QString Port;
    quint16 Device = 0;
    QString Reason;
};

struct TArchiveFilter {
    QDateTime From; // inclusive; invalid: no lower bound
    QDateTime To;   // inclusive; invalid: no upper bound
    QString SampleContains; // case-insensitive; empty: every name
    std::optional<quint16> Device;
    bool IncludeInvalid = true;
    // When not empty, only these rows (Id), whatever else the filter says.
    std::vector<qint64> Ids;
};

// Where a page of the list ends, so the next one starts after it without
// counting rows (keyset paging keeps the millionth page as fast as the first).
struct TArchiveCursor {
    qint64 MeasuredMs = 0;
    qint64 Id = 0;
};

// One chart point straight from the archive.
struct TArchivePoint {
    qint64 Id = 0;
    qint64 When = 0; // local date and time, ms since the epoch
    double Value = 0;
    bool Invalid = false;
};


// What the archive window, its chart and the export read: this computer's
// archive (TArchive) or the lab server's (TLabArchive). Ids are the
// reader's own.
class TArchiveReader {
public:
    virtual ~TArchiveReader() = default;

    virtual std::vector<TArchiveMeasurement> Page(const TArchiveFilter& filter,
                                                  const std::optional<TArchiveCursor>& after,
                                                  int limit) const = 0;
    virtual void ForEach(const TArchiveFilter& filter,
                         const std::function<bool(const TArchiveMeasurement&)>& visit) const = 0;
    virtual std::vector<TArchivePoint> Points(const TArchiveFilter& filter, int indicator) const = 0;
    virtual qint64 Count(const TArchiveFilter& filter) const = 0;
    virtual std::vector<TNameChange> NameHistory(const QString& uid) const = 0;
    virtual std::optional<TArchiveMeasurement> FindId(qint64 id) const = 0;
    // Whether marks and imports can be written here (this computer's archive).
    virtual bool Writable() const = 0;
};
