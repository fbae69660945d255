#pragma once

#include <QString>

class QMenu;

// Replaces the menu's entries with one checkable radio entry per serial port
// (object name and text = the port name); the entry equal to current (exact,
// case-sensitive) is checked. Clicking the checked entry unchecks it.
void FillPortMenu(QMenu& menu, const QString& current);
// The same over a given comma text of ports, for the caller that has one.
void FillPortMenu(QMenu& menu, const QString& current, const QString& portsCommaText);
