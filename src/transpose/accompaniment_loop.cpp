#include "transpose/accompaniment_loop.h"

#include "core/app_state.h"
#include "core/settings_store.h"
#include "platform/pulse_audio_client.h"
#include "pluginlink/plugin_ipc.h"
#include "transpose/accompaniment_processor.h"

#include <QCoreApplication>
#include <QFuture>
#include <utility>
#include <mutex>

const QString AccompanimentLoop::kCreatedStatus = QStringLiteral("已创建伴奏回路，播放器的声音已接入");
const QString AccompanimentLoop::kNoPlayerStatus = QStringLiteral(
    "已创建伴奏回路，但没找到正在放歌的播放器：请在系统声音设置里把播放器的输出设为“Melodrix 伴奏回路”");
const QString AccompanimentLoop::kRemovedStatus = QStringLiteral("已移除伴奏回路");
const QString AccompanimentLoop::kNoServerStatus = QStringLiteral("声音服务没有连接，伴奏回路没有改动");
const QString AccompanimentLoop::kRefusedStatus = QStringLiteral("声音服务拒绝创建伴奏回路，设置没有改动");
const QString AccompanimentLoop::kRemoveFailedStatus =
    QStringLiteral("声音服务没能移除伴奏回路，设置没有改动");

// Hands the server's answers, which arrive on the client's thread, to the loop on the main
// thread; after the loop is gone they are dropped.
class AccompanimentLoop::Poster {
public:
    explicit Poster(AccompanimentLoop* loop) : m_loop(loop) {}
    template <typename Call> void post(Call call)
    {
        std::lock_guard guard(m_lock);
        if (m_loop)
            QMetaObject::invokeMethod(m_loop, std::move(call), Qt::QueuedConnection);
    }
    void forget()
    {
        std::lock_guard guard(m_lock);
        m_loop = nullptr;
    }

private:
    std::mutex m_lock;
    AccompanimentLoop* m_loop;
};

namespace {
void logLine(const QString& text)
{
    PluginIPC::chainLog(QStringLiteral("伴奏回路：") + text);
}
} // namespace

AccompanimentLoop::AccompanimentLoop(Deps deps, QObject* parent)
    : QObject(parent), m_deps(std::move(deps)), m_poster(std::make_shared<Poster>(this))
{
    // Server changes arrive on the client's thread; the work runs on the main thread.
    m_listener = m_deps.audio.addChangeListener(
        [poster = m_poster, this] { poster->post([this] { onAudioChanged(); }); });
    // A player is elected a poll after its stream appears: look again now and then.
    m_poll.setInterval(1000);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        if (m_deferredAction.isEmpty())
            moveNewStreams();
        else
            onAudioChanged();
    });
    m_poll.start();
    onAudioChanged();
}

AccompanimentLoop::~AccompanimentLoop()
{
    m_deps.audio.removeChangeListener(m_listener);
    m_poster->forget();
}

bool AccompanimentLoop::exists() const
{
    return m_exists;
}

bool AccompanimentLoop::stored() const
{
    return m_deps.settings.accompanimentChannelUID() == loop_routing::monitorUid();
}

void AccompanimentLoop::setStatus(const QString& text)
{
    m_deps.state.setChannelStatus(text);
}

void AccompanimentLoop::create()
{
    if (!m_deps.audio.isConnected()) {
        logLine(QStringLiteral("创建失败：声音服务没有连接"));
        setStatus(kNoServerStatus);
        return;
    }
    if (m_loading || m_removing) {
        m_deferredAction = QString::fromLatin1(kCreateAction);
        return;
    }
    m_finishPending = true;
    if (loop_routing::findSink(m_deps.audio.listSinks(), loop_routing::sinkName()))
        finishCreate();
    else
        load(true);
}

void AccompanimentLoop::load(bool byUser)
{
    m_loading = true;
    const bool sent =
        m_deps.audio.loadModule("module-null-sink", loop_routing::nullSinkArguments(),
                                [poster = m_poster, this, byUser](bool ok, uint32_t) {
                                    poster->post([this, ok, byUser] {
                                        m_loading = false;
                                        if (ok) {
                                            logLine(QStringLiteral("已创建 ") + loop_routing::sinkName());
                                            onAudioChanged();
                                            return;
                                        }
                                        logLine(QStringLiteral("声音服务拒绝加载 module-null-sink"));
                                        m_finishPending = false;
                                        if (byUser || stored())
                                            setStatus(kRefusedStatus);
                                    });
                                });
    if (!sent) {
        m_loading = false;
        m_finishPending = false;
        setStatus(kNoServerStatus);
    }
}

bool AccompanimentLoop::performAction(const QString& name)
{
    if (name == QLatin1String(kCreateAction))
        create();
    else if (name == QLatin1String(kRemoveAction))
        remove();
    else
        return false;
    return true;
}

bool AccompanimentLoop::performActionOnceConnected(const QString& name, std::chrono::milliseconds wait)
{
    if (name != QLatin1String(kCreateAction) && name != QLatin1String(kRemoveAction))
        return false;
    if (m_deps.audio.isConnected())
        return performAction(name);
    m_deferredAction = name;
    QTimer::singleShot(wait, this, [this] {
        if (m_deferredAction.isEmpty() || m_deps.audio.isConnected())
            return;
        m_deferredAction.clear();
        setStatus(kNoServerStatus);
    });
    return true;
}

void AccompanimentLoop::onAudioChanged()
{
    // An action that waited for the connection, or for the answer to the one before it.
    if (m_deps.audio.isConnected() && !m_loading && !m_removing && !m_deferredAction.isEmpty())
        performAction(std::exchange(m_deferredAction, QString()));
    if (!m_deps.audio.isConnected()) {
        if (m_exists) {
            m_exists = false;
            emit existsChanged();
        }
        return;
    }
    const int connection = m_deps.audio.connectionCount();
    if (connection != m_connection) {
        // Stream indices and modules belong to one server's life.
        m_connection = connection;
        m_handled.clear();
        m_recreateTried = false;
    }
    const bool present =
        loop_routing::findSink(m_deps.audio.listSinks(), loop_routing::sinkName()).has_value();
    if (present != m_exists) {
        m_exists = present;
        emit existsChanged();
    }
    if (!present) {
        if (stored() && !m_loading && !m_removing && !m_recreateTried) {
            m_recreateTried = true;
            logLine(QStringLiteral("伴奏回路不在了，重新创建"));
            load(false);
        }
        return;
    }
    if (m_finishPending)
        finishCreate();
    else
        moveNewStreams();
}

void AccompanimentLoop::finishCreate()
{
    // The monitor is listed a moment after the sink on some servers.
    const std::vector<AudioSourceInfo> sources = m_deps.audio.listSources();
    const auto monitor = std::find_if(sources.begin(), sources.end(), [](const AudioSourceInfo& s) {
        return s.uid == loop_routing::monitorUid();
    });
    if (monitor == sources.end())
        return;
    m_finishPending = false;
    const AudioChannel channel{monitor->deviceID, monitor->name.value_or(loop_routing::description()),
                               loop_routing::monitorUid()};
    m_deps.useChannel(channel);
    moveNewStreams(true);
}

void AccompanimentLoop::moveNewStreams(bool afterCreate)
{
    if (afterCreate)
        m_createAnswerPending = true;
    if (m_asking || !m_exists || m_removing || !stored() || !m_deps.electedPlayer)
        return;
    const auto sink = loop_routing::findSink(m_deps.audio.listSinks(), loop_routing::sinkName());
    if (!sink)
        return;
    // Only streams not seen before are asked about (the player's processes are looked up
    // for them alone); after a create the question is asked anyway, for the status.
    std::vector<AudioStreamInfo> candidates = m_deps.audio.listPlaybackStreams();
    std::erase_if(candidates, [&](const AudioStreamInfo& s) {
        return s.sinkIndex == sink->index || m_handled.contains(s.index);
    });
    const bool reportCreate = std::exchange(m_createAnswerPending, false);
    if (candidates.empty() && !reportCreate)
        return;
    m_asking = true;
    // Dropped with the loop: the continuation is bound to it.
    m_deps.electedPlayer(candidates).then(
        this, [this, candidates, reportCreate](const std::optional<loop_routing::PlayerProcesses>& player) {
            m_asking = false;
            moveAnswered(candidates, player, reportCreate);
            if (m_createAnswerPending) // a create came while this question was out
                moveNewStreams();
        });
}

void AccompanimentLoop::moveAnswered(const std::vector<AudioStreamInfo>& candidates,
                                     const std::optional<loop_routing::PlayerProcesses>& player,
                                     bool afterCreate)
{
    if (afterCreate && !m_removing && stored()) {
        if (player) {
            setStatus(kCreatedStatus);
        } else {
            logLine(QStringLiteral("没有正在放歌的播放器，没有移动任何声音"));
            setStatus(kNoPlayerStatus);
        }
    }
    // What changed while the question was out decides.
    if (!player || !m_exists || m_removing || !stored())
        return;
    const auto sink = loop_routing::findSink(m_deps.audio.listSinks(), loop_routing::sinkName());
    if (!sink)
        return;
    const std::vector<uint32_t> moves = loop_routing::streamsToMove(
        candidates, *player, sink->index, m_handled, QCoreApplication::applicationPid());
    for (const uint32_t stream : moves) {
        m_handled.insert(stream);
        logLine(QStringLiteral("播放器的声音流 %1 接入伴奏回路").arg(stream));
        m_deps.audio.moveStream(stream, loop_routing::sinkName().toUtf8(), [](bool, uint32_t) {});
    }
}

void AccompanimentLoop::remove()
{
    if (!m_deps.audio.isConnected()) {
        logLine(QStringLiteral("移除失败：声音服务没有连接"));
        setStatus(kNoServerStatus);
        return;
    }
    if (m_loading || m_removing) {
        m_deferredAction = QString::fromLatin1(kRemoveAction);
        return;
    }
    m_finishPending = false;
    const std::vector<AudioSinkInfo> sinks = m_deps.audio.listSinks();
    const auto sink = loop_routing::findSink(sinks, loop_routing::sinkName());
    if (!sink || !sink->ownerModule) {
        onRemoved(true);
        return;
    }
    // Sent before the unload on the same connection, so the server moves them first.
    if (const auto fallback = loop_routing::fallbackSink(sinks, m_deps.audio.defaultSinkName())) {
        for (const AudioStreamInfo& stream : m_deps.audio.listPlaybackStreams()) {
            if (stream.sinkIndex == sink->index)
                m_deps.audio.moveStream(stream.index, fallback->toUtf8(), [](bool, uint32_t) {});
        }
    }
    m_removing = true;
    const bool sent =
        m_deps.audio.unloadModule(*sink->ownerModule, [poster = m_poster, this](bool ok, uint32_t) {
            poster->post([this, ok] {
                m_removing = false;
                onRemoved(ok);
            });
        });
    if (!sent) {
        m_removing = false;
        setStatus(kNoServerStatus);
    }
}

void AccompanimentLoop::onRemoved(bool ok)
{
    if (!ok) {
        logLine(QStringLiteral("声音服务没能卸载伴奏回路"));
        setStatus(kRemoveFailedStatus);
        return;
    }
    logLine(QStringLiteral("已移除 ") + loop_routing::sinkName());
    if (stored()) {
        m_deps.transposer.stop();
        m_deps.settings.setAccompanimentChannelUID(QString());
        m_deps.state.setChannelName(QString());
    }
    setStatus(kRemovedStatus);
    onAudioChanged();
}
