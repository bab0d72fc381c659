#include "core/app_state.h"
#include "diagnostics/diagnostic_exporter.h"
#include "diagnostics/diagnostic_report.h"
#include "platform/audio_component_lookup.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "support/temp_home.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace diagnostic_report;

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

// A temporary home with a link directory, a VST3 folder and no running hosts or crashes.
class Report : public ::testing::Test {
protected:
    QString build(const AutoTuneSyncer* syncer = nullptr, const QStringList& secrets = {})
    {
        DiagnosticExporter::Sources s;
        s.home = home.path();
        s.linkDir = home.linkDir();
        s.vst3Folders = {vst3};
        s.componentsDir = vst3;
        s.procRoot = home.path() + u("/no-proc");
        s.coredumpctl.clear();
        s.secrets = secrets;
        return DiagnosticExporter::buildText(state, syncer, s);
    }
    static QString section(const QString& report, const QString& heading)
    {
        const qsizetype start = report.indexOf(heading);
        EXPECT_GE(start, 0) << heading.toStdString();
        const qsizetype end = report.indexOf(u("\n\n【"), start);
        return report.mid(start + heading.size() + 1, end - start - heading.size() - 1);
    }
    QString linkFile(const char* name) const
    {
        return home.linkDir() + QLatin1Char('/') + QLatin1String(name);
    }

    TempHome home;
    AppState state{home.settings()};
    const QString vst3 = home.path() + u("/.vst3");
};

// The whole report of an empty home against the golden file, with what changes from machine
// to machine and minute to minute masked.
TEST_F(Report, EmptyHomeMatchesTheGoldenFile)
{
    QFile golden(QStringLiteral(TONIVOX_TEST_DATA "/empty_home_report.txt"));
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
    QString got = build().replace(home.path(), u("~"));
    const std::pair<const char*, const char*> masks[] = {
        {"\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d", "<now>"},
        {"(?m)^App 版本：.*$", "App 版本：<version>"},
        {"(?m)^系统：.*$", "系统：<system>"},
        {"(?m)^架构：.*（原生）$", "架构：<arch>（原生）"},
    };
    for (const auto& [pattern, replacement] : masks)
        got.replace(QRegularExpression(u(pattern)), u(replacement));
    EXPECT_EQ(got.toStdString(), golden.readAll().toStdString());
}

TEST_F(Report, HeartbeatLineFollowsTheSyncerAndItsStateFile)
{
    const QString absent = u("App 同步心跳：消息（从悬浮面板生成，未带同步器）");
    AutoTuneSyncer syncer(std::make_shared<platform::Vst3ComponentLookup>(QStringList{}));
    syncer.setKeyScale(5, 1); // writes the state file now
    const QString fresh = build(&syncer);
    EXPECT_TRUE(fresh.contains(u("App 同步心跳：正常（状态文件 8 秒内更新）")));
    EXPECT_TRUE(fresh.contains(u("key=5.0000")));
    EXPECT_TRUE(fresh.contains(u("IPC 状态文件：存在（修改于 ")));
    ASSERT_TRUE(setAge(PluginIPC::file(), 8.0));
    EXPECT_TRUE(build(&syncer).contains(absent));
}

// Also: a secret planted in the log and the state file never appears.
TEST_F(Report, PluginLogTailIsItsLastHundredWholeLinesWithoutSecrets)
{
    const QString heading = u("【rigbox_debug.log 最近 100 行】");
    QByteArray many;
    for (int i = 1; i <= 5000; ++i)
        many += "line " + QByteArray::number(i) + '\n';
    writeFile(linkFile(PluginIPC::kPluginLogFile), many);
    const QStringList lines = section(build(), heading).split(u'\n');
    ASSERT_EQ(lines.size(), 100);
    EXPECT_EQ(lines.first(), u("line 4901"));
    EXPECT_EQ(lines.last(), u("line 5000"));

    // A tail that begins inside a three-byte character: the partial first line is dropped
    // and no replacement character appears.
    QByteArray cut = QString(70000, QChar(0x524d)).toUtf8() + "\nlast 最后一行\n";
    ASSERT_NE((cut.size() - DiagnosticExporter::kLogTailBytes) % 3, 0);
    writeFile(linkFile(PluginIPC::kPluginLogFile), cut);
    const QString report = build();
    EXPECT_EQ(section(report, heading), u("last 最后一行"));
    EXPECT_FALSE(report.contains(QChar::ReplacementCharacter));

    writeFile(linkFile(PluginIPC::kPluginLogFile), "auth Bearer tok_Secret123 sent\n");
    writeFile(linkFile(PluginIPC::kStateFile), "seq=1\nmeta_song=tok_Secret123\n");
    const QString masked = build(nullptr, {u("tok_Secret123")});
    EXPECT_FALSE(masked.contains(u("tok_Secret123")));
    EXPECT_TRUE(masked.contains(u("auth Bearer *** sent")));
}

TEST_F(Report, ComponentsAndFamily)
{
    const auto bundle = [&](const char* name, const QByteArray& info) {
        writeFile(vst3 + u(name) + u(".vst3/Contents/Resources/moduleinfo.json"), info);
    };
    bundle("/Auto-Tune Pro", R"({"Name":"Auto-Tune Pro","Version":"10.3.1"})");
    bundle("/Graillon", R"({"Name":"Graillon 3","Version":"3.1","Factory Info":{"Vendor":"Antares-like"}})");
    bundle("/Melodrix", "{ broken");
    writeFile(vst3 + u("/Rigbox.vst3/Contents/x.so"), "old");
    const QString report = build();
    EXPECT_TRUE(report.contains(u("Auto-Tune Pro VST3 组件：已找到")));
    EXPECT_EQ(section(report, u("Auto-Tune 家族组件（识别）：")).section(u'\n', 0, 1),
              u("  Auto-Tune Pro（Auto-Tune Pro.vst3）  版本 10.3.1\n"
                "  其他 Auto-Tune 变体（Graillon.vst3）  版本 3.1"));
    EXPECT_TRUE(report.contains(u("  Melodrix.vst3：已安装（版本 ?）")));
    EXPECT_TRUE(report.contains(u("  Rigbox.vst3（旧名）：存在（应当已被删除）")));
    EXPECT_TRUE(report.contains(u("Melodrix.vst3  版本?\nRigbox.vst3  版本?")));
}

TEST(ReportParts, FamilyLabelsAndHosts)
{
    const std::pair<const char*, const char*> labels[] = {{"Auto-Tune Artist.vst3", "Auto-Tune Artist"},
                                                          {"AutoTune_2026.vst3", "AutoTune 2026"},
                                                          {"Auto-Tune EFX+.vst3", "Auto-Tune EFX+"}};
    for (const auto& [bundle, label] : labels)
        EXPECT_EQ(familyLabel(u(bundle)), u(label)) << bundle;

    const QList<Process> running = {
        {u("python3.11"), u("/usr/bin/python3 /usr/share/carla/carla --with-appname")},
        {u("ardour8"), u("/opt/Ardour-8.4/bin/ardour8")},
        {u("bash"), u("bash -c echo reaper")},
        {u("musescore"), u("musescore")},
    };
    EXPECT_EQ(matchHosts(running), QStringList({u("Ardour"), u("Carla")}));
}

} // namespace
