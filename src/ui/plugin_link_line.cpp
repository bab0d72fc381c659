#include "ui/plugin_link_line.h"

namespace {
const QColor kConnected(0x4c, 0xd9, 0x8a);
const QColor kInstalled(0xf2, 0xb8, 0x4b);
const QColor kAbsent(0xa3, 0x86, 0x8a);
} // namespace

PluginLinkLine pluginLinkLine(bool connected, const QString& hostVariant, bool autoTuneInstalled)
{
    if (connected) {
        if (hostVariant.isEmpty())
            return {QStringLiteral("插件已连接"), kConnected};
        return {QStringLiteral("插件已连接 · ") + hostVariant, kConnected};
    }
    if (autoTuneInstalled)
        return {QStringLiteral("已装 Auto-Tune · 插件没挂上"), kInstalled};
    return {QStringLiteral("未检测到 Auto-Tune"), kAbsent};
}
