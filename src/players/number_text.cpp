#include "players/number_text.h"

#include <QRegularExpression>
#include <cmath>

namespace number_text {

std::optional<qint64> decimalInteger(const QString& text)
{
    static const QRegularExpression shape(QStringLiteral(R"(^[+-]?[0-9]+$)"));
    if (!shape.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

std::optional<double> decimalNumber(const QString& text)
{
    static const QRegularExpression shape(
        QStringLiteral(R"(^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$)"));
    if (!shape.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace number_text
