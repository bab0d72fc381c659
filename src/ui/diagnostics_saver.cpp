#include "ui/diagnostics_saver.h"

#include "ui/save_file_dialog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

namespace {

using WriteResult = DiagnosticsSaver::WriteResult;

WriteResult writeUtf8(const QString& path, const QString& text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {false, file.errorString()};
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit())
        return {false, file.errorString()};
    return {true, {}};
}

QString proposedFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

} // namespace

DiagnosticsSaver::DiagnosticsSaver(AppState& state, const AutoTuneSyncer* syncer, Gather gather,
                                   QObject* parent)
    : QObject(parent), m_state(state), m_syncer(syncer), m_gather(std::move(gather)),
      m_ask([](QString proposed, std::stop_token stop) {
          return askSaveTextFile(QStringLiteral("导出诊断信息"), std::move(proposed), std::move(stop));
      }),
      m_reveal(revealInFileManager), m_write([](const QString& path, const QString& text) {
          return QtConcurrent::run(writeUtf8, path, text);
      })
{}

DiagnosticsSaver::~DiagnosticsSaver() = default;

QString DiagnosticsSaver::proposedFileName(const QDateTime& now)
{
    return QStringLiteral("Melodrix诊断_") + now.toString(QStringLiteral("yyyyMMdd_HHmmss")) +
           QStringLiteral(".txt");
}

void DiagnosticsSaver::exportDiagnostics()
{
    if (m_working)
        return;
    m_working = true;
    emit workingChanged();
    m_export.start([this](std::stop_token stop) { return runExport(std::move(stop)); });
}

void DiagnosticsSaver::revealDiagnostics()
{
    if (m_diagFileURL.isValid())
        m_reveal(m_diagFileURL);
}

QCoro::Task<> DiagnosticsSaver::runExport(std::stop_token stop)
{
    setDiagMessage(QStringLiteral("正在收集诊断信息…"));
    // What only the main thread may read, now; the rest (files, commands) elsewhere.
    const auto text =
        co_await cancellation::awaitFuture(m_gather(DiagnosticExporter::liveFacts(m_state, m_syncer)), stop);
    if (stop.stop_requested())
        co_return;
    if (!text) {
        finish(QStringLiteral("收集诊断信息失败"));
        co_return;
    }

    const QString proposed =
        proposedFolder() + QLatin1Char('/') + proposedFileName(QDateTime::currentDateTime());
    const std::optional<QString> path = co_await m_ask(proposed, stop);
    if (stop.stop_requested())
        co_return;
    if (!path) {
        finish(QStringLiteral("已取消导出"));
        co_return;
    }
    const auto written = co_await cancellation::awaitFuture(m_write(*path, *text), stop);
    if (stop.stop_requested())
        co_return;
    if (!written || !written->ok) {
        finish(QStringLiteral("保存失败：") + (written ? written->error : QStringLiteral("写入没有完成")));
        co_return;
    }
    m_diagFileURL = QUrl::fromLocalFile(*path);
    emit diagFileURLChanged();
    finish(QStringLiteral("已保存：") + QFileInfo(*path).fileName());
}

void DiagnosticsSaver::finish(const QString& message)
{
    setDiagMessage(message);
    m_working = false;
    emit workingChanged();
    emit exportFinished();
}

void DiagnosticsSaver::setDiagMessage(const QString& message)
{
    if (message == m_diagMessage)
        return;
    m_diagMessage = message;
    emit diagMessageChanged();
}

void revealInFileManager(const QUrl& file)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{file.toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, file] {
        if (watcher->isError())
            QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath()));
        watcher->deleteLater();
    });
}
