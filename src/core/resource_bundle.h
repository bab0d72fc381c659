#pragma once

#include <QString>
#include <optional>

// The resource folder (model, constant-Q basis, icons): "resources" beside the
// executable in a build tree, then <prefix>/share/tonivox.
std::optional<QString> findResourceDir();
// Like findResourceDir(), but stops the process with "unable to find bundle named
// Tonivox_Tonivox" when there is none.
QString requireResourceDir();
