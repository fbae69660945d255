#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <deque>
#include <functional>
#include <vector>

class TResultsTable;

// The operator's changes of sample names, for Ctrl+Z: each committed edit is
// one step, a paste of several names one step too. A step is taken back
// through the table's setData, as a typed edit is written. Also pastes a
// column of names.
class TNameEdits : public QObject {
    Q_OBJECT
public:
    // The oldest steps go beyond this many.
    static constexpr int MaxSteps = 200;

    explicit TNameEdits(TResultsTable& table, QObject* parent = nullptr);

    // Names were changed here (undone or pasted): the document's edit path.
    std::function<void()> OnChanged;

    // Another table is shown: its rows are not the ones the steps name.
    void Clear();
    int Steps() const { return int(Steps_.size()); }
    // Puts back the names of the newest step; false when there is none.
    bool Undo();
    // One name per line of text, from table row `row` down, as far as the
    // entry row; names the code page cannot hold leave their row as it is.
    // One step; returns how many names changed.
    int Paste(int row, QStringView text);
    // The names text holds, one a line.
    static QStringList Lines(QStringView text);

private:
    struct TChange {
        int Row = 0;
        QString Before;
    };
    void Edited(int row, const QString& before);
    bool SetName(int row, const QString& name);

    TResultsTable& Table_;
    std::deque<std::vector<TChange>> Steps_;
    bool Undoing_ = false;
    bool Pasting_ = false;
};
