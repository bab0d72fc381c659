#include "ui/hover_tip.h"

#include "ui/hover_tip_placement.h"
#include "ui/qml_views.h"
#include "ui/window_chrome.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPainterPath>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QScreen>
#include <cmath>

HoverTip::HoverTip(QQmlEngine& engine, QObject* parent) : QObject(parent)
{
    QQmlComponent component(&engine, qml_views::url(QStringLiteral("HoverTip.qml")));
    QObject* created = component.create();
    m_window.reset(qobject_cast<QQuickWindow*>(created));
    if (!m_window) {
        delete created;
        qWarning("HoverTip: the view could not be created: %s", qPrintable(component.errorString()));
        return;
    }
    QQmlEngine::setObjectOwnership(m_window.get(), QQmlEngine::CppOwnership);
    attachWindowChrome(*m_window, WindowRole::tip);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HoverTip::show);
}

HoverTip::~HoverTip() = default;

void HoverTip::schedule(const QString& text)
{
    hide();
    m_text = text;
    if (!text.isEmpty())
        m_timer.start(kDelay);
}

void HoverTip::hide()
{
    m_timer.stop();
    if (m_window)
        m_window->hide();
}

bool HoverTip::isShown() const
{
    return m_window && m_window->isVisible();
}

QWindow* HoverTip::window() const
{
    return m_window.get();
}

void HoverTip::show()
{
    if (!m_window)
        return;
    QQuickWindow& window = *m_window;
    window.setProperty("text", m_text);
    const qreal width = hover_tip_placement::tipWidth(window.property("fittingWidth").toReal());
    // The text wraps at the clamped width; its height follows at once.
    window.setProperty("cardWidth", width);
    const qreal height = window.property("cardHeight").toReal();

    const QPoint pointer = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(pointer);
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRectF card = hover_tip_placement::place(pointer, {width, height}, screen->availableGeometry());

    const int margin = window.property("shadowMargin").toInt();
    window.setScreen(screen);
    window.setGeometry(
        QRectF(card.topLeft() - QPointF(margin, margin), card.size() + QSizeF(2 * margin, 2 * margin))
            .toAlignedRect());
    // Without a compositor only the card shows; its shadow would be black.
    QPainterPath outline;
    const qreal radius = window.property("radius").toReal();
    outline.addRoundedRect(QRectF(margin, margin, width, height), radius, radius);
    setVisibleOutline(window, QRegion(outline.toFillPolygon().toPolygon()));
    window.show();
}
