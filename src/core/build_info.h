#pragma once

#include <QString>

// The application's short version (the project version), compiled in.
QString appShortVersion();
