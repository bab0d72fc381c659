#include "core/app_state.h"
#include "diagnostics/diagnostic_exporter.h"
#include "diagnostics/diagnostic_report.h"
#include "platform/audio_component_lookup.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace diagnostic_report;

namespace {

// The report with what changes from machine to machine and minute to minute masked:
// dates and times, the version, the system line and the architecture.
QString maskedVolatile(QString text)
{
    static const QList<std::pair<QRegularExpression, QString>> rules = {
        {QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")),
         QStringLiteral("<now>")},
        {QRegularExpression(QStringLiteral("[^ （，]*\\d+[^ ]* \\d\\d:\\d\\d:\\d\\d")),
         QStringLiteral("<time>")},
        {QRegularExpression(QStringLiteral("(?m)^App 版本：.*$")), QStringLiteral("App 版本：<version>")},
        {QRegularExpression(QStringLiteral("(?m)^系统：.*$")), QStringLiteral("系统：<system>")},
        {QRegularExpression(QStringLiteral("(?m)^架构：.*（原生）$")),
         QStringLiteral("架构：<arch>（原生）")},
    };
    for (const auto& [re, replacement] : rules)
        text.replace(re, replacement);
    return text;
}

// A temporary home with a link directory, VST3 folders and no running hosts or crashes.
class Report : public ::testing::Test {
protected:
    DiagnosticExporter::Sources sources() const
    {
        DiagnosticExporter::Sources s;
        s.home = home.path();
        s.linkDir = home.linkDir();
        s.vst3Folders = {home.path() + QStringLiteral("/.vst3")};
        s.componentsDir = home.path() + QStringLiteral("/.vst3");
        s.procRoot = home.path() + QStringLiteral("/no-proc");
        s.coredumpctl.clear();
        return s;
    }
    QString build(const AutoTuneSyncer* syncer = nullptr, DiagnosticExporter::Sources s = {})
    {
        if (s.home.isEmpty())
            s = sources();
        return DiagnosticExporter::buildText(state, syncer, s);
    }
    QString section(const QString& report, const QString& heading)
    {
        const qsizetype start = report.indexOf(heading);
        EXPECT_GE(start, 0) << heading.toStdString();
        const qsizetype end = report.indexOf(QStringLiteral("\n\n【"), start);
        return report.mid(start + heading.size() + 1, end - start - heading.size() - 1);
    }
    QString linkFile(const char* name) const
    {
        return home.linkDir() + QLatin1Char('/') + QLatin1String(name);
    }

    TempHome home;
    AppState state{home.settings()};
};

} // namespace

// The whole report of an empty home, against the golden file.
TEST_F(Report, EmptyHomeMatchesTheGoldenFile)
{
    QFile golden(QStringLiteral(TONIVOX_TEST_DATA "/empty_home_report.txt"));
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
    const QString got = maskedVolatile(build()).replace(home.path(), QStringLiteral("~"));
    EXPECT_EQ(got.toStdString(), QString::fromUtf8(golden.readAll()).toStdString());
}

TEST_F(Report, HeartbeatLineFollowsTheSyncerAndItsStateFile)
{
    const QString absent = QStringLiteral("App 同步心跳：消息（从悬浮面板生成，未带同步器）");
    EXPECT_TRUE(build().contains(absent));
    AutoTuneSyncer syncer(std::make_shared<platform::Vst3ComponentLookup>(QStringList{}));
    syncer.setKeyScale(5, 1); // writes the state file now
    const QString fresh = build(&syncer);
    EXPECT_TRUE(fresh.contains(QStringLiteral("App 同步心跳：正常（状态文件 8 秒内更新）")));
    EXPECT_TRUE(fresh.contains(QStringLiteral("key=5.0000")));
    EXPECT_TRUE(fresh.contains(QStringLiteral("IPC 状态文件：存在（修改于 ")));
    ASSERT_TRUE(setAge(PluginIPC::file(), 8.0));
    EXPECT_TRUE(build(&syncer).contains(absent));
}

TEST_F(Report, PluginLogTail)
{
    const QString heading = QStringLiteral("【rigbox_debug.log 最近 100 行】");
    writeFile(linkFile(PluginIPC::kPluginLogFile), "一\n二\n三");
    EXPECT_EQ(section(build(), heading), QStringLiteral("一\n二\n三"));

    QByteArray many;
    for (int i = 1; i <= 5000; ++i)
        many += "line " + QByteArray::number(i) + '\n';
    writeFile(linkFile(PluginIPC::kPluginLogFile), many);
    const QStringList lines = section(build(), heading).split(u'\n');
    ASSERT_EQ(lines.size(), 100);
    EXPECT_EQ(lines.first(), QStringLiteral("line 4901"));
    EXPECT_EQ(lines.last(), QStringLiteral("line 5000"));

    // A tail that begins inside a character (three-byte characters before a suffix whose
    // length puts the cut mid-character): the partial first line is dropped and no
    // replacement character appears.
    QByteArray cut;
    for (int i = 0; i < 70000; ++i)
        cut += "前";
    cut += "\nlast 最后一行\n";
    ASSERT_NE((cut.size() - DiagnosticExporter::kLogTailBytes) % 3, 0);
    writeFile(linkFile(PluginIPC::kPluginLogFile), cut);
    const QString report = build();
    EXPECT_EQ(section(report, heading), QStringLiteral("last 最后一行"));
    EXPECT_FALSE(report.contains(QChar::ReplacementCharacter));
}

TEST_F(Report, PlantedTokenNeverAppears)
{
    const QString token = QStringLiteral("tok_Secret123");
    writeFile(linkFile(PluginIPC::kPluginLogFile), "auth Bearer tok_Secret123 sent\n");
    writeFile(linkFile(PluginIPC::kStateFile), "seq=1\nmeta_song=tok_Secret123\n");
    DiagnosticExporter::Sources s = sources();
    s.secrets = {token};
    const QString report = build(nullptr, s);
    EXPECT_FALSE(report.contains(token));
    EXPECT_TRUE(report.contains(QStringLiteral("auth Bearer *** sent")));
}

TEST_F(Report, ComponentsAndFamily)
{
    const QString vst3 = home.path() + QStringLiteral("/.vst3");
    QDir().mkpath(vst3);
    EXPECT_TRUE(build().contains(
        QStringLiteral("【插件安装目录列表（排查残留/旧版本）】\n（Components 目录为空或不存在）")));

    writeFile(vst3 + QStringLiteral("/Auto-Tune Pro.vst3/Contents/Resources/moduleinfo.json"),
              R"({"Name":"Auto-Tune Pro","Version":"10.3.1"})");
    writeFile(vst3 + QStringLiteral("/Graillon.vst3/Contents/Resources/moduleinfo.json"),
              R"({"Name":"Graillon 3","Version":"3.1","Factory Info":{"Vendor":"Antares-like"}})");
    writeFile(vst3 + QStringLiteral("/Melodrix.vst3/Contents/Resources/moduleinfo.json"), "{ broken");
    writeFile(vst3 + QStringLiteral("/Rigbox.vst3/Contents/x.so"), "old");
    const QString report = build();
    EXPECT_TRUE(report.contains(QStringLiteral("Auto-Tune Pro VST3 组件：已找到")));
    EXPECT_EQ(section(report, QStringLiteral("Auto-Tune 家族组件（识别）：")).section(u'\n', 0, 1),
              QStringLiteral("  Auto-Tune Pro（Auto-Tune Pro.vst3）  版本 10.3.1\n"
                             "  其他 Auto-Tune 变体（Graillon.vst3）  版本 3.1"));
    EXPECT_TRUE(report.contains(QStringLiteral("  Melodrix.vst3：已安装（版本 ?）")));
    EXPECT_TRUE(report.contains(QStringLiteral("  Rigbox.vst3（旧名）：存在（应当已被删除）")));
    EXPECT_TRUE(report.contains(QStringLiteral("Melodrix.vst3  版本?\nRigbox.vst3  版本?")));
}

TEST(ReportParts, FamilyLabelsAndHosts)
{
    EXPECT_EQ(familyLabel(QStringLiteral("Auto-Tune Pro X.vst3")), QStringLiteral("Auto-Tune Pro"));
    EXPECT_EQ(familyLabel(QStringLiteral("Auto-Tune Artist.vst3")), QStringLiteral("Auto-Tune Artist"));
    EXPECT_EQ(familyLabel(QStringLiteral("AutoTune_2026.vst3")), QStringLiteral("AutoTune 2026"));
    EXPECT_EQ(familyLabel(QStringLiteral("Auto-Tune EFX+.vst3")), QStringLiteral("Auto-Tune EFX+"));
    EXPECT_EQ(familyLabel(QStringLiteral("AutoTune Advanced.vst3")), QStringLiteral("其他 Auto-Tune 变体"));

    const QList<Process> running = {
        {QStringLiteral("python3.11"),
         QStringLiteral("/usr/bin/python3 /usr/share/carla/carla --with-appname")},
        {QStringLiteral("ardour8"), QStringLiteral("/opt/Ardour-8.4/bin/ardour8")},
        {QStringLiteral("bash"), QStringLiteral("bash -c echo reaper")},
        {QStringLiteral("musescore"), QStringLiteral("musescore")},
    };
    EXPECT_EQ(matchHosts(running), QStringList({QStringLiteral("Ardour"), QStringLiteral("Carla")}));
}
