#pragma once

#include "ui/capsule_layout.h"

#include <QObject>
#include <QVariantList>
#include <functional>
#include <optional>

class AppState;
class HoverTip;
class MainPanelController;
class TuningControls;

// The capsule bar's logic for its view: which buttons it has, how large each is drawn for
// the pointer's position (Dock-like magnification) and what a click on each does.
//
// Thread safety: main thread only; everything passed in must outlive the controller.
class CapsuleBarController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList buttons READ buttonsVariant NOTIFY buttonsChanged)
    Q_PROPERTY(QVariantList scales READ scalesVariant NOTIFY layoutChanged)
    Q_PROPERTY(QVariantList centres READ centresVariant NOTIFY layoutChanged)
    Q_PROPERTY(int hoveredIndex READ hoveredIndex NOTIFY layoutChanged)
    Q_PROPERTY(double rowStart READ rowStart NOTIFY layoutChanged)
    Q_PROPERTY(double baseWidth READ baseWidth CONSTANT)
    Q_PROPERTY(double textWidth READ textWidth CONSTANT)

public:
    // `hoverTip` may be null (no tips).
    CapsuleBarController(AppState& state, TuningControls& tuning, MainPanelController& panel,
                         HoverTip* hoverTip, std::function<void()> toggleMainWindow,
                         QObject* parent = nullptr);

    const std::vector<capsule_layout::Button>& buttons() const { return m_buttons; }
    const std::vector<double>& scales() const { return m_scales; }
    const std::vector<double>& centres() const { return m_centres; }
    // The button under the pointer (within its drawn width); −1 for none.
    int hoveredIndex() const;
    // The first button's drawn left edge: the row grows left into the text as it magnifies.
    double rowStart() const;
    double baseWidth() const { return capsule_layout::kBaseW; }
    double textWidth() const { return capsule_layout::kTextWidth; }

    // The pointer over the bar at `x` (bar coordinates), or gone.
    Q_INVOKABLE void setPointer(double x);
    Q_INVOKABLE void clearPointer();
    // A click on button `index`.
    Q_INVOKABLE void trigger(int index);

signals:
    void buttonsChanged();
    void layoutChanged();

private:
    void rebuildButtons();
    void relayout();
    QVariantList buttonsVariant() const;
    QVariantList scalesVariant() const;
    QVariantList centresVariant() const;

    AppState& m_state;
    TuningControls& m_tuning;
    MainPanelController& m_panel;
    HoverTip* m_hoverTip;
    int m_tipFor = -1;
    std::function<void()> m_toggleMainWindow;
    std::vector<capsule_layout::Button> m_buttons;
    std::optional<double> m_pointerX;
    std::vector<double> m_scales;
    std::vector<double> m_centres;
};
