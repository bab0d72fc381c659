#include "platform/folder_activity_watch.h"

#include "platform/folder_walk.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace platform {
namespace {

// What moves a file's access time or makes it new; IN_OPEN as well because a file read
// through mmap raises no IN_ACCESS.
constexpr uint32_t kMask = IN_ACCESS | IN_OPEN | IN_ATTRIB | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM |
                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
} // namespace

struct FolderActivityWatch::Watches {
    QHash<int, QByteArray> prefixes; // watch → its folder below the root, "" or "a/b/"
    int root = -1;

    // Adds a watch for every folder below the root; false when the kernel refuses one for
    // lack of room.
    bool addBelow(int inotifyFd, const QString& root)
    {
        const QByteArray absolute = QFile::encodeName(root) + '/';
        bool room = true;
        folder_walk::forEachBelow(root, [&](const folder_walk::Entry& entry) {
            if (!entry.isFolder)
                return folder_walk::Step::past;
            const int wd =
                ::inotify_add_watch(inotifyFd, (absolute + entry.path).constData(), kMask | IN_DONT_FOLLOW);
            if (wd >= 0) {
                prefixes.insert(wd, entry.path + '/');
                return folder_walk::Step::into;
            }
            room = errno != ENOSPC && errno != ENOMEM;
            // Otherwise gone meanwhile, or not ours to read.
            return room ? folder_walk::Step::past : folder_walk::Step::stop;
        });
        return room;
    }
};

FolderActivityWatch::FolderActivityWatch(QString folder)
    : m_folder(std::move(folder)), m_watches(std::make_unique<Watches>())
{}

FolderActivityWatch::~FolderActivityWatch()
{
    close();
}

void FolderActivityWatch::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_watches->prefixes.clear();
    m_watches->root = -1;
}

FolderActivityWatch::Built FolderActivityWatch::rebuild()
{
    close();
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return Built::refused; // the instance or descriptor limit
    const QByteArray root = QFile::encodeName(m_folder);
    m_watches->root = ::inotify_add_watch(m_fd, root.constData(), kMask);
    if (m_watches->root < 0) {
        const bool noRoom = errno == ENOSPC || errno == ENOMEM;
        close();
        return noRoom ? Built::refused : Built::noFolder;
    }
    m_watches->prefixes.insert(m_watches->root, QByteArray());
    if (!m_watches->addBelow(m_fd, m_folder)) {
        close();
        return Built::refused;
    }
    return Built::watching;
}

bool FolderActivityWatch::drain(std::vector<QByteArray>& paths)
{
    alignas(inotify_event) char buffer[16384];
    QSet<QByteArray> seen;
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN;
        if (n == 0)
            return false;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0)
                return false;
            if (event->wd == m_watches->root &&
                (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0)
                return false;
            if ((event->mask & IN_IGNORED) != 0) {
                m_watches->prefixes.remove(event->wd);
                continue;
            }
            if ((event->mask & IN_ISDIR) != 0) {
                // A folder that arrives may hold files already; one that leaves takes watches
                // whose names are now wrong.
                if ((event->mask & (IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM)) != 0)
                    return false;
                continue;
            }
            const auto prefix = m_watches->prefixes.constFind(event->wd);
            if (event->len == 0 || prefix == m_watches->prefixes.constEnd())
                continue;
            const QByteArray path = *prefix + QByteArray(event->name);
            if (!seen.contains(path)) {
                seen.insert(path);
                paths.push_back(path);
            }
        }
    }
}

FolderActivityWatch::Activity FolderActivityWatch::take()
{
    switch (m_built) {
    case Built::watching: {
        Activity activity;
        const bool intact = drain(activity.paths);
        if (intact && ++m_looksSinceFull < kFullLookEvery)
            return activity;
        if (!intact)
            m_built = rebuild();
        break;
    }
    case Built::refused:
        // Asking again walks the whole folder, and so does the look that follows: both
        // wait for the safety net's turn.
        if (++m_looksSinceFull < kFullLookEvery)
            return {};
        m_built = rebuild();
        break;
    case Built::noFolder:
        m_built = rebuild();
        break;
    }
    m_looksSinceFull = 0;
    return Activity{true, {}};
}

} // namespace platform
