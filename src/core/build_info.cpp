#include "core/build_info.h"

QString appShortVersion()
{
    return QStringLiteral(TONIVOX_VERSION);
}
