#include "core/floating_bar_style.h"

#include "core/settings_store.h"

QString rawValue(FloatingBarStyle style)
{
    switch (style) {
    case FloatingBarStyle::capsule:
        return QStringLiteral("capsule");
    case FloatingBarStyle::notch:
        return QStringLiteral("notch");
    }
    return QStringLiteral("notch");
}

std::optional<FloatingBarStyle> floatingBarStyleFromRaw(const QString& raw)
{
    for (FloatingBarStyle style : kAllFloatingBarStyles) {
        if (rawValue(style) == raw)
            return style;
    }
    return std::nullopt;
}

FloatingBarStyle initialFloatingBarStyle(const SettingsStore& settings)
{
    const auto stored = settings.floatingBarStyle();
    if (stored && *stored == rawValue(FloatingBarStyle::capsule))
        return FloatingBarStyle::capsule;
    return FloatingBarStyle::notch;
}
