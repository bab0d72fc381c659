#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <functional>

class AppState;
class CapsuleBarController;
class HoverTip;
class QQmlEngine;

// The bar that stays on screen while the panel is closed, in the user's style: the capsule
// or the island hanging from the top edge. Switching styles hides one bar and shows the
// other; neither is destroyed. The capsule's window is created on its first showing.
//
// Thread safety: main thread only; everything passed in must outlive the controller.
class FloatingBarWindowController : public QObject {
    Q_OBJECT
public:
    // The island: shown and hidden by the controller, owned elsewhere.
    struct Island {
        std::function<void()> show;
        std::function<void()> hide;
    };

    FloatingBarWindowController(QQmlEngine& engine, AppState& state, CapsuleBarController& capsule,
                                HoverTip& hoverTip, std::function<void()> hideMainPanel,
                                QObject* parent = nullptr);
    ~FloatingBarWindowController() override;

    void setIsland(Island island) { m_island = std::move(island); }

    // Shows the bar of the current style (the island's also hides the main panel).
    void show();
    // The same, only while the bar is visible (the style changed).
    void applyStyle();
    bool visible() const { return m_visible; }
    // Absent until the capsule is first shown (or when its view failed to load).
    QQuickWindow* capsuleWindow() const { return m_capsuleWindow; }

private:
    void showCapsule();
    void hideCapsule();

    QQmlEngine& m_engine;
    AppState& m_state;
    CapsuleBarController& m_capsule;
    HoverTip& m_hoverTip;
    std::function<void()> m_hideMainPanel;
    Island m_island;
    QPointer<QQuickWindow> m_capsuleWindow;
    bool m_visible = false;
};
