#include "diagnostics/diagnostic_exporter.h"

#include "core/app_identity.h"
#include "core/app_state.h"
#include "core/build_info.h"
#include "core/settings_store.h"
#include "platform/audio_component_lookup.h"
#include "platform/running_applications.h"
#include "platform/tool_process.h"
#include "players/kugou_detector.h"
#include "players/netease_music_detector.h"
#include "players/player_source.h"
#include "players/qq_music_detector.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_files.h"
#include "pluginlink/plugin_installer.h"
#include "pluginlink/plugin_ipc.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <sys/utsname.h>

using namespace diagnostic_report;

namespace {

// No listing of a folder is read past this many entries.
constexpr int kMaxEntries = 500;
constexpr qint64 kMaxSmallFile = 1024 * 1024;

std::optional<QByteArray> readSmall(const QString& path, qint64 cap = kMaxSmallFile)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return f.read(cap);
}

std::optional<FileStat> statOf(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    return FileStat{info.lastModified(), info.size()};
}

QFileInfoList entriesOf(const QString& folder, QDir::Filters filters)
{
    QFileInfoList list =
        QDir(folder).entryInfoList(filters | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    if (list.size() > kMaxEntries)
        list = list.mid(0, kMaxEntries);
    return list;
}

struct ModuleInfo {
    QString version = QStringLiteral("?");
    QStringList names; // module, vendor and class names
};

// A VST3 bundle's moduleinfo.json; a missing or broken file gives "?".
ModuleInfo moduleInfo(const QString& bundle)
{
    ModuleInfo info;
    for (const char* rel : {"/Contents/Resources/moduleinfo.json", "/Contents/moduleinfo.json"}) {
        const auto bytes = readSmall(bundle + QLatin1String(rel), 4 * kMaxSmallFile);
        if (!bytes)
            continue;
        const QJsonObject root = QJsonDocument::fromJson(*bytes).object();
        const QString version = root.value(QStringLiteral("Version")).toString();
        if (!version.isEmpty())
            info.version = version;
        info.names << root.value(QStringLiteral("Name")).toString()
                   << root.value(QStringLiteral("Factory Info"))
                          .toObject()
                          .value(QStringLiteral("Vendor"))
                          .toString();
        for (const QJsonValue& c : root.value(QStringLiteral("Classes")).toArray())
            info.names << c.toObject().value(QStringLiteral("Name")).toString();
        break;
    }
    return info;
}

QString systemLine()
{
    QString pretty;
    if (const auto bytes = readSmall(QStringLiteral("/etc/os-release"), 64 * 1024)) {
        for (const QByteArray& line : bytes->split('\n')) {
            if (line.startsWith("PRETTY_NAME=")) {
                pretty = QString::fromUtf8(line.mid(12)).trimmed();
                if (pretty.size() >= 2 && (pretty.front() == u'"' || pretty.front() == u'\''))
                    pretty = pretty.mid(1, pretty.size() - 2);
            }
        }
    }
    utsname names{};
    const QString kernel = ::uname(&names) == 0 ? QString::fromUtf8(names.release) : QStringLiteral("?");
    return (pretty.isEmpty() ? QStringLiteral("?") : pretty) + QStringLiteral("（内核 ") + kernel +
           QStringLiteral("）");
}

QList<Process> processes(const QString& procRoot)
{
    QList<Process> list;
    for (const QFileInfo& entry : entriesOf(procRoot, QDir::Dirs)) {
        bool numeric = false;
        entry.fileName().toLongLong(&numeric);
        if (!numeric)
            continue;
        Process p;
        p.executable = QFileInfo(entry.filePath() + QStringLiteral("/exe")).symLinkTarget().section(u'/', -1);
        if (const auto cmd = readSmall(entry.filePath() + QStringLiteral("/cmdline"), 4096)) {
            QByteArray text = *cmd;
            text.replace('\0', ' ');
            p.commandLine = QString::fromUtf8(text).trimmed();
        }
        if (p.executable.isEmpty())
            p.executable = p.commandLine.section(u' ', 0, 0).section(u'/', -1);
        list.append(p);
    }
    return list;
}

QStringList runningPlayers(const platform::RunningApplications* applications)
{
    QStringList names;
    if (!applications)
        return names;
    QList<PlayerSource> seen;
    QList<PlayerSource> underWine;
    for (const auto& app : applications->list()) {
        const auto found =
            player_source::fromProcess(app.bundleIdentifier, app.localizedName, app.windowsProgram);
        if (found && !seen.contains(found->source))
            seen.append(found->source);
        if (found && found->form == player_source::Form::wine && !underWine.contains(found->source))
            underWine.append(found->source);
    }
    // The Linux form names the path a support request has to look at.
    for (PlayerSource source : player_source::allCases) {
        if (seen.contains(source))
            names.append(player_source::rawValue(source) +
                         (underWine.contains(source) ? QStringLiteral("（Wine）") : QString()));
    }
    return names;
}

QList<Entry> crashReports(const QString& coredumpctl)
{
    QList<Entry> reports;
    if (coredumpctl.isEmpty())
        return reports;
    platform::ToolLimits limits;
    limits.timeLimit = std::chrono::seconds(5);
    limits.maxOutputBytes = 4 * 1024 * 1024;
    const platform::ToolRun run = platform::runTool(
        coredumpctl, {QStringLiteral("--json=short"), QStringLiteral("--no-pager"), QStringLiteral("list")},
        limits);
    if (run.end != platform::ToolRun::End::exited || run.exitCode != 0 || run.outputTruncated)
        return reports;
    static const QStringList kNames = {QStringLiteral("studio"),   QStringLiteral("logic"),
                                       QStringLiteral("autotune"), QStringLiteral("melodrix"),
                                       QStringLiteral("rigbox"),   QStringLiteral("tonivox")};
    for (const QJsonValue& v : QJsonDocument::fromJson(run.output).array()) {
        const QJsonObject o = v.toObject();
        const QString exe = o.value(QStringLiteral("exe")).toString();
        const QString lower = exe.section(u'/', -1).toLower();
        if (!std::any_of(kNames.begin(), kNames.end(), [&](const QString& n) { return lower.contains(n); }))
            continue;
        const double micros = o.value(QStringLiteral("time")).toDouble(-1);
        const QDateTime time =
            micros >= 0 ? QDateTime::fromMSecsSinceEpoch(qint64(micros / 1000)) : QDateTime();
        reports.append({exe + QStringLiteral(" (pid ") +
                            QString::number(o.value(QStringLiteral("pid")).toInteger()) + QLatin1Char(')'),
                        0, time});
    }
    std::stable_sort(reports.begin(), reports.end(), [](const Entry& a, const Entry& b) {
        const qint64 ta = a.modified.isValid() ? a.modified.toMSecsSinceEpoch() : LLONG_MIN;
        const qint64 tb = b.modified.isValid() ? b.modified.toMSecsSinceEpoch() : LLONG_MIN;
        return ta > tb;
    });
    return reports.mid(0, 5);
}

PlayerLine playerLine(const QString& details, const QString& dataFile)
{
    return {details, dataFile, statOf(dataFile)};
}

QString firstExisting(const QStringList& paths)
{
    for (const QString& p : paths) {
        if (QFileInfo::exists(p))
            return p;
    }
    return paths.value(0);
}

} // namespace

DiagnosticExporter::Sources DiagnosticExporter::Sources::defaults()
{
    Sources s;
    s.home = QDir::homePath();
    s.linkDir = PluginIPC::dir();
    s.vst3Folders = platform::Vst3ComponentLookup::standardFolders();
    s.componentsDir = PluginInstaller::defaultComponentsDir();
    s.applications = platform::defaultRunningApplications();
    const QString fromEnvironment = qEnvironmentVariable("TONIVOX_ACCESS_TOKEN");
    if (!fromEnvironment.isEmpty())
        s.secrets.append(fromEnvironment);
    if (const auto stored = SettingsStore::shared().accessToken(); stored && !stored->isEmpty())
        s.secrets.append(*stored);
    return s;
}

std::optional<std::pair<QByteArray, bool>> DiagnosticExporter::readTail(const QString& path, qint64 maxBytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const qint64 size = f.size();
    const bool cut = size > maxBytes;
    if (cut && !f.seek(size - maxBytes))
        return std::nullopt;
    return std::make_pair(f.read(maxBytes), cut);
}

QString DiagnosticExporter::shell(const QString& program, const QStringList& args)
{
    platform::ToolLimits limits;
    limits.timeLimit = std::chrono::seconds(5);
    limits.maxOutputBytes = 64 * 1024;
    const platform::ToolRun run = platform::runTool(program, args, limits);
    if (run.end != platform::ToolRun::End::exited)
        return {};
    return QString::fromUtf8(run.output).trimmed();
}

Facts DiagnosticExporter::liveFacts(const AppState& state, const AutoTuneSyncer* syncer)
{
    Facts f;
    f.now = QDateTime::currentDateTime();
    f.syncerPresent = syncer != nullptr;
    f.connected = syncer && syncer->connected();
    f.ipcFresh = syncer && syncer->ipcFresh();
    f.song = state.displaySong();
    f.keyText = state.keyText();
    f.transpose = state.transpose();
    f.syncText = state.syncText();
    f.retune = state.retune();
    f.channelStatus = state.channelStatus();
    return f;
}

Facts DiagnosticExporter::gather(const AppState& state, const AutoTuneSyncer* syncer, const Sources& sources)
{
    Facts f = liveFacts(state, syncer);
    gatherSystem(f, sources);
    return f;
}

void DiagnosticExporter::gatherSystem(Facts& f, const Sources& sources)
{
    f.appVersion = appShortVersion() + QStringLiteral(" (build ?)");
    f.bundleId = QString::fromLatin1(kDesktopFileId);
    f.system = systemLine();
    f.architecture = shell(QStringLiteral("/usr/bin/uname"), {QStringLiteral("-m")});

    const platform::Vst3ComponentLookup lookup(sources.vst3Folders);
    f.proComponentFound = !lookup
                               .find({QStringLiteral("Auto-Tune Pro"), QStringLiteral("aumf"),
                                      QStringLiteral("AT81"), QStringLiteral("VST ")})
                               .empty();
    for (const QString& folder : sources.vst3Folders) {
        for (const QFileInfo& entry : entriesOf(folder, QDir::Dirs | QDir::Files)) {
            if (!entry.fileName().endsWith(QLatin1String(".vst3")))
                continue;
            const ModuleInfo info = entry.isDir() ? moduleInfo(entry.filePath()) : ModuleInfo{};
            bool family = isAutoTuneFamily(entry.fileName());
            for (const QString& name : info.names)
                family = family || isAutoTuneFamily(name);
            if (family)
                f.autoTuneFamily.append({entry.fileName(), info.version});
        }
    }
    const QString installed =
        sources.componentsDir + QLatin1Char('/') + QLatin1String(PluginInstaller::kBundleName);
    if (QFileInfo(installed).isDir())
        f.installedPluginVersion = moduleInfo(installed).version;
    const QFileInfo old(sources.componentsDir + QLatin1Char('/') +
                        QLatin1String(PluginInstaller::kOldBundleName));
    f.oldPluginPresent = old.exists() || old.isSymLink();
    f.runningHosts = matchHosts(processes(sources.procRoot));
    f.stateFile = statOf(sources.linkDir + QLatin1Char('/') + QLatin1String(PluginIPC::kStateFile));

    f.runningPlayers = runningPlayers(sources.applications.get());
    {
        const KuGouDetector fallback(sources.home);
        const KuGouDetector& k = sources.kugou ? *sources.kugou : fallback;
        const QString db = firstExisting(k.dbCandidates());
        f.kugou = playerLine(
            k.playlistPath() + QStringLiteral("｜数据库：") + db +
                (k.dbDiag().isEmpty() ? QString() : QStringLiteral("（") + k.dbDiag() + QStringLiteral("）")),
            k.playlistPath());
    }
    {
        const QQMusicDetector fallback(sources.home, QDir::tempPath());
        const QQMusicDetector& q = sources.qqMusic ? *sources.qqMusic : fallback;
        f.qqMusic = playerLine(
            q.archivePath() +
                (q.diag().isEmpty() ? QString() : QStringLiteral("（") + q.diag() + QStringLiteral("）")),
            q.archivePath());
    }
    {
        NeteaseMusicDetector fallback(sources.home, QDir::tempPath());
        if (!sources.netease)
            fallback.searchWinePrefixes();
        const NeteaseMusicDetector& n = sources.netease ? *sources.netease : fallback;
        f.netease = playerLine(
            n.sourcePath() +
                (n.diag().isEmpty() ? QString() : QStringLiteral("（") + n.diag() + QStringLiteral("）")),
            n.sourcePath());
    }
    f.songForm = sources.songForm.value_or(QStringLiteral("无"));
    f.lastRecognisedPlayer = sources.lastRecognisedPlayer.value_or(QStringLiteral("无"));

    const QString container = sources.home + QStringLiteral("/Library/Containers/com.kugou.mac.Music/Data");
    // The folders the Kugou reader looks in.
    const QString support = container + QStringLiteral("/Library/Application Support/com.kugou.mac.Music");
    for (const QString& folder :
         {container, container + QStringLiteral("/Library/Preferences"),
          container + QStringLiteral("/Documents"), support, support + QStringLiteral("/DB")}) {
        KugouFolder listing{folder, {}};
        for (const QFileInfo& file : entriesOf(folder, QDir::Files))
            listing.files.append({file.fileName(), file.size(), file.lastModified()});
        f.kugouFolders.append(listing);
    }

    f.stateFileText =
        plugin_files::readUtf8File(sources.linkDir + QLatin1Char('/') + QLatin1String(PluginIPC::kStateFile));
    if (const auto tail = readTail(
            sources.linkDir + QLatin1Char('/') + QLatin1String(PluginIPC::kPluginLogFile), kLogTailBytes))
        f.pluginLogTail = lastLines(tail->first, tail->second, kLogTailLines);
    f.crashReports = crashReports(sources.coredumpctl);
    for (const QFileInfo& entry : entriesOf(sources.componentsDir, QDir::AllEntries | QDir::System))
        f.componentsFolder.append(
            {entry.fileName(), entry.isDir() ? moduleInfo(entry.filePath()).version : QStringLiteral("?")});
}

QString DiagnosticExporter::textOf(const Facts& facts, const Sources& sources)
{
    QString text = format(facts);
    for (const QString& secret : sources.secrets)
        text = masked(text, secret);
    return text;
}

QString DiagnosticExporter::buildText(const AppState& appState, const AutoTuneSyncer* syncer,
                                      const Sources& sources)
{
    return textOf(gather(appState, syncer, sources), sources);
}
