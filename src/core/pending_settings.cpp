#include "core/pending_settings.h"

#include <algorithm>

quint64 PendingSettings::add(const QString& key, std::optional<QVariant> value)
{
    std::lock_guard guard(m_lock);
    m_changes.push_back({++m_last, key, std::move(value)});
    return m_last;
}

void PendingSettings::handed(quint64 number)
{
    std::lock_guard guard(m_lock);
    std::erase_if(m_changes, [number](const Change& c) { return c.number == number; });
}

bool PendingSettings::covers(const Change& removal, const QString& key)
{
    return !removal.value && (key == removal.key || key.startsWith(removal.key + QLatin1Char('/')));
}

std::optional<std::optional<QVariant>> PendingSettings::valueOf(const QString& key) const
{
    std::lock_guard guard(m_lock);
    for (auto it = m_changes.rbegin(); it != m_changes.rend(); ++it) {
        if (it->key == key)
            return it->value;
        if (covers(*it, key))
            return std::optional<QVariant>();
    }
    return std::nullopt;
}

std::optional<QMap<QString, QVariant>> PendingSettings::group(const QString& group,
                                                              const FileGroup& readFile) const
{
    std::vector<Change> changes;
    {
        std::lock_guard guard(m_lock);
        changes = m_changes;
    }
    QMap<QString, QVariant> children;
    bool exists = readFile(children);
    const QString prefix = group + QLatin1Char('/');
    for (const Change& c : changes) {
        if (covers(c, group)) {
            children.clear();
            exists = false;
        } else if (c.key.startsWith(prefix)) {
            const QString name = c.key.mid(prefix.size());
            if (name.contains(QLatin1Char('/'))) {
                exists = exists || c.value.has_value();
            } else if (c.value) {
                children.insert(name, *c.value);
                exists = true;
            } else {
                children.remove(name);
            }
        }
    }
    if (!exists)
        return std::nullopt;
    return children;
}
