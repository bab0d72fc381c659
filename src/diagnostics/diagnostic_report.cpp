#include "diagnostics/diagnostic_report.h"

#include "core/number_format.h"
#include "platform/audio_component_lookup.h"

#include <QLocale>
#include <QStringDecoder>

namespace diagnostic_report {
namespace {

using platform::looseName;

// Modification times as the user reads them: short date, medium time, user's locale.
QString localTime(const QDateTime& time)
{
    if (!time.isValid())
        return QStringLiteral("?");
    const QLocale locale = QLocale::system();
    return locale.toString(time.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(time.time(), QStringLiteral("HH:mm:ss"));
}

QString playerLine(const QString& label, const PlayerLine& player)
{
    QString line = label + player.details + QStringLiteral("｜");
    if (!player.stat)
        return line + QStringLiteral("（文件不存在）");
    return line + QStringLiteral("%1（有文件 %2 MB，改于 %3）")
                      .arg(player.dataFile,
                           number_format::fixedText(double(player.stat->size) / 1048576.0, 1),
                           localTime(player.stat->modified));
}

struct Host {
    const char* label;
    QStringList executables; // exact names or prefixes ending in "*"
    QStringList scripts;     // script names run by an interpreter, matched in the command line
};

// The audio hosts that run under Linux, in report order.
const QList<Host>& hostTable()
{
    static const QList<Host> table = {
        {"Studio One / Studio Pro", {QStringLiteral("studio one*"), QStringLiteral("studioone*")}, {}},
        {"REAPER", {QStringLiteral("reaper")}, {}},
        {"Ardour", {QStringLiteral("ardour*")}, {}},
        {"Bitwig Studio", {QStringLiteral("bitwig*")}, {}},
        {"Carla", {QStringLiteral("carla*")}, {QStringLiteral("carla*")}},
        {"Qtractor", {QStringLiteral("qtractor")}, {}},
        {"LMMS", {QStringLiteral("lmms")}, {}},
        {"Audacity", {QStringLiteral("audacity")}, {}},
        {"MusE", {QStringLiteral("muse"), QStringLiteral("muse3"), QStringLiteral("muse4")}, {}},
        {"Zrythm", {QStringLiteral("zrythm")}, {}},
        {"Renoise", {QStringLiteral("renoise*")}, {}},
        {"Tracktion Waveform", {QStringLiteral("waveform*"), QStringLiteral("tracktion*")}, {}},
        {"Hydrogen", {QStringLiteral("hydrogen")}, {}},
        {"Catia / Cadence",
         {QStringLiteral("catia"), QStringLiteral("cadence")},
         {QStringLiteral("catia"), QStringLiteral("cadence"), QStringLiteral("catia.py"),
          QStringLiteral("cadence.py")}},
    };
    return table;
}

bool nameMatches(const QString& name, const QStringList& patterns)
{
    const QString lower = name.toLower();
    for (const QString& p : patterns) {
        if (p.endsWith(u'*') ? lower.startsWith(p.chopped(1)) : lower == p)
            return true;
    }
    return false;
}

} // namespace

QString familyLabel(const QString& bundleName)
{
    const QString name = looseName(bundleName);
    if (name.contains(QLatin1String("pro")))
        return QStringLiteral("Auto-Tune Pro");
    if (name.contains(QLatin1String("artist")))
        return QStringLiteral("Auto-Tune Artist");
    if (name.contains(QLatin1String("2026")))
        return QStringLiteral("AutoTune 2026");
    if (name.contains(QLatin1String("efx")))
        return QStringLiteral("Auto-Tune EFX+");
    return QStringLiteral("其他 Auto-Tune 变体");
}

bool isAutoTuneFamily(const QString& text)
{
    const QString lower = text.toLower();
    return lower.contains(QLatin1String("auto-tune")) || lower.contains(QLatin1String("autotune")) ||
           lower.contains(QLatin1String("antares"));
}

QString lastLines(const QByteArray& tail, bool cutAtStart, int maxLines)
{
    QByteArray bytes = tail;
    if (cutAtStart) {
        const qsizetype lf = bytes.indexOf('\n');
        bytes = lf < 0 ? QByteArray() : bytes.mid(lf + 1);
    }
    // A final LF ends the last line; it does not begin an empty one.
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    if (lines.size() > maxLines)
        lines = lines.mid(lines.size() - maxLines);
    return lines.join(QLatin1Char('\n'));
}

QString masked(QString text, const QString& secret)
{
    if (!secret.isEmpty())
        text.replace(secret, QStringLiteral("***"));
    return text;
}

QStringList matchHosts(const QList<Process>& processes)
{
    QStringList found;
    for (const Host& host : hostTable()) {
        bool running = false;
        for (const Process& p : processes) {
            running = nameMatches(p.executable, host.executables);
            for (const QString& word : p.commandLine.split(u' ', Qt::SkipEmptyParts)) {
                if (running || host.scripts.isEmpty())
                    break;
                running = nameMatches(word.section(u'/', -1), host.scripts);
            }
            if (running)
                break;
        }
        if (running)
            found.append(QString::fromUtf8(host.label));
    }
    return found;
}

QString format(const Facts& f)
{
    QStringList out;
    const QString rule(50, u'=');
    out << rule
        << QStringLiteral("Melodrix 声友 · 诊断信息  ") +
               f.now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        << rule;

    out << QString() << QStringLiteral("【App / 系统】");
    out << QStringLiteral("App 版本：") + f.appVersion;
    out << QStringLiteral("Bundle ID：") + f.bundleId;
    out << QStringLiteral("系统：") + f.system;
    out << QStringLiteral("架构：") + f.architecture + QStringLiteral("（原生）");

    out << QString() << QStringLiteral("【自检】");
    out << QStringLiteral("Auto-Tune Pro VST3 组件：") +
               (f.proComponentFound ? QStringLiteral("已找到") : QStringLiteral("未找到"));
    out << QStringLiteral("App 内 Auto-Tune 实例：") +
               (f.syncerPresent && f.connected ? QStringLiteral("已连接") : QStringLiteral("未连接"));
    out << QStringLiteral("App 同步心跳：") + (f.syncerPresent && f.ipcFresh
                                                   ? QStringLiteral("正常（状态文件 8 秒内更新）")
                                                   : QStringLiteral("消息（从悬浮面板生成，未带同步器）"));
    out << QStringLiteral("Auto-Tune 家族组件（识别）：");
    if (f.autoTuneFamily.isEmpty())
        out << QStringLiteral("  （未找到）");
    for (const Bundle& b : f.autoTuneFamily)
        out << QStringLiteral("  ") + familyLabel(b.name) + QStringLiteral("（") + b.name +
                   QStringLiteral("）  版本 ") + b.version;
    out << QStringLiteral("插件文件：");
    out << QStringLiteral("  Melodrix.vst3：") +
               (f.installedPluginVersion
                    ? QStringLiteral("已安装（版本 ") + *f.installedPluginVersion + QStringLiteral("）")
                    : QStringLiteral("未安装"));
    out << QStringLiteral("  Rigbox.vst3（旧名）：") +
               (f.oldPluginPresent ? QStringLiteral("存在（应当已被删除）") : QStringLiteral("不存在"));
    out << QStringLiteral("运行中的宿主：") + (f.runningHosts.isEmpty()
                                                   ? QStringLiteral("未检测到")
                                                   : f.runningHosts.join(QStringLiteral("、")));
    out << QStringLiteral("IPC 状态文件：") +
               (f.stateFile ? QStringLiteral("存在（修改于 ") + localTime(f.stateFile->modified) +
                                  QStringLiteral("，") + QString::number(f.stateFile->size) +
                                  QStringLiteral(" 字节）")
                            : QStringLiteral("不存在（App 可能未运行，或插件从未加载）"));

    out << QString() << QStringLiteral("【播放器本地数据】");
    out << QStringLiteral("运行中的播放器：") + (f.runningPlayers.isEmpty()
                                                     ? QStringLiteral("无")
                                                     : f.runningPlayers.join(QStringLiteral("、")));
    out << QStringLiteral("歌曲来源：") + f.songForm;
    out << playerLine(QStringLiteral("酷狗："), f.kugou);
    out << playerLine(QStringLiteral("QQ音乐："), f.qqMusic);
    out << playerLine(QStringLiteral("网易云："), f.netease);
    out << QStringLiteral("窗口识别最后认到的播放器：") + f.lastRecognisedPlayer;

    out << QString()
        << QStringLiteral("【酷狗容器文件清单】（2026-10-01 加：App Store "
                          "版和官网版数据位置不同，有这份就不用再让顾客翻文件）");
    for (const KugouFolder& folder : f.kugouFolders) {
        if (folder.files.isEmpty()) {
            out << QStringLiteral("  ") + folder.path + QStringLiteral("：不存在或为空");
            continue;
        }
        out << QStringLiteral("  ") + folder.path + QStringLiteral("：");
        for (const Entry& e : folder.files)
            out << QStringLiteral("    %1  %2 B  %3").arg(e.name).arg(e.size, 8).arg(localTime(e.modified));
    }

    out << QString() << QStringLiteral("【当前状态】");
    out << QStringLiteral("歌曲：") + f.song;
    out << QStringLiteral("调性：") + f.keyText + QStringLiteral("（升降调 ") +
               (f.transpose > 0 ? QStringLiteral("+") : QString()) + QString::number(f.transpose) +
               QStringLiteral("）");
    out << QStringLiteral("同步状态：") + f.syncText;
    out << QStringLiteral("Retune：") + number_format::fixedText(f.retune, 2);
    out << QStringLiteral("伴奏通道：") +
               (f.channelStatus.isEmpty() ? QStringLiteral("未设置") : f.channelStatus);

    out << QString() << QStringLiteral("【plugin_state.txt 内容】");
    out << f.stateFileText.value_or(QStringLiteral("（文件不存在——App 可能未运行或未写入）"));

    out << QString() << QStringLiteral("【rigbox_debug.log 最近 100 行】");
    out << f.pluginLogTail.value_or(
        QStringLiteral("（文件不存在——宿主里可能没有加载 Melodrix 插件，或插件从未运行过）"));

    out << QString() << QStringLiteral("【近期崩溃报告（宿主/插件）】");
    for (const Entry& e : f.crashReports)
        out << e.name + QStringLiteral("  修改") + localTime(e.modified);

    out << QString() << QStringLiteral("【插件安装目录列表（排查残留/旧版本）】");
    if (f.componentsFolder.isEmpty())
        out << QStringLiteral("（Components 目录为空或不存在）");
    for (const Bundle& b : f.componentsFolder)
        out << b.name + QStringLiteral("  版本") + b.version;

    out << QString() << QStringLiteral("如需帮助，请把本文件发给你的调音师或 Melodrix 官方。");
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace diagnostic_report
