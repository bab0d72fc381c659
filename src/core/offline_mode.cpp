#include "core/offline_mode.h"

#include <array>

namespace {
constexpr std::array<OfflineMode, 7> kSearchOrder = {
    OfflineMode::keytest,         OfflineMode::keytestV5,  OfflineMode::v5CqtDump,    OfflineMode::v5PcmDump,
    OfflineMode::v5ResampledDump, OfflineMode::v5Features, OfflineMode::keytestDecide};
} // namespace

QString switchName(OfflineMode mode)
{
    switch (mode) {
    case OfflineMode::keytest:
        return QStringLiteral("--keytest");
    case OfflineMode::keytestV5:
        return QStringLiteral("--keytest-v5");
    case OfflineMode::v5CqtDump:
        return QStringLiteral("--v5-cqt-dump");
    case OfflineMode::v5PcmDump:
        return QStringLiteral("--v5-pcm-dump");
    case OfflineMode::v5ResampledDump:
        return QStringLiteral("--v5-resampled-dump");
    case OfflineMode::v5Features:
        return QStringLiteral("--v5-features");
    case OfflineMode::keytestDecide:
        return QStringLiteral("--keytest-decide");
    }
    return {};
}

std::optional<OfflineMode> detectOfflineMode(const QStringList& arguments)
{
    for (OfflineMode mode : kSearchOrder) {
        if (arguments.contains(switchName(mode)))
            return mode;
    }
    return std::nullopt;
}
