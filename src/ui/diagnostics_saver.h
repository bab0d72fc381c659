#pragma once

#include "core/cancellation.h"
#include "diagnostics/diagnostic_exporter.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QFuture>
#include <QObject>
#include <QUrl>
#include <functional>
#include <optional>

class AppState;
class AutoTuneSyncer;

// "导出诊断信息" and "在文件管理器中显示": the report is gathered on a worker, the user picks
// where it goes in a save dialog, the text is written there as UTF-8 (on a worker too), and
// the file can then be shown in the file manager. `diagMessage` says how it went.
//
// Thread safety: main thread only. State and syncer must outlive the object.
class DiagnosticsSaver : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString diagMessage READ diagMessage NOTIFY diagMessageChanged)
    Q_PROPERTY(QUrl diagFileURL READ diagFileURL NOTIFY diagFileURLChanged)
    Q_PROPERTY(bool working READ working NOTIFY workingChanged)
public:
    // Where to save, given the proposed path; nothing when the user cancels.
    using AskLocation =
        std::function<QCoro::Task<std::optional<QString>>(QString proposedPath, std::stop_token)>;
    // Reveals a file; the default asks the file manager over D-Bus, else opens the folder.
    using Reveal = std::function<void(const QUrl& file)>;

    // Completes the facts the main thread took into the report's text, off the main thread.
    using Gather = std::function<QFuture<QString>(diagnostic_report::Facts)>;
    struct WriteResult {
        bool ok = false;
        QString error;
    };
    // Writes the text to the path as UTF-8; the default runs on Qt's worker pool.
    using Write = std::function<QFuture<WriteResult>(const QString& path, const QString& text)>;

    DiagnosticsSaver(AppState& state, const AutoTuneSyncer* syncer, Gather gather, QObject* parent = nullptr);
    ~DiagnosticsSaver() override;

    // "Melodrix诊断_yyyyMMdd_HHmmss.txt"
    static QString proposedFileName(const QDateTime& now);

    void setAskLocation(AskLocation ask) { m_ask = std::move(ask); }
    void setReveal(Reveal reveal) { m_reveal = std::move(reveal); }
    void setWrite(Write write) { m_write = std::move(write); }

    QString diagMessage() const { return m_diagMessage; }
    QUrl diagFileURL() const { return m_diagFileURL; }
    bool working() const { return m_working; }

    Q_INVOKABLE void exportDiagnostics();
    Q_INVOKABLE void revealDiagnostics();

signals:
    void diagMessageChanged();
    void diagFileURLChanged();
    void workingChanged();
    // An export ended (saved, cancelled or failed).
    void exportFinished();

private:
    QCoro::Task<> runExport(std::stop_token stop);
    void setDiagMessage(const QString& message);
    // The export ended with `message`.
    void finish(const QString& message);

    AppState& m_state;
    const AutoTuneSyncer* m_syncer;
    Gather m_gather;
    AskLocation m_ask;
    Reveal m_reveal;
    Write m_write;
    QString m_diagMessage;
    QUrl m_diagFileURL;
    bool m_working = false;
    cancellation::TaskHandle m_export;
};

// org.freedesktop.FileManager1.ShowItems on the session bus; when no file manager answers,
// the folder is opened with the desktop's default handler. Returns at once.
void revealInFileManager(const QUrl& file);
