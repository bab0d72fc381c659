#include "ui/auto_tune_presence.h"

#include "pluginlink/auto_tune_syncer.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

namespace {

bool anyVariantInstalled(const platform::AudioComponentLookup& lookup)
{
    // The units the syncer can drive are the ones that count as "installed".
    for (const auto& unit : AutoTuneSyncer::supportedUnits()) {
        if (!lookup.find(unit).empty())
            return true;
    }
    return false;
}

} // namespace

AutoTunePresence::AutoTunePresence(std::shared_ptr<const platform::AudioComponentLookup> lookup,
                                   QObject* parent)
    : QObject(parent), m_lookup(std::move(lookup))
{}

AutoTunePresence::~AutoTunePresence() = default;

void AutoTunePresence::refresh()
{
    if (m_scanning) {
        m_again = true;
        return;
    }
    startScan();
}

void AutoTunePresence::startScan()
{
    m_scanning = true;
    m_again = false;
    // The watcher is a child: destroying this object drops the answer of a scan still running.
    auto* watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        m_scanning = false;
        const bool installed = watcher->result();
        if (installed != m_installed) {
            m_installed = installed;
            emit installedChanged();
        }
        emit refreshed();
        if (m_again)
            startScan();
    });
    watcher->setFuture(QtConcurrent::run([lookup = m_lookup] { return anyVariantInstalled(*lookup); }));
}
