// Texts on screen and waiting; screenshots in ui_screenshots.cpp, X11 in ui_x11.cpp.
#include "support/ui_testing.h"

#include <QEventLoop>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

namespace ui_testing {
namespace {

// `clip` is the visible part of the scene so far (the window, narrowed by clipping ancestors).
void collectTexts(QQuickItem* item, qreal opacity, const QRectF& clip, QList<TextItem>& out)
{
    opacity *= item->opacity();
    if (!item->isVisible() || opacity <= 0)
        return;
    const QRectF rect = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
    const QString text = item->inherits("QQuickText") ? item->property("text").toString() : QString();
    if (!text.trimmed().isEmpty() && rect.intersects(clip))
        out.append({text, rect});
    for (QQuickItem* child : item->childItems())
        collectTexts(child, opacity, item->clip() ? clip.intersected(rect) : clip, out);
}

} // namespace

QList<TextItem> visibleTexts(QQuickItem* root)
{
    QList<TextItem> items;
    collectTexts(root, 1.0, QRectF(QPointF(0, 0), root->window()->size()), items);
    const auto by = [](auto key) {
        return [key](const TextItem& a, const TextItem& b) { return key(a) < key(b); };
    };
    std::stable_sort(items.begin(), items.end(), by([](const TextItem& t) { return t.sceneRect.top(); }));
    for (auto start = items.begin(); start != items.end();) {
        const qreal bottom = start->sceneRect.bottom();
        const auto end = std::find_if(start + 1, items.end(),
                                      [&](const TextItem& t) { return t.sceneRect.center().y() >= bottom; });
        std::stable_sort(start, end, by([](const TextItem& t) { return t.sceneRect.left(); }));
        start = end;
    }
    return items;
}

QStringList visibleTextStrings(QQuickItem* root)
{
    QStringList strings;
    for (const TextItem& item : visibleTexts(root))
        strings.append(item.text);
    return strings;
}

QQuickItem* findItem(QQuickItem* root, const QString& name)
{
    for (QQuickItem* child : root->childItems()) {
        QQuickItem* found = child->objectName() == name ? child : findItem(child, name);
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

QPoint centreOfItem(QQuickItem* root, const char* name)
{
    QQuickItem* target = findItem(root, QString::fromLatin1(name));
    EXPECT_NE(target, nullptr) << name;
    return target ? target->mapToGlobal(QPointF(target->width() / 2, target->height() / 2)).toPoint()
                  : QPoint();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds ceiling)
{
    const auto deadline = std::chrono::steady_clock::now() + ceiling;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool waitForMapped(QWindow& window)
{
    return waitUntil([&] { return window.isExposed() && isViewable(quint32(window.winId())); });
}

} // namespace ui_testing
