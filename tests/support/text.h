#pragma once

#include <QString>

// Test texts are written as UTF-8 literals.
inline QString u(const char* text)
{
    return QString::fromUtf8(text);
}
