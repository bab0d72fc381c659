#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

namespace platform {

// Which files below a folder were opened, read, created, moved in or had their times set
// since the last look, from inotify: a reader that wants the files whose access time moved
// then stats those few instead of every file of a large cache on every poll.
//
// The answer says "everything" whenever the watch cannot vouch for the quiet files: on the
// first look, while the folder is missing, after a folder appeared below it, after the
// kernel's event queue overflowed, and every kFullLookEvery looks as a safety net for
// changes that raise no event (a file reached through a hard link elsewhere). When the
// kernel refuses the watches (the watch or instance limit), only the safety net's looks say
// "everything" and only they ask again; the looks between say nothing, since a look that
// walks the whole folder on every poll costs more than a late answer.
//
// Thread safety: one thread at a time.
class FolderActivityWatch {
public:
    static constexpr int kFullLookEvery = 75; // half a minute of 400 ms polls

    struct Activity {
        bool everything = false;
        std::vector<QByteArray> paths; // relative to the folder, each once; empty with everything
    };

    explicit FolderActivityWatch(QString folder);
    ~FolderActivityWatch();
    FolderActivityWatch(const FolderActivityWatch&) = delete;
    FolderActivityWatch& operator=(const FolderActivityWatch&) = delete;

    // What happened since the previous call; never blocks.
    Activity take();

private:
    struct Watches;
    enum class Built { noFolder, refused, watching };
    Built rebuild();
    // Reads the queued events into `paths`; false when the watches must be rebuilt.
    bool drain(std::vector<QByteArray>& paths);
    void close();

    QString m_folder;
    int m_fd = -1;
    Built m_built = Built::noFolder;
    int m_looksSinceFull = 0;
    std::unique_ptr<Watches> m_watches;
};

} // namespace platform
