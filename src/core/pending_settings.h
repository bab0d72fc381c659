#pragma once

#include <QMap>
#include <QString>
#include <QVariant>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

// The changes a settings store made that its writer has not yet handed to the settings file,
// oldest first. Reads look here before they look at the file, so that a store reads its own
// changes at once while the file is written elsewhere. A removal takes the key and every key
// under it ("group/name").
//
// Thread safety: every call may come from any thread; the lock is held for the look-up only.
class PendingSettings {
public:
    // Records a change (a value, or nothing for a removal); its number for handed().
    quint64 add(const QString& key, std::optional<QVariant> value);
    // The change numbered `number` reached the file's shared view: forgotten.
    void handed(quint64 number);

    // What the changes say of `key`: nothing when they say nothing, else the value it has
    // after them (nothing inside when they removed it).
    std::optional<std::optional<QVariant>> valueOf(const QString& key) const;
    // The direct children of `group` (name → value) after the changes, or nothing when the
    // group does not exist afterwards. `readFile` fills in those the file holds and says
    // whether the file has the group; it is asked after the changes were taken, so that a
    // change handed over meanwhile is seen in one of the two.
    using FileGroup = std::function<bool(QMap<QString, QVariant>& children)>;
    std::optional<QMap<QString, QVariant>> group(const QString& group, const FileGroup& readFile) const;

private:
    struct Change {
        quint64 number;
        QString key;
        std::optional<QVariant> value;
    };
    static bool covers(const Change& removal, const QString& key);

    mutable std::mutex m_lock;
    std::vector<Change> m_changes;
    quint64 m_last = 0;
};
