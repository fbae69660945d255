#include "serial/EnumSP.h"

#include <QCollator>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

bool NeedsQuotes(const QString& item) {
    if (item.isEmpty())
        return false;
    return std::any_of(item.begin(), item.end(), [](QChar c) {
        return c.unicode() <= 0x20 || c == u',' || c == u'"';
    });
}

} // namespace

QString ListSerialPorts(const QStringList& names) {
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    QStringList sorted;
    for (const QString& name : names) {
        const auto pos = std::lower_bound(sorted.begin(), sorted.end(), name,
                                          [&](const QString& a, const QString& b) {
                                              return collator.compare(a, b) < 0;
                                          });
        // Equal under the comparison: the first one added stays.
        if (pos != sorted.end() && collator.compare(*pos, name) == 0)
            continue;
        sorted.insert(pos, name);
    }
    return JoinCommaText(sorted);
}

QString ListSerialPorts() {
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports)
        names << info.portName();
    return ListSerialPorts(names);
}

QString JoinCommaText(const QStringList& items) {
    QStringList parts;
    parts.reserve(items.size());
    for (const QString& item : items) {
        if (NeedsQuotes(item)) {
            QString quoted = item;
            quoted.replace(u'"', QStringLiteral("\"\""));
            parts << u'"' + quoted + u'"';
        } else {
            parts << item;
        }
    }
    return parts.join(u',');
}

QStringList SplitCommaText(const QString& text) {
    QStringList items;
    if (text.isEmpty())
        return items;
    int i = 0;
    const int n = text.size();
    while (true) {
        QString item;
        if (i < n && text[i] == u'"') {
            ++i;
            while (i < n) {
                if (text[i] == u'"') {
                    if (i + 1 < n && text[i + 1] == u'"') {
                        item += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
            // Anything between the closing quote and the next comma belongs to the item.
            while (i < n && text[i] != u',')
                item += text[i++];
        } else {
            while (i < n && text[i] != u',')
                item += text[i++];
        }
        items << item;
        if (i >= n)
            break;
        ++i; // the comma
    }
    return items;
}
