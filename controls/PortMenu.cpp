#include "controls/PortMenu.h"

#include "serial/EnumSP.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QSerialPortInfo>

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

QAction* AddOtherPortItems(QMenu& menu, const QString& current, const QString& otherCaption) {
    bool listed = false;
    for (const QAction* item : menu.actions())
        listed = listed || item->objectName() == current;
    if (!current.isEmpty() && !listed) {
        auto* group = menu.findChild<QActionGroup*>(QString(), Qt::FindDirectChildrenOnly);
        if (!group) {
            group = new QActionGroup(&menu);
            group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
        }
        auto* item = new QAction(current, &menu);
        item->setObjectName(current);
        item->setCheckable(true);
        item->setChecked(true);
        group->addAction(item);
        menu.addAction(item);
    }
    menu.addSeparator();
    auto* other = new QAction(otherCaption, &menu);
    other->setObjectName(QStringLiteral("OtherPort"));
    menu.addAction(other);
    return other;
}

QString PortToolTip(const QString& description, const QString& manufacturer) {
    QStringList parts;
    for (const QString& part : {description.trimmed(), manufacturer.trimmed()}) {
        if (!part.isEmpty() && !parts.contains(part))
            parts << part;
    }
    return parts.join(QStringLiteral(", "));
}

void SetPortToolTips(QMenu& menu) {
    menu.setToolTipsVisible(true);
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& port : ports) {
        const QString tip = PortToolTip(port.description(), port.manufacturer());
        if (tip.isEmpty())
            continue;
        for (QAction* item : menu.actions()) {
            if (item->objectName() == port.portName() || item->objectName() == port.systemLocation())
                item->setToolTip(tip);
        }
    }
}
