#include "core/number_format.h"

#include <algorithm>
#include <charconv>

namespace number_format {

QByteArray fixed(double value, int decimals)
{
    constexpr int kMaxDecimals = 20;
    // The largest double in fixed notation has 309 digits before the point.
    char buffer[1 + 309 + 1 + kMaxDecimals + 8];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                         std::clamp(decimals, 0, kMaxDecimals));
    if (ec != std::errc())
        return {};
    return QByteArray(buffer, static_cast<qsizetype>(end - buffer));
}

QString fixedText(double value, int decimals)
{
    return QString::fromLatin1(fixed(value, decimals));
}

} // namespace number_format
