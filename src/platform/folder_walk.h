#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace platform::folder_walk {

// One entry met below the root: `folderFd` is its open folder (for *at() calls on `name`),
// `path` its path below the root ("a/b/name").
struct Entry {
    int folderFd;
    const char* name;
    const QByteArray& path;
    bool isFolder;
};

enum class Step {
    into, // go on, and into this entry when it is a folder
    past, // go on, but not into this folder
    stop, // end the whole walk
};

// Calls visit for every entry below root, depth first, without following links to folders
// and at most 64 folders deep; unreadable folders are passed over. False when the root could
// not be opened or a visit stopped the walk.
bool forEachBelow(const QString& root, const std::function<Step(const Entry&)>& visit);

} // namespace platform::folder_walk
