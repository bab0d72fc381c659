#include "app/command_line.h"

#include <array>

namespace {

// Options the Qt GUI application consumes itself, with whether each takes a value.
struct QtOption {
    const char* name;
    bool takesValue;
};
constexpr std::array<QtOption, 8> kQtOptions = {{
    {"-platform", true},
    {"-platformpluginpath", true},
    {"-platformtheme", true},
    {"-plugin", true},
    {"-display", true},
    {"-qwindowtitle", true},
    {"-reverse", false},
    {"-nograb", false},
}};

// The desktop file's actions, each also a switch of its own name.
constexpr std::array<const char*, 2> kDesktopActions = {"create-accompaniment-loop", "remove-accompaniment-loop"};

std::optional<QString> desktopActionOf(const QString& argument)
{
    for (const char* action : kDesktopActions) {
        if (argument == QLatin1String("--") + QLatin1String(action))
            return QString::fromLatin1(action);
    }
    return std::nullopt;
}

std::optional<QtOption> qtOption(const QString& argument)
{
    for (const QtOption& option : kQtOptions) {
        if (argument == QLatin1String(option.name) ||
            argument == QLatin1Char('-') + QLatin1String(option.name))
            return option;
    }
    return std::nullopt;
}

CommandLine invalid(QString problem)
{
    CommandLine out;
    out.action = CommandLine::Action::invalid;
    out.problem = std::move(problem);
    return out;
}

} // namespace

CommandLine CommandLine::parse(const QStringList& arguments)
{
    if (const auto mode = detectOfflineMode(arguments)) {
        CommandLine out;
        out.action = Action::offline;
        out.offlineMode = mode;
        return out;
    }
    CommandLine out;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            out.action = Action::help;
            return out;
        }
        if (argument == QLatin1String("--version")) {
            out.action = Action::version;
            continue;
        }
        if (argument == QLatin1String("--export-diagnostics")) {
            if (++i >= arguments.size() || arguments.at(i).isEmpty())
                return invalid(QStringLiteral("option --export-diagnostics needs a file"));
            out.action = Action::exportDiagnostics;
            out.exportPath = arguments.at(i);
            continue;
        }
        if (const auto action = desktopActionOf(argument)) {
            if (!out.desktopAction.isEmpty() && out.desktopAction != *action)
                return invalid(QStringLiteral("options --%1 and %2 exclude each other").arg(out.desktopAction, argument));
            out.desktopAction = *action;
            continue;
        }
        if (const auto option = qtOption(argument)) {
            if (option->takesValue && ++i >= arguments.size())
                return invalid(QStringLiteral("option %1 needs a value").arg(argument));
            continue;
        }
        if (argument.startsWith(QLatin1Char('-')))
            return invalid(QStringLiteral("unknown option %1").arg(argument));
        return invalid(QStringLiteral("unexpected argument %1").arg(argument));
    }
    return out;
}

QString CommandLine::usage(const QString& programName, const QString& settingsFile)
{
    return QStringLiteral("Usage: %1 [--help | --version]\n"
                          "       %1 --export-diagnostics FILE\n"
                          "       %1 --create-accompaniment-loop | --remove-accompaniment-loop\n"
                          "       %1 --keytest FILE...\n"
                          "       %1 --keytest-v5 FILE...\n"
                          "       %1 --keytest-decide FILE...\n"
                          "       %1 --v5-pcm-dump IN OUT\n"
                          "       %1 --v5-resampled-dump IN OUT\n"
                          "       %1 --v5-cqt-dump IN OUT [START]\n"
                          "       %1 --v5-features FILE\n"
                          "\n"
                          "Without options, starts Melodrix 声友 (Tonivox): keeps the Auto-Tune plug-in in\n"
                          "the key of the song your music player plays.\n"
                          "\n"
                          "  -h, --help     show this text and exit\n"
                          "      --version  show the version and exit\n"
                          "  --export-diagnostics FILE\n"
                          "                 write the diagnostic report to FILE and exit (beside a\n"
                          "                 running program too: nothing of it is touched)\n"
                          "  --create-accompaniment-loop\n"
                          "                 send the music player's sound through a loop of ours to\n"
                          "                 the transposer (in the running program; without one, it\n"
                          "                 starts and does so once the sound server answers)\n"
                          "  --remove-accompaniment-loop\n"
                          "                 take that loop away again, the player back on the default\n"
                          "                 output (the same way)\n"
                          "  --keytest ...  the offline key test modes: analyse audio files and exit\n"
                          "\n"
                          "Settings: %2\n"
                          "  (an INI file; \"serverBaseURL\" under [General] is the key library's address)\n")
        .arg(programName, settingsFile);
}
