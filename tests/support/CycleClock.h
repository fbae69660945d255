#pragma once

#include <QDateTime>
#include <QString>

class TForm1;
class TSimProcess;

// The measurement cycle on the test's clock: a record is asked for only when
// the test moves the clock past the interval.
class TCycleClock {
public:
    // Makes form's cycle read this clock, which starts on a fixed morning.
    void Attach(TForm1& form);

    // Moves the clock past the next interval.
    void NextCycle();

    // Moves the clock on until the simulator reports prefix. A request that
    // overtakes the simulator's reading of its stdin is answered with an
    // empty record, which adds no row and only costs one more cycle.
    bool CycleUntil(TSimProcess& sim, const QString& prefix);

private:
    TForm1* form_ = nullptr;
    QDateTime now_;
};
