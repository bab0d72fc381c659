#include "ui/notch_bar_visibility.h"

NotchBarVisibility::NotchBarVisibility(Clock clock, int baseHeight, QObject* parent)
    : QObject(parent), m_now(std::move(clock)), m_baseHeight(baseHeight)
{}

void NotchBarVisibility::tick(const Pointer& pointer, const Zones& zones)
{
    const TimePoint now = m_now();
    if (m_pendingShrink && now >= *m_pendingShrink) {
        m_pendingShrink.reset();
        setPanelHeight(fittedHeight());
    }

    if (!m_expanded) {
        const bool inside = zones.hotZone.contains(pointer.position);
        setHovering(inside);
        if (inside)
            expand();
        return;
    }

    if (m_pendingCollapse && now >= *m_pendingCollapse)
        runCollapse(pointer, zones);
    if (!m_expanded || m_pinned || m_modal)
        return;
    if (pointer.buttonHeld) {
        // A drag or a press elsewhere: the card stays while it lasts.
        m_pendingCollapse.reset();
    } else if (!zones.stay.contains(pointer.position)) {
        if (!m_pendingCollapse)
            m_pendingCollapse = now + kCollapseDelay;
    } else {
        m_pendingCollapse.reset();
    }
}

std::chrono::milliseconds NotchBarVisibility::nextTickDelay(const Pointer& pointer, const Zones& zones) const
{
    if (m_expanded || m_pendingShrink)
        return kTickPeriod;
    const QRectF reach = zones.hotZone.adjusted(-kNearDistance, -kNearDistance, kNearDistance, kNearDistance);
    return reach.contains(pointer.position) ? kTickPeriod : kFarTickPeriod;
}

void NotchBarVisibility::runCollapse(const Pointer& pointer, const Zones& zones)
{
    m_pendingCollapse.reset();
    if (!m_expanded || m_pinned || m_modal)
        return;
    if (pointer.buttonHeld) {
        m_pendingCollapse = m_now() + kHeldButtonRecheck;
        return;
    }
    if (!zones.stay.contains(pointer.position))
        collapse();
}

void NotchBarVisibility::expand()
{
    if (m_expanded)
        return;
    m_pendingCollapse.reset();
    setHovering(false);
    // The window has its full height before anyone hears that the card opened.
    m_expanded = true;
    requestResize();
    emit expandedChanged();
}

void NotchBarVisibility::collapse()
{
    setExpanded(false);
    // The island opens on its main page each time.
    setPage(NotchPage::main);
    requestResize();
}

void NotchBarVisibility::hide()
{
    m_pendingCollapse.reset();
    m_pendingShrink.reset();
    setExpanded(false);
    setHovering(false);
    setPinned(false);
    m_page = NotchPage::main;
    emit pageChanged();
    setPanelHeight(fittedHeight());
}

void NotchBarVisibility::setPinned(bool pinned)
{
    if (pinned)
        m_pendingCollapse.reset();
    if (pinned == m_pinned)
        return;
    m_pinned = pinned;
    emit pinnedChanged();
}

void NotchBarVisibility::setModalPresenting(bool presenting)
{
    m_modal = presenting;
    if (presenting)
        m_pendingCollapse.reset();
}

void NotchBarVisibility::setPage(NotchPage page)
{
    if (page == m_page)
        return;
    m_page = page;
    emit pageChanged();
    requestResize();
}

void NotchBarVisibility::requestResize()
{
    const int roomForAnimation = m_baseHeight +
                                 (m_expanded ? NotchBarModel::kSettingsPageContent : contentHeight()) +
                                 NotchBarModel::kPanelSlack;
    if (m_panelHeight < roomForAnimation)
        setPanelHeight(roomForAnimation);
    // A newer request replaces the pending one: a shrink waits for quiet.
    m_pendingShrink = m_now() + kShrinkDelay;
}

int NotchBarVisibility::fittedHeight() const
{
    return m_baseHeight + contentHeight() + NotchBarModel::kPanelSlack;
}

void NotchBarVisibility::setExpanded(bool expanded)
{
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    emit expandedChanged();
}

void NotchBarVisibility::setHovering(bool hovering)
{
    if (hovering == m_hovering)
        return;
    m_hovering = hovering;
    emit hoveringChanged();
}

void NotchBarVisibility::setPanelHeight(int height)
{
    if (height == m_panelHeight)
        return;
    m_panelHeight = height;
    emit panelHeightChanged(height);
}
