#include "server_options.h"

#include <QCommandLineParser>

namespace {

const QCommandLineOption kListen(QStringLiteral("listen"),
                                 QStringLiteral("Address to listen on (port 0: any free port)."),
                                 QStringLiteral("HOST:PORT"));
const QCommandLineOption kDb(QStringLiteral("db"), QStringLiteral("SQLite file (default: in memory)."),
                             QStringLiteral("FILE"));
const QCommandLineOption kSeed(QStringLiteral("seed"),
                               QStringLiteral("JSON list of songs with keys to load."),
                               QStringLiteral("FILE.json"));
const QCommandLineOption kMinVersion(QStringLiteral("min-version"),
                                     QStringLiteral("Answer 426 to older X-App-Version headers."),
                                     QStringLiteral("X"));
const QCommandLineOption kLatestVersion(QStringLiteral("latest-version"),
                                        QStringLiteral("Version announced by /v1/app/version."),
                                        QStringLiteral("X"));
const QCommandLineOption kLatestURL(QStringLiteral("latest-url"),
                                    QStringLiteral("Download address of that version."), QStringLiteral("U"));
const QCommandLineOption kLatestNotes(QStringLiteral("latest-notes"),
                                      QStringLiteral("Release notes of that version."),
                                      QStringLiteral("TEXT"));
const QCommandLineOption kFail(QStringLiteral("fail"),
                               QStringLiteral("Answer every request with this HTTP status."),
                               QStringLiteral("STATUS"));
const QCommandLineOption kDelay(QStringLiteral("delay-ms"), QStringLiteral("Wait before every answer."),
                                QStringLiteral("N"));
const QCommandLineOption kLog(QStringLiteral("log"),
                              QStringLiteral("Request log, one JSON line each (default: stderr)."),
                              QStringLiteral("FILE"));
const QCommandLineOption kToken(QStringLiteral("token"), QStringLiteral("The only bearer token accepted."),
                                QStringLiteral("T"));
const QCommandLineOption kAnswerBody(QStringLiteral("answer-body"),
                                     QStringLiteral("Answer every request with this file as the JSON body."),
                                     QStringLiteral("FILE"));
const QCommandLineOption kCutBody(QStringLiteral("cut-body"),
                                  QStringLiteral("Reset every connection half-way through the answer body."));

void addOptions(QCommandLineParser& parser)
{
    parser.addHelpOption();
    for (const QCommandLineOption* option :
         {&kListen, &kDb, &kSeed, &kMinVersion, &kLatestVersion, &kLatestURL, &kLatestNotes, &kFail, &kDelay,
          &kLog, &kToken, &kAnswerBody, &kCutBody})
        parser.addOption(*option);
}

std::optional<QString> valueOf(const QCommandLineParser& parser, const QCommandLineOption& option)
{
    return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
}

} // namespace

QString serverUsage()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A key-library server for development and tests: lookup, feedback, key reports,\n"
                       "listening times and the version check, stored in SQLite."));
    addOptions(parser);
    // Without an application object the parser cannot know the program's name.
    return parser.helpText().replace(QLatin1String("<executable_name>"),
                                     QLatin1String("tonivox-keylib-server"));
}

std::variant<ServerOptions, QString> parseServerOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(QStringList{QStringLiteral("tonivox-keylib-server")} + arguments))
        return parser.errorText();
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first());

    ServerOptions options;
    if (const auto listen = valueOf(parser, kListen)) {
        const qsizetype colon = listen->lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int port = colon > 0 ? listen->mid(colon + 1).toInt(&ok) : -1;
        if (!ok || port < 0 || port > 65535)
            return QStringLiteral("--listen wants HOST:PORT, got \"%1\"").arg(*listen);
        options.host = listen->left(colon);
        options.port = port;
    }
    if (const auto db = valueOf(parser, kDb))
        options.dbPath = *db;
    options.seedPath = valueOf(parser, kSeed);
    options.minVersion = valueOf(parser, kMinVersion);
    options.latestVersion = valueOf(parser, kLatestVersion);
    options.latestURL = parser.value(kLatestURL);
    options.latestNotes = valueOf(parser, kLatestNotes);
    if (options.latestVersion && options.latestURL.isEmpty())
        return QStringLiteral("--latest-version needs --latest-url");
    if (const auto fail = valueOf(parser, kFail)) {
        bool ok = false;
        const int status = fail->toInt(&ok);
        if (!ok || status < 100 || status > 599)
            return QStringLiteral("--fail wants an HTTP status, got \"%1\"").arg(*fail);
        options.failStatus = status;
    }
    if (const auto delay = valueOf(parser, kDelay)) {
        bool ok = false;
        const qint64 ms = delay->toLongLong(&ok);
        if (!ok || ms < 0)
            return QStringLiteral("--delay-ms wants a number of milliseconds, got \"%1\"").arg(*delay);
        options.delay = std::chrono::milliseconds(ms);
    }
    options.logPath = valueOf(parser, kLog);
    options.token = valueOf(parser, kToken);
    options.answerBodyPath = valueOf(parser, kAnswerBody);
    options.cutBody = parser.isSet(kCutBody);
    return options;
}
