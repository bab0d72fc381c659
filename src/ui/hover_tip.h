#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <memory>

class QQmlEngine;
class QQuickWindow;
class QWindow;

// The small dark card that explains a button, shown beside the pointer a moment after it
// came to rest. It never takes the focus and the pointer passes through it.
//
// Thread safety: GUI thread only.
class HoverTip : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDelay{350};

    // Creates the (hidden) tip window from the engine's HoverTip view.
    explicit HoverTip(QQmlEngine& engine, QObject* parent = nullptr);
    ~HoverTip() override;

    // Cancels a pending tip, hides a visible one, and shows `text` after kDelay at the
    // pointer's position then. An empty text only hides.
    Q_INVOKABLE void schedule(const QString& text);
    // Hides the tip and cancels a pending one.
    Q_INVOKABLE void hide();

    QString currentText() const { return m_text; }
    bool isShown() const;
    // The tip's window; null when the view could not be created.
    QWindow* window() const;

private:
    void show();

    std::unique_ptr<QQuickWindow> m_window;
    QTimer m_timer;
    QString m_text;
};
