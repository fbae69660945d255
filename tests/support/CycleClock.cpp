#include "support/CycleClock.h"

#include "register/Unit1.h"
#include "support/SimProcess.h"

void TCycleClock::Attach(TForm1& form) {
    form_ = &form;
    now_ = QDateTime(QDate(2026, 12, 8), QTime(9, 0));
    form.Doc.Cycle().Now = [this] { return now_; };
}

void TCycleClock::NextCycle() {
    now_ = now_.addMSecs(form_->Doc.Cycle().IntervalMs + 1000);
}

bool TCycleClock::CycleUntil(TSimProcess& sim, const QString& prefix) {
    for (int round = 0; round < 100; ++round) {
        if (sim.CountLines(prefix) > 0)
            return true;
        NextCycle();
        if (!sim.WaitForLine(prefix, 200).isEmpty())
            return true;
    }
    return false;
}
