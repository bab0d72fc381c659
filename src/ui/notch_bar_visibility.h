#pragma once

#include "ui/notch_bar_model.h"

#include <QObject>
#include <QPointF>
#include <QRectF>
#include <chrono>
#include <functional>
#include <optional>

// When the island opens, closes and how tall its window is: the decisions of the 60 Hz
// pointer tick, without the window. Time comes from an injected clock; pending work
// (a collapse, a shrink) is a deadline that the next tick after it carries out, so the
// tick's period is the only slack.
//
// Collapse: with the card open, not pinned and no modal dialog up, the pointer leaving the
// stay rectangle schedules a collapse kCollapseDelay later; coming back cancels it; a held
// button cancels it too. When it comes due with a button held it looks again
// kHeldButtonRecheck later.
// Resize: the window grows at once to what the coming animation needs and shrinks to fit
// the page only after kShrinkDelay without a newer request.
//
// Thread safety: main thread only (QML binds to the properties).
class NotchBarVisibility : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool expanded READ expanded NOTIFY expandedChanged)
    Q_PROPERTY(bool hovering READ hovering NOTIFY hoveringChanged)
    Q_PROPERTY(bool pinned READ pinned WRITE setPinned NOTIFY pinnedChanged)
    Q_PROPERTY(bool settingsPage READ settingsPage NOTIFY pageChanged)
    Q_PROPERTY(int contentHeight READ contentHeight NOTIFY pageChanged)
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;

    static constexpr std::chrono::milliseconds kCollapseDelay{300};
    static constexpr std::chrono::milliseconds kHeldButtonRecheck{200};
    static constexpr std::chrono::milliseconds kShrinkDelay{650};
    // The pointer is sampled once per 60 Hz frame while it matters: the card open, or the
    // pointer within kNearDistance of the hot zone. Farther away a collapsed bar samples
    // every kFarTickPeriod: a wake-up costs about 80 µs of CPU on a busy virtual machine,
    // which at 60 Hz alone is half a percent of a core.
    static constexpr std::chrono::milliseconds kTickPeriod{16};
    static constexpr std::chrono::milliseconds kFarTickPeriod{100};
    static constexpr qreal kNearDistance = 300;

    struct Pointer {
        QPointF position; // same frame as the zones
        bool buttonHeld = false;
    };
    struct Zones {
        QRectF hotZone; // expands the collapsed bar
        QRectF stay;    // keeps the expanded card open
    };

    // `baseHeight` is the collapsed bar's height (menuBarHeight + stemDrop).
    explicit NotchBarVisibility(Clock clock, int baseHeight = NotchBarModel::kVirtualMenuBarHeight,
                                QObject* parent = nullptr);

    bool expanded() const { return m_expanded; }
    bool hovering() const { return m_hovering; }
    bool pinned() const { return m_pinned; }
    NotchPage page() const { return m_page; }
    bool settingsPage() const { return m_page == NotchPage::settings; }
    int contentHeight() const { return NotchBarModel::contentHeightOf(m_page); }
    // The window's height now; 0 before the first resize request.
    int panelHeight() const { return m_panelHeight; }
    bool collapsePending() const { return m_pendingCollapse.has_value(); }

    // One pointer sample: carries out what has come due, then reacts to where it is.
    void tick(const Pointer& pointer, const Zones& zones);
    // When to sample the pointer next, given the last sample.
    std::chrono::milliseconds nextTickDelay(const Pointer& pointer, const Zones& zones) const;
    // Opens the card (cancels pending work, clears `hovering`).
    Q_INVOKABLE void expand();
    // The bar went away: nothing pending, collapsed, not hovering, not pinned, main page.
    void hide();
    void setPinned(bool pinned);
    Q_INVOKABLE void togglePin() { setPinned(!m_pinned); }
    // While a dialog of the island is up the card stays open.
    void setModalPresenting(bool presenting);
    Q_INVOKABLE void openSettings() { setPage(NotchPage::settings); }
    Q_INVOKABLE void openMainPage() { setPage(NotchPage::main); }
    // Grows the window at once when the state needs more room, and schedules the fit.
    void requestResize();

signals:
    void expandedChanged();
    void hoveringChanged();
    void pinnedChanged();
    void pageChanged();
    void panelHeightChanged(int height);

private:
    void runCollapse(const Pointer& pointer, const Zones& zones);
    void collapse();
    void setPage(NotchPage page);
    void setExpanded(bool expanded);
    void setHovering(bool hovering);
    void setPanelHeight(int height);
    int fittedHeight() const;

    Clock m_now;
    int m_baseHeight;
    bool m_expanded = false;
    bool m_hovering = false;
    bool m_pinned = false;
    bool m_modal = false;
    NotchPage m_page = NotchPage::main;
    int m_panelHeight = 0;
    std::optional<TimePoint> m_pendingCollapse;
    std::optional<TimePoint> m_pendingShrink;
};
