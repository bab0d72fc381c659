#include "ui/island_update_check.h"

#include "app/tracker_rules.h"
#include "core/build_info.h"
#include "service/server_api.h"

#include <QDesktopServices>

namespace {

// A version is shown as text: dotted numbers and letters, nothing else, kept short.
QString printableVersion(const QString& raw)
{
    QString kept;
    for (const QChar c : raw.trimmed()) {
        if (c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-'))
            kept.append(c);
    }
    return kept.left(24);
}

} // namespace

IslandUpdateCheck::Outcome IslandUpdateCheck::outcomeOf(const ServiceResult<AppVersion>& answer,
                                                        const QString& currentVersion)
{
    if (!answer.ok())
        return {QStringLiteral("检查失败，请稍后再试"), false, {}, {}};
    const AppVersion& latest = answer.value();
    if (!tracker_rules::isNewerVersion(latest.version, currentVersion))
        return {QStringLiteral("已是最新版本"), false, {}, {}};
    const QUrl url(latest.url, QUrl::StrictMode);
    const bool web =
        url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
    return {QStringLiteral("发现新版本"), true, printableVersion(latest.version), web ? url : QUrl()};
}

IslandUpdateCheck::IslandUpdateCheck(QObject* parent) : QObject(parent) {}

void IslandUpdateCheck::check()
{
    if (m_task.isRunning())
        return;
    m_task.start([this](std::stop_token stop) { return run(std::move(stop)); });
    emit changed();
}

void IslandUpdateCheck::download()
{
    if (m_outcome.updateAvailable && m_outcome.url.isValid())
        QDesktopServices::openUrl(m_outcome.url);
}

QCoro::Task<> IslandUpdateCheck::run(std::stop_token stop)
{
    const auto answer = co_await ServerAPI::appVersion(stop);
    if (stop.stop_requested())
        co_return;
    m_outcome = outcomeOf(answer, appShortVersion());
    // The task counts as running until this returns; say so after it has.
    QMetaObject::invokeMethod(this, &IslandUpdateCheck::changed, Qt::QueuedConnection);
}
