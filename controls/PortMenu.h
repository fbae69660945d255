#pragma once

#include <QString>

class QMenu;

// Replaces the menu's entries with one checkable radio entry per serial port
// (object name and text = the port name); the entry equal to current (exact,
// case-sensitive) is checked. Clicking the checked entry unchecks it.
void FillPortMenu(QMenu& menu, const QString& current);
// The same over a given comma text of ports, for the caller that has one.
void FillPortMenu(QMenu& menu, const QString& current, const QString& portsCommaText);

class QAction;

// After the listed ports: the current port when the list does not hold it
// (checked, so the port in use is always marked), a divider and the entry
// that asks for any other port name. Returns that entry.
QAction* AddOtherPortItems(QMenu& menu, const QString& current, const QString& otherCaption);
// Description and maker of a port as its entry's tool tip; empty when the
// system knows neither.
QString PortToolTip(const QString& description, const QString& manufacturer);
// Gives the listed entries the tool tips of the machine's ports.
void SetPortToolTips(QMenu& menu);
