#include "app/report_book.h"

#include <QSet>
#include <mutex>

namespace report_book {

namespace {

struct Book {
    std::mutex verifiedLock;
    QSet<QString> verifiedSongKeys;
    QSet<QString> reportingKeys;
    QSet<QString> reportedKeys;
};

Book& book()
{
    static Book b;
    return b;
}

} // namespace

bool claimVerification(const QString& songId)
{
    Book& b = book();
    const std::lock_guard lock(b.verifiedLock);
    if (b.verifiedSongKeys.contains(songId))
        return false;
    b.verifiedSongKeys.insert(songId);
    return true;
}

void releaseVerification(const QString& songId)
{
    Book& b = book();
    const std::lock_guard lock(b.verifiedLock);
    b.verifiedSongKeys.remove(songId);
}

bool claimReport(const QString& claimKey)
{
    Book& b = book();
    const std::lock_guard lock(b.verifiedLock);
    if (b.reportedKeys.contains(claimKey) || b.reportingKeys.contains(claimKey))
        return false;
    b.reportingKeys.insert(claimKey);
    return true;
}

void reportAccepted(const QString& claimKey)
{
    Book& b = book();
    const std::lock_guard lock(b.verifiedLock);
    b.reportingKeys.remove(claimKey);
    b.reportedKeys.insert(claimKey);
}

void reportAbandoned(const QString& claimKey)
{
    Book& b = book();
    const std::lock_guard lock(b.verifiedLock);
    b.reportingKeys.remove(claimKey);
}

void resetForTests()
{
    Book& b = book();
    const std::lock_guard lock(b.verifiedLock);
    b.verifiedSongKeys.clear();
    b.reportingKeys.clear();
    b.reportedKeys.clear();
}

} // namespace report_book
