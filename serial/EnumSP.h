#pragma once

#include <QString>
#include <QStringList>

// The machine's serial ports, as offered in the poll button's menu.

// Port names sorted by the user's locale ignoring case, names that compare
// equal kept once; returned as comma text.
QString ListSerialPorts();
// The same over a given list of names (the machine's list in ListSerialPorts).
QString ListSerialPorts(const QStringList& names);

// Comma text: items joined by commas; an item holding a blank, a control
// character, a comma or a double quote is quoted with inner quotes doubled.
QString JoinCommaText(const QStringList& items);
QStringList SplitCommaText(const QString& text);
