#pragma once

#include <QString>
#include <mutex>

// A reader's short Chinese status text. Written by the reader, read by the status line
// and the diagnostic report, possibly from another thread.
//
// Thread safety: any thread.
class StatusText {
public:
    static inline const QString kUnchecked = QStringLiteral("未检查");

    QString get() const
    {
        std::lock_guard lock(m_mutex);
        return m_text;
    }
    void set(const QString& text)
    {
        std::lock_guard lock(m_mutex);
        m_text = text;
    }

private:
    mutable std::mutex m_mutex;
    QString m_text = kUnchecked;
};
