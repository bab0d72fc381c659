#pragma once

#include <QString>
#include <optional>

// Strict readers of the numbers the players store as text: the whole text must be the
// number (an optional sign, then digits; for decimals also a fraction and an exponent),
// with no surrounding spaces. Pure; any thread.
namespace number_text {

std::optional<qint64> decimalInteger(const QString& text);
// Finite values only.
std::optional<double> decimalNumber(const QString& text);

} // namespace number_text
