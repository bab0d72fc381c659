#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>
#include <variant>

// The development key-library server's command line.
struct ServerOptions {
    QString host = QStringLiteral("127.0.0.1");
    int port = 8765; // 0: pick a free port and print it
    QString dbPath = QStringLiteral(":memory:");
    std::optional<QString> seedPath;      // JSON songs with keys, loaded at start
    std::optional<QString> minVersion;    // older "X-App-Version"s get 426
    std::optional<QString> latestVersion; // announced by the version endpoint
    QString latestURL;
    std::optional<QString> latestNotes;
    std::optional<int> failStatus;         // answer every request with this status
    std::chrono::milliseconds delay{0};    // wait this long before every answer
    std::optional<QString> logPath;        // request log (JSON lines); stderr when absent
    std::optional<QString> token;          // the one bearer token accepted
    std::optional<QString> answerBodyPath; // answer every request with this body
    bool cutBody = false;                  // reset every connection half-way through the body
};

// The options, or a message for the user. `arguments` excludes the program name.
std::variant<ServerOptions, QString> parseServerOptions(const QStringList& arguments);

QString serverUsage();
