#include "document/NameEdits.h"

#include "results/ResultsTable.h"

#include <QRegularExpression>

TNameEdits::TNameEdits(TResultsTable& table, QObject* parent) : QObject(parent), Table_(table) {
    connect(&Table_, &TResultsTable::nameEdited, this, &TNameEdits::Edited);
}

void TNameEdits::Clear() {
    Steps_.clear();
}

void TNameEdits::Edited(int row, const QString& before) {
    if (Undoing_)
        return;
    if (Pasting_ && !Steps_.empty()) {
        Steps_.back().push_back({row, before});
        return;
    }
    Steps_.push_back({{row, before}});
    if (Steps_.size() > size_t(MaxSteps))
        Steps_.pop_front();
}

bool TNameEdits::SetName(int row, const QString& name) {
    return Table_.setData(Table_.index(row - 1, 0), name);
}

bool TNameEdits::Undo() {
    if (Steps_.empty())
        return false;
    const std::vector<TChange> step = std::move(Steps_.back());
    Steps_.pop_back();
    Undoing_ = true;
    // Backwards: a row changed twice in one step gets its first name back.
    for (auto it = step.rbegin(); it != step.rend(); ++it)
        SetName(it->Row, it->Before);
    Undoing_ = false;
    if (OnChanged)
        OnChanged();
    return true;
}

QStringList TNameEdits::Lines(QStringView text) {
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\n|\r"));
    QStringList lines = text.toString().split(lineBreak);
    // A copied column ends with a line break: no empty name after it.
    if (lines.size() > 1 && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

int TNameEdits::Paste(int row, QStringView text) {
    const QStringList lines = Lines(text);
    if (row < 1)
        return 0;
    Pasting_ = true;
    Steps_.emplace_back();
    for (qsizetype i = 0; i < lines.size() && row + i < Table_.RowCount(); ++i)
        SetName(row + int(i), lines[i]);
    Pasting_ = false;
    const int changed = int(Steps_.back().size());
    if (changed == 0)
        Steps_.pop_back();
    else if (Steps_.size() > size_t(MaxSteps))
        Steps_.pop_front();
    if (changed > 0 && OnChanged)
        OnChanged();
    return changed;
}
