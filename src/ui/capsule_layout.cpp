#include "ui/capsule_layout.h"

#include <cmath>

namespace capsule_layout {

std::vector<Button> buttons(bool hasCustomPreset)
{
    std::vector<Button> list = {
        {QStringLiteral("arrow-counterclockwise"), QStringLiteral("默认"),
         QColor::fromRgbF(0.72f, 0.72f, 0.78f), Action::presetDefault, QStringLiteral("套用默认预设")},
        {QStringLiteral("bolt"), QStringLiteral("电音"), QColor::fromRgbF(0.8f, 0.7f, 1.0f),
         Action::presetElectric, QStringLiteral("套用电音预设：修音快而狠")},
        {QStringLiteral("leaf"), QStringLiteral("自然"), QColor::fromRgbF(0.55f, 0.95f, 0.78f),
         Action::presetNatural, QStringLiteral("套用自然预设：接近原声")},
        {QStringLiteral("star"), QStringLiteral("常用"), QColor::fromRgbF(1.0f, 0.85f, 0.5f),
         Action::presetCommon, QStringLiteral("套用常用预设")},
    };
    const QColor blue = QColor::fromRgbF(0.55f, 0.8f, 1.0f);
    if (hasCustomPreset)
        list.push_back({QStringLiteral("person"), QStringLiteral("我的"), blue, Action::presetCustom,
                        QStringLiteral("套用我的预设")});
    list.push_back({QStringLiteral("minus"), QStringLiteral("降"), blue, Action::down,
                    QStringLiteral("伴奏降一个半音")});
    list.push_back(
        {QStringLiteral("plus"), QStringLiteral("升"), blue, Action::up, QStringLiteral("伴奏升一个半音")});
    list.push_back({QStringLiteral("arrows-expand"), QStringLiteral("展开"),
                    QColor::fromRgbF(0.95f, 0.95f, 1.0f), Action::expand,
                    QStringLiteral("打开或收起主面板")});
    return list;
}

QString presetName(Action action)
{
    switch (action) {
    case Action::presetDefault:
        return QStringLiteral("default");
    case Action::presetElectric:
        return QStringLiteral("electric");
    case Action::presetNatural:
        return QStringLiteral("natural");
    case Action::presetCommon:
        return QStringLiteral("common");
    case Action::presetCustom:
        return QStringLiteral("custom");
    case Action::down:
    case Action::up:
    case Action::expand:
        return {};
    }
    return {};
}

double restingCentre(int index)
{
    return kTextWidth + kLeadIn + index * (kBaseW + kButtonGap) + kBaseW / 2;
}

std::vector<double> scales(std::optional<double> mouseX, int count)
{
    std::vector<double> result(static_cast<size_t>(count), 1.0);
    if (!mouseX)
        return result;
    for (int i = 0; i < count; ++i) {
        const double d = *mouseX - restingCentre(i);
        result[static_cast<size_t>(i)] = 1.0 + kMaxGrowth * std::exp(-(d * d) / kSpread);
    }
    return result;
}

std::vector<double> drawnCentres(std::optional<double> mouseX, const std::vector<double>& scales)
{
    const double rowStart = kTextWidth + kLeadIn;
    // Where the pointer falls in the scaled row, measured from its start: the resting row's
    // buttons stretch by their scales, its gaps and what lies beyond its ends do not.
    double intoScaled = 0;
    if (mouseX) {
        double restLeft = rowStart;
        intoScaled = *mouseX - rowStart; // before the first button: as at rest
        double scaledLeft = 0;
        for (size_t i = 0; i < scales.size(); ++i) {
            const double over = *mouseX - restLeft;
            if (over < 0)
                break;
            const double scaledW = kBaseW * scales[i];
            intoScaled = scaledLeft + (over < kBaseW ? over / kBaseW * scaledW : scaledW + (over - kBaseW));
            restLeft += kBaseW + kButtonGap;
            scaledLeft += scaledW + kButtonGap;
        }
    }
    std::vector<double> centres;
    centres.reserve(scales.size());
    double x = mouseX ? *mouseX - intoScaled : rowStart;
    for (const double scale : scales) {
        centres.push_back(x + kBaseW * scale / 2);
        x += kBaseW * scale + kButtonGap;
    }
    return centres;
}

std::optional<int> buttonAt(double x, const std::vector<double>& centres, const std::vector<double>& scales)
{
    for (size_t i = 0; i < centres.size() && i < scales.size(); ++i) {
        if (std::abs(x - centres[i]) <= kBaseW * scales[i] / 2)
            return static_cast<int>(i);
    }
    return std::nullopt;
}

} // namespace capsule_layout
