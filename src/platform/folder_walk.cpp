#include "platform/folder_walk.h"

#include <QFile>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::folder_walk {
namespace {

constexpr int kMaxDepth = 64;

// Walks the folder open at `fd`, which it closes; false when a visit stopped the walk.
bool walk(int fd, const QByteArray& prefix, int depth, const std::function<Step(const Entry&)>& visit)
{
    DIR* folder = ::fdopendir(fd);
    if (folder == nullptr) {
        ::close(fd);
        return true;
    }
    bool goOn = true;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat own {};
            isFolder = ::fstatat(::dirfd(folder), entry->d_name, &own, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(own.st_mode);
        }
        const QByteArray path = prefix + entry->d_name;
        const Step step = visit(Entry{::dirfd(folder), entry->d_name, path, isFolder});
        if (step == Step::stop) {
            goOn = false;
            break;
        }
        if (!isFolder || step == Step::past || depth >= kMaxDepth)
            continue;
        const int child =
            ::openat(::dirfd(folder), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0 && !walk(child, path + '/', depth + 1, visit)) {
            goOn = false;
            break;
        }
    }
    ::closedir(folder);
    return goOn;
}

} // namespace

bool forEachBelow(const QString& root, const std::function<Step(const Entry&)>& visit)
{
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 && walk(fd, QByteArray(), 0, visit);
}

} // namespace platform::folder_walk
