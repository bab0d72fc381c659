#pragma once

#include <QObject>
#include <QVariantMap>
#include <chrono>

// The program's single-window activation on the session bus: the running instance owns the
// application id and serves org.freedesktop.Application, so that a second start (from the
// menu, say) shows the first one's main panel instead of running twice.
//
// Thread safety: main thread only.
class ApplicationActivation : public QObject {
    Q_OBJECT
public:
    // "/org/tonivox/Tonivox"
    static QString objectPath();

    explicit ApplicationActivation(QObject* parent = nullptr);
    ~ApplicationActivation() override;

    // Owns the application id on the session bus; false without a bus or when another
    // process owns it (the program then runs without being reachable there).
    bool registerOnSessionBus();

    // For a second start: asks the owner of the id to show itself, or with `action` to
    // perform that desktop action (ActivateAction), again while nobody owns it yet (the
    // first may still be starting). Blocks up to `timeout`: the calling process has nothing
    // else to do. False when nobody answered.
    static bool activateRunningInstance(std::chrono::milliseconds timeout, const QString& action = {});

signals:
    // Activate (or Open) arrived: show the main panel.
    void activateRequested();
    // ActivateAction arrived with this action name ("create-accompaniment-loop", ...).
    void actionRequested(const QString& name);

private:
    bool m_registered = false;
};
