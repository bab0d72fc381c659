#include "ui/capsule_bar_controller.h"

#include "core/app_state.h"
#include "pluginlink/tuning_controls.h"
#include "ui/hover_tip.h"
#include "ui/main_panel_controller.h"

using capsule_layout::Action;

CapsuleBarController::CapsuleBarController(AppState& state, TuningControls& tuning,
                                           MainPanelController& panel, HoverTip* hoverTip,
                                           std::function<void()> toggleMainWindow, QObject* parent)
    : QObject(parent), m_state(state), m_tuning(tuning), m_panel(panel), m_hoverTip(hoverTip),
      m_toggleMainWindow(std::move(toggleMainWindow))
{
    connect(&state, &AppState::hasCustomPresetChanged, this, &CapsuleBarController::rebuildButtons);
    rebuildButtons();
}

void CapsuleBarController::rebuildButtons()
{
    const bool custom = m_state.hasCustomPreset();
    // The state notifies on equal assignments too.
    if (!m_buttons.empty() && (m_buttons.size() == 8) == custom)
        return;
    m_buttons = capsule_layout::buttons(custom);
    emit buttonsChanged();
    relayout();
}

void CapsuleBarController::relayout()
{
    m_scales = capsule_layout::scales(m_pointerX, static_cast<int>(m_buttons.size()));
    m_centres = capsule_layout::drawnCentres(m_pointerX, m_scales);
    emit layoutChanged();
    // The tip follows the button under the pointer.
    const int hovered = hoveredIndex();
    if (hovered == m_tipFor || !m_hoverTip)
        return;
    m_tipFor = hovered;
    if (hovered < 0)
        m_hoverTip->hide();
    else
        m_hoverTip->schedule(m_buttons[static_cast<size_t>(hovered)].tip);
}

int CapsuleBarController::hoveredIndex() const
{
    if (!m_pointerX)
        return -1;
    return capsule_layout::buttonAt(*m_pointerX, m_centres, m_scales).value_or(-1);
}

double CapsuleBarController::rowStart() const
{
    if (m_centres.empty())
        return capsule_layout::kTextWidth + capsule_layout::kLeadIn;
    return m_centres.front() - capsule_layout::kBaseW * m_scales.front() / 2;
}

void CapsuleBarController::setPointer(double x)
{
    m_pointerX = x;
    relayout();
}

void CapsuleBarController::clearPointer()
{
    if (!m_pointerX)
        return;
    m_pointerX.reset();
    relayout();
}

void CapsuleBarController::trigger(int index)
{
    if (index < 0 || index >= static_cast<int>(m_buttons.size()))
        return;
    const Action action = m_buttons[static_cast<size_t>(index)].action;
    switch (action) {
    case Action::presetDefault:
    case Action::presetElectric:
    case Action::presetNatural:
    case Action::presetCommon:
    case Action::presetCustom:
        m_tuning.tapPresetCard(capsule_layout::presetName(action));
        return;
    case Action::down:
        m_panel.transposeDown();
        return;
    case Action::up:
        m_panel.transposeUp();
        return;
    case Action::expand:
        if (m_toggleMainWindow)
            m_toggleMainWindow();
        return;
    }
}

QVariantList CapsuleBarController::buttonsVariant() const
{
    QVariantList list;
    for (const auto& b : m_buttons)
        list.append(QVariantMap{{QStringLiteral("icon"), b.icon},
                                {QStringLiteral("label"), b.label},
                                {QStringLiteral("accent"), b.accent}});
    return list;
}

QVariantList CapsuleBarController::scalesVariant() const
{
    QVariantList list;
    for (const double s : m_scales)
        list.append(s);
    return list;
}

QVariantList CapsuleBarController::centresVariant() const
{
    QVariantList list;
    for (const double c : m_centres)
        list.append(c);
    return list;
}
