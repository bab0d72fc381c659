#pragma once

#include "core/cancellation.h"
#include "service/service_records.h"
#include "service/service_result.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <QUrl>

// The island's "检查更新": asks the key library service for the newest version and says
// what it found: "已是最新版本", "检查失败，请稍后再试", or "发现新版本" with the version and a
// "下载" that opens the announced page.
//
// Thread safety: main thread only.
class IslandUpdateCheck : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool checking READ checking NOTIFY changed)
    Q_PROPERTY(QString message READ message NOTIFY changed)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY changed)
    Q_PROPERTY(QString version READ version NOTIFY changed)
public:
    struct Outcome {
        QString message;
        bool updateAvailable = false;
        QString version;
        QUrl url; // only http(s); empty otherwise
    };
    // What an answer means to a program of `currentVersion`. A page that is not an http(s)
    // address is never opened: the answer comes from the network.
    static Outcome outcomeOf(const ServiceResult<AppVersion>& answer, const QString& currentVersion);

    explicit IslandUpdateCheck(QObject* parent = nullptr);

    bool checking() const { return m_task.isRunning(); }
    QString message() const { return m_outcome.message; }
    bool updateAvailable() const { return m_outcome.updateAvailable; }
    QString version() const { return m_outcome.version; }

    // Starts a check unless one runs.
    Q_INVOKABLE void check();
    // Opens the announced page with the desktop's URL opener.
    Q_INVOKABLE void download();

signals:
    void changed();

private:
    QCoro::Task<> run(std::stop_token stop);

    Outcome m_outcome;
    cancellation::TaskHandle m_task;
};
