#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

// The diagnostic report as text: pure formatting over facts gathered elsewhere
// (diagnostic_exporter.h), so every heading, fixed text and order is testable without a
// desktop. One fact per line, grouped under bracketed headings, in Chinese.
//
// Pure and thread-safe.
namespace diagnostic_report {

struct FileStat {
    QDateTime modified;
    qint64 size = 0;
};

// A file or folder entry with its modification time and size (inventory lines).
struct Entry {
    QString name;
    qint64 size = 0;
    QDateTime modified;
};

// A VST3 bundle found in a VST3 folder.
struct Bundle {
    QString name;    // the entry's file name (".vst3" included)
    QString version; // "?" when its module info is missing or broken
};

struct PlayerLine {
    QString details;              // the reader's data location and status, free text
    QString dataFile;             // the player's data file
    std::optional<FileStat> stat; // none: the file does not exist
};

struct KugouFolder {
    QString path;
    QList<Entry> files; // empty: "不存在或为空"
};

struct Facts {
    QDateTime now;
    // 【App / 系统】
    QString appVersion;
    QString bundleId;
    QString system;       // PRETTY_NAME and the kernel
    QString architecture; // empty when the command gave nothing
    // 【自检】
    bool proComponentFound = false;
    bool syncerPresent = false;
    bool connected = false;
    bool ipcFresh = false;
    QList<Bundle> autoTuneFamily;
    std::optional<QString> installedPluginVersion; // none: "Melodrix.vst3" is not installed
    bool oldPluginPresent = false;
    QStringList runningHosts;
    std::optional<FileStat> stateFile;
    // 【播放器本地数据】
    QStringList runningPlayers;
    PlayerLine kugou;
    PlayerLine qqMusic;
    PlayerLine netease;
    QString songForm;             // "无" when there is none
    QString lastRecognisedPlayer; // "无" when there is none
    // 【酷狗容器文件清单】
    QList<KugouFolder> kugouFolders;
    // 【当前状态】
    QString song;
    QString keyText;
    int transpose = 0;
    QString syncText;
    double retune = 0;
    QString channelStatus;
    // The rest
    std::optional<QString> stateFileText;
    std::optional<QString> pluginLogTail; // already cut to its last lines
    QList<Entry> crashReports;            // newest first, at most five
    QList<Bundle> componentsFolder;       // every entry of ~/.vst3
};

// The report; lines joined with LF.
QString format(const Facts& facts);

// The five labels of the Auto-Tune family, from a bundle name: its letters and digits,
// lower-cased, containing "pro" → "Auto-Tune Pro", "artist" → "Auto-Tune Artist", "2026"
// → "AutoTune 2026", "efx" → "Auto-Tune EFX+", anything else "其他 Auto-Tune 变体". (VST3
// bundles carry no audio-unit subtype code, so the name is what is left to go by.)
QString familyLabel(const QString& bundleName);
// Whether a bundle name or identifier belongs to the family ("auto-tune", "autotune",
// "antares", any case).
bool isAutoTuneFamily(const QString& text);

// The last `maxLines` lines of a file tail read as raw bytes: the bytes are cut after
// their first LF when `cutAtStart` (the read began mid-file, so the first line is
// partial and may begin inside a character), decoded as UTF-8 and split into lines, a
// final LF ending the last line.
QString lastLines(const QByteArray& tail, bool cutAtStart, int maxLines);

// Every occurrence of `secret` (when it is not empty) replaced by "***".
QString masked(QString text, const QString& secret);

// One running process, for the host table.
struct Process {
    QString executable;  // file name of the executable
    QString commandLine; // arguments joined with blanks
};
// The audio hosts among the processes, in the table's order, each named once.
QStringList matchHosts(const QList<Process>& processes);

} // namespace diagnostic_report
