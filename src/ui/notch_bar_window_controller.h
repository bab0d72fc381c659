#pragma once

#include "ui/notch_bar_model.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

class AppState;
class DiagnosticsSaver;
class HoverTip;
class IslandUpdateCheck;
class MainPanelController;
class NotchBarVisibility;
class QQmlEngine;
class QQuickItem;
class QQuickWindow;
class QScreen;
class TuningControls;

// The island bar: a pill under the top edge of the screen that opens into a card with the
// song, the key, presets, transposition and a settings page when the pointer comes near,
// and closes again when it leaves. Its window never takes the focus.
//
// While shown, a 60 Hz tick asks the X server where the pointer is (the pointer outside our
// window, and a button held anywhere, are invisible to our own mouse events); the tick
// stops while hidden. Without a compositor the window is clipped to the pill or the card.
//
// Lifetime: everything in Deps must outlive the controller.
// Thread safety: main thread only.
class NotchBarWindowController : public QObject {
    Q_OBJECT
public:
    struct Deps {
        QQmlEngine& engine;
        AppState& state;
        TuningControls& tuning;
        MainPanelController& panel;
        DiagnosticsSaver& diagnostics;
        HoverTip& hoverTip;
        std::function<void()> openMainPanel;
    };

    explicit NotchBarWindowController(Deps deps, QObject* parent = nullptr);
    ~NotchBarWindowController() override;

    // Builds the window on first use and shows the collapsed pill (expanded at once when
    // MX_NOTCH_EXPANDED is "1"); nothing when already shown.
    void show();
    // Hides the window, stops the tick, forgets expanded, hovering and pinned.
    void hide();
    bool isShown() const { return m_shown; }
    // Opens the card.
    void expand();
    // Follows the screen under the pointer (or the primary one) and its available area.
    void rebuildForScreenChange();

    // For tests.
    QQuickWindow* window() const;

private slots:
    void openMainPanel();

private:
    void build();
    void tick();
    void place();
    void followScreen(QScreen* screen);
    void updateOutline();
    void onExpandedChanged();

    Deps m_deps;
    std::unique_ptr<NotchBarVisibility> m_visibility;
    std::unique_ptr<IslandUpdateCheck> m_updates;
    std::unique_ptr<QQuickWindow> m_window;
    QPointer<QQuickItem> m_island; // the pill or card the window shows
    NotchBarModel m_model;
    QPointer<QScreen> m_screen;
    QList<QMetaObject::Connection> m_screenConnections;
    QTimer m_tick;
    bool m_shown = false;
};
