// Texts on screen and waiting; screenshots in ui_screenshots.cpp, X11 in ui_x11.cpp.
#include "support/ui_testing.h"

#include <QEventLoop>
#include <gtest/gtest.h>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <algorithm>

namespace ui_testing {
namespace {

// `clip` is the visible part of the scene so far (the window, narrowed by clipping ancestors).
void collectTexts(QQuickItem* item, qreal opacity, const QRectF& clip, QList<TextItem>& out)
{
    if (!item->isVisible())
        return;
    opacity *= item->opacity();
    if (opacity <= 0)
        return;
    const QRectF rect = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
    if (item->inherits("QQuickText")) {
        const QString text = item->property("text").toString();
        if (!text.trimmed().isEmpty() && rect.intersects(clip))
            out.append({text, rect});
    }
    const QRectF inner = item->clip() ? clip.intersected(rect) : clip;
    for (QQuickItem* child : item->childItems())
        collectTexts(child, opacity, inner, out);
}

} // namespace

QList<TextItem> visibleTexts(QQuickItem* root)
{
    QList<TextItem> items;
    if (root == nullptr)
        return items;
    QRectF clip(-1e9, -1e9, 2e9, 2e9);
    if (root->window() != nullptr)
        clip = QRectF(QPointF(0, 0), root->window()->size());
    collectTexts(root, 1.0, clip, items);

    // Rows first: an item joins the row whose first item spans its vertical centre.
    std::stable_sort(items.begin(), items.end(), [](const TextItem& a, const TextItem& b) {
        return a.sceneRect.top() < b.sceneRect.top();
    });
    QList<TextItem> ordered;
    for (qsizetype start = 0; start < items.size();) {
        const QRectF& first = items[start].sceneRect;
        qsizetype end = start + 1;
        while (end < items.size() && items[end].sceneRect.center().y() < first.bottom())
            ++end;
        QList<TextItem> row = items.mid(start, end - start);
        std::stable_sort(row.begin(), row.end(), [](const TextItem& a, const TextItem& b) {
            return a.sceneRect.left() < b.sceneRect.left();
        });
        ordered.append(row);
        start = end;
    }
    return ordered;
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
        if (child->objectName() == name)
            return child;
        if (QQuickItem* found = findItem(child, name))
            return found;
    }
    return nullptr;
}

QPoint centreOfItem(QQuickItem* root, const char* name)
{
    QQuickItem* target = findItem(root, QString::fromLatin1(name));
    EXPECT_NE(target, nullptr) << name;
    return target ? target->mapToGlobal(QPointF(target->width() / 2, target->height() / 2)).toPoint() : QPoint();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds ceiling)
{
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kSlice{10};
    const Clock::time_point deadline = Clock::now() + ceiling;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return condition();
        QEventLoop loop;
        QTimer::singleShot(kSlice, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool waitForMapped(QWindow& window, std::chrono::milliseconds ceiling)
{
    return waitUntil([&] { return window.isExposed() && isViewable(quint32(window.winId())); }, ceiling);
}

bool waitForSettledTexts(QQuickWindow& window, std::chrono::milliseconds ceiling)
{
    const auto snapshot = [&window] {
        QList<std::pair<QString, QRectF>> items;
        for (const TextItem& item : visibleTexts(window.contentItem()))
            items.append({item.text, item.sceneRect});
        return items;
    };
    auto before = snapshot();
    return waitUntil(
        [&] {
            // One frame drawn since the last look, and nothing moved in it.
            int frames = 0;
            const auto counter =
                QObject::connect(&window, &QQuickWindow::frameSwapped, &window, [&frames] { ++frames; });
            window.update();
            waitUntil([&frames] { return frames > 0; }, std::chrono::milliseconds(500));
            QObject::disconnect(counter);
            const auto now = snapshot();
            const bool settled = now == before && !now.isEmpty();
            before = now;
            return settled;
        },
        ceiling);
}

bool waitForCardinal(quint32 window, const char* property, quint32 value, std::chrono::milliseconds ceiling)
{
    return waitUntil([&] { return cardinalProperty(window, property) == value; }, ceiling);
}

bool waitForAtom(quint32 window, const char* property, const QByteArray& atom,
                 std::chrono::milliseconds ceiling)
{
    return waitUntil([&] { return atomListProperty(window, property).contains(atom); }, ceiling);
}

} // namespace ui_testing
