#pragma once

#include "platform/audio_component_lookup.h"

#include <QObject>
#include <memory>

// Whether an Auto-Tune variant is installed, answered from a cache: the folder scan runs on
// the thread pool when refresh() is called, never inside a property read.
//
// Thread safety: main thread only; the lookup must be safe on any thread.
class AutoTunePresence : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool installed READ installed NOTIFY installedChanged)
public:
    explicit AutoTunePresence(std::shared_ptr<const platform::AudioComponentLookup> lookup,
                              QObject* parent = nullptr);
    ~AutoTunePresence() override;

    bool installed() const { return m_installed; }
    // Scans again in the background; a refresh asked for during a scan runs after it.
    void refresh();

signals:
    void installedChanged();
    // A scan finished (changed or not).
    void refreshed();

private:
    void startScan();

    std::shared_ptr<const platform::AudioComponentLookup> m_lookup;
    bool m_installed = false;
    bool m_scanning = false;
    bool m_again = false;
};
