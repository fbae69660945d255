#include "serial/PortMenu.h"

#include "serial/EnumSP.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

void FillPortMenu(QMenu& menu, const QString& current) {
    FillPortMenu(menu, current, ListSerialPorts());
}

void FillPortMenu(QMenu& menu, const QString& current, const QString& portsCommaText) {
    const QStringList names = SplitCommaText(portsCommaText);
    // The old entries and their group go together; the menu owns the new ones.
    const auto groups = menu.findChildren<QActionGroup*>(QString(), Qt::FindDirectChildrenOnly);
    menu.clear();
    qDeleteAll(groups);
    if (names.isEmpty())
        return;
    auto* group = new QActionGroup(&menu);
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (const QString& name : names) {
        auto* item = new QAction(name, &menu);
        item->setObjectName(name);
        item->setCheckable(true);
        item->setChecked(name == current);
        group->addAction(item);
        menu.addAction(item);
    }
}
