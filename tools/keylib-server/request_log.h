#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <cstdio>
#include <mutex>

// What the server saw of one request and how it answered.
struct RequestRecord {
    QString method;
    QString path;
    QString rawQuery;                       // as sent, still percent-encoded
    QList<QPair<QString, QString>> query;   // decoded items, in order
    QList<QPair<QString, QString>> headers; // as sent
    QByteArray body;
    QString auth; // "none", "bearer", "valid" or "invalid"
    int status = 0;
};

// One JSON line (with its line feed). The value of "Authorization" is replaced by its
// scheme and "[redacted]", so the log never holds a token.
QByteArray requestLogLine(const RequestRecord& record);

// Appends lines to a file (or stderr), one write per line, flushed at once.
//
// Thread safety: append() may be called from any thread.
class RequestLog {
public:
    // nullptr path: stderr. Returns false from open() when the file cannot be opened.
    bool open(const QString* path);
    ~RequestLog();
    void append(const RequestRecord& record);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    bool m_owned = false;
};
