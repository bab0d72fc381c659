#include "platform/audio_component_lookup.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_ipc.h"
#include "support/comma_locale.h"
#include "support/temp_home.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace {

const QString kPro = QStringLiteral("Auto-Tune Pro");
const QString kArtist = QStringLiteral("Auto-Tune Artist");

// What the substitute tool does on its n-th run for a subtype: an exit code, or "hang".
struct Step {
    Step(int code, QByteArray out = {}) : exitCode(code), output(std::move(out)) {}
    static Step hanging()
    {
        Step s(0);
        s.hang = true;
        return s;
    }
    int exitCode;
    QByteArray output;
    bool hang = false;
};

// A machine with some Auto-Tune variants installed (VST3 bundles in a folder of its own),
// a substitute `keycheck` that follows a script per subtype and records every call, and a
// plug-in link directory.
class Machine {
public:
    explicit Machine(const QStringList& installed, std::map<QString, std::vector<Step>> script)
    {
        for (const QString& name : installed)
            QDir().mkpath(vst3Dir() + QLatin1Char('/') + name + QStringLiteral(".vst3/Contents"));
        QDir().mkpath(linkDir());

        QByteArray body = "#!/bin/sh\nD='" + m_dir.path().toUtf8() +
                          "'\n{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo; } >> \"$D/calls\"\n"
                          "n=$(grep -c \"^\\[run\\]\\[[^]]*\\]\\[$3\\]\" \"$D/calls\")\ncase \"$3:$n\" in\n";
        for (const auto& [subtype, steps] : script) {
            for (size_t i = 0; i < steps.size(); ++i) {
                const Step& s = steps[i];
                body += subtype.toUtf8() + ':' + QByteArray::number(qulonglong(i + 1)) + ") ";
                if (s.hang)
                    body += "exec sleep 1000;;\n";
                else {
                    QFile out(m_dir.filePath(QStringLiteral("out.%1.%2").arg(subtype).arg(i + 1)));
                    out.open(QIODevice::WriteOnly);
                    out.write(s.output);
                    out.close();
                    body += "cat \"" + out.fileName().toUtf8() + "\"; exit " +
                            QByteArray::number(s.exitCode) + ";;\n";
                }
            }
        }
        body += "esac\nexit 0\n";
        QFile tool(toolPath());
        tool.open(QIODevice::WriteOnly);
        tool.write(body);
        tool.close();
        tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString vst3Dir() const { return m_dir.filePath(QStringLiteral("vst3")); }
    QString linkDir() const { return m_dir.filePath(QStringLiteral("link")); }
    QString toolPath() const { return m_dir.filePath(QStringLiteral("keycheck")); }
    QString linkFile(const char* name) const { return linkDir() + QLatin1Char('/') + QLatin1String(name); }

    KeyLinkCheck::Config config(std::chrono::milliseconds limit = std::chrono::seconds(30)) const
    {
        KeyLinkCheck::Config c;
        c.tool = toolPath();
        c.lookup = std::make_shared<platform::Vst3ComponentLookup>(QStringList{vst3Dir()});
        c.linkDir = linkDir();
        c.limits.timeLimit = limit;
        c.limits.termGrace = std::chrono::milliseconds(200);
        return c;
    }

    // The recorded calls, one "[arg][arg]..." line each.
    QStringList calls() const
    {
        return QString::fromUtf8(readAll(m_dir.filePath(QStringLiteral("calls"))))
            .split(u'\n', Qt::SkipEmptyParts);
    }
    // The log's texts without their date and time stamps.
    QStringList logTexts() const
    {
        QStringList texts;
        const QString log = QString::fromUtf8(readAll(linkFile(PluginIPC::kKeyLinkCheckLogFile)));
        for (const QString& line : log.split(u'\n', Qt::SkipEmptyParts))
            texts.append(line.section(QRegularExpression(QStringLiteral("^.*?\\d\\d:\\d\\d:\\d\\d ")), 1));
        return texts;
    }

private:
    QTemporaryDir m_dir;
};

QString joined(const QStringList& lines)
{
    return lines.join(u'\n');
}

} // namespace

TEST(KeyLinkCheck, OnlyProInstalledAndPassingDeletesThePreference)
{
    Machine machine({kPro}, {{QStringLiteral("AT81"), {{0}}}});
    writeFile(machine.linkFile(PluginIPC::kPreferVariantFile), "Auto-Tune Artist");
    KeyLinkCheck check(machine.config());

    EXPECT_EQ(check.selectAndVerify(), std::nullopt);
    EXPECT_FALSE(QFile::exists(machine.linkFile(PluginIPC::kPreferVariantFile)));
    EXPECT_EQ(machine.logTexts(),
              QStringList({QStringLiteral("联动自检：本机装了 Auto-Tune Pro；按顺序验 Auto-Tune Pro"),
                           QStringLiteral("联动自检：Auto-Tune Pro ✅ 调式生效")}));
    EXPECT_EQ(machine.calls().size(), 1);
}

TEST(KeyLinkCheck, ProWrongTwiceThenArtistPassingSwitchesToArtist)
{
    Machine machine({kPro, kArtist}, {{QStringLiteral("AT81"), {{1, "C statt Bb\n"}, {1, "C statt Bb\n"}}},
                                      {QStringLiteral("ATxL"), {{0}}}});
    KeyLinkCheck check(machine.config());

    const auto warning = check.selectAndVerify();
    ASSERT_TRUE(warning);
    EXPECT_EQ(*warning, QStringLiteral("排在前面的 Auto-Tune 这台电脑上不好用，已自动改用 Auto-Tune "
                                       "Artist（把插件删掉重插一次即可生效）"));
    EXPECT_EQ(readAll(machine.linkFile(PluginIPC::kPreferVariantFile)), QByteArray("Auto-Tune Artist"));
    const QStringList log = machine.logTexts();
    EXPECT_EQ(
        log,
        QStringList(
            {QStringLiteral("联动自检：本机装了 Auto-Tune Pro、Auto-Tune Artist；按顺序验 Auto-Tune "
                            "Pro → Auto-Tune Artist"),
             QStringLiteral("联动自检：Auto-Tune Pro 第 1 次不对，再测一次…"),
             QStringLiteral("联动自检：Auto-Tune Pro 判定为不好用（连续两次都测到有效音频、结果都不对）"),
             // the detail, one line in the log
             QStringLiteral("C statt Bb "), QStringLiteral("联动自检：Auto-Tune Artist ✅ 调式生效")}))
        << joined(log).toStdString();
}

TEST(KeyLinkCheck, EveryVariantWrongLeavesThePreferenceAndSaysSo)
{
    Machine machine({kPro, kArtist},
                    {{QStringLiteral("AT81"), {{1}, {1}}}, {QStringLiteral("ATxL"), {{1}, {1}}}});
    writeFile(machine.linkFile(PluginIPC::kPreferVariantFile), "Auto-Tune Pro\n");
    KeyLinkCheck check(machine.config());
    EXPECT_EQ(check.selectAndVerify(),
              QStringLiteral("本机装的 Auto-Tune 都测不过（Auto-Tune Pro、Auto-Tune Artist），请联系我们"));
    EXPECT_EQ(readAll(machine.linkFile(PluginIPC::kPreferVariantFile)), QByteArray("Auto-Tune Pro\n"));
}

TEST(KeyLinkCheck, NoValidAudioTwiceStopsWithoutAConclusion)
{
    Machine machine({kPro, kArtist}, {{QStringLiteral("AT81"), {{2, "silence"}, {2, "silence"}}}});
    writeFile(machine.linkFile(PluginIPC::kPreferVariantFile), "Auto-Tune Pro");
    KeyLinkCheck check(machine.config());

    EXPECT_EQ(check.selectAndVerify(), std::nullopt);
    EXPECT_EQ(readAll(machine.linkFile(PluginIPC::kPreferVariantFile)), QByteArray("Auto-Tune Pro"));
    EXPECT_EQ(machine.calls().size(), 2) << "Artist is never run";
    const QStringList log = machine.logTexts();
    EXPECT_TRUE(
        log.contains(QStringLiteral("联动自检：Auto-Tune Pro 第 1 次没测到有效音频（退出码 2），再测一次…")));
    EXPECT_TRUE(
        log.contains(QStringLiteral("联动自检：Auto-Tune Pro 本次没测到有效音频，不下结论（不是故障）")));
    EXPECT_TRUE(log.contains(QStringLiteral("退出码 2 silence"))) << joined(log).toStdString();
}

TEST(KeyLinkCheck, TestOrderFollowsTheInUseVariantThenThePreference)
{
    Machine machine({kPro, kArtist, QStringLiteral("Auto-Tune EFX+")}, {});
    KeyLinkCheck check(machine.config());

    // A fresh alive file naming Artist puts Artist first, before a stored preference.
    writeFile(machine.linkFile(PluginIPC::kAliveFile), "variant= Auto-Tune Artist \nvariant=Auto-Tune Pro\n");
    writeFile(machine.linkFile(PluginIPC::kPreferVariantFile), "Auto-Tune EFX+");
    EXPECT_EQ(check.inUseVariantName(), kArtist);
    EXPECT_EQ(check.selectAndVerify(), std::nullopt);
    EXPECT_TRUE(machine.calls().value(0).contains(QStringLiteral("[ATxL]")));
    EXPECT_TRUE(machine.logTexts().value(0).endsWith(
        QStringLiteral("按顺序验 Auto-Tune Artist → Auto-Tune Pro → Auto-Tune EFX+")));
    // Artist passed first: the preference is cleared.
    EXPECT_FALSE(QFile::exists(machine.linkFile(PluginIPC::kPreferVariantFile)));

    // A stale alive file does not count; the preference does.
    writeFile(machine.linkFile(PluginIPC::kPreferVariantFile), "Auto-Tune EFX+");
    setAge(machine.linkFile(PluginIPC::kAliveFile), 8.0);
    EXPECT_EQ(check.inUseVariantName(), std::nullopt);
    EXPECT_EQ(check.selectAndVerify(), std::nullopt);
    EXPECT_TRUE(machine.calls().value(1).contains(QStringLiteral("[Vefx]")));
}

TEST(KeyLinkCheck, HangingToolIsEndedRetriedOnceAndConcludesNothing)
{
    Machine machine({kPro, kArtist}, {{QStringLiteral("AT81"), {Step::hanging(), Step::hanging()}}});
    KeyLinkCheck check(machine.config(std::chrono::milliseconds(300)));
    EXPECT_EQ(check.selectAndVerify(), std::nullopt);
    EXPECT_EQ(machine.calls().size(), 2);
    const QStringList log = machine.logTexts();
    EXPECT_TRUE(log.contains(QStringLiteral("联动自检：Auto-Tune Pro 第 1 次没跑起来（超时），再试一次…")));
    EXPECT_EQ(log.last(), QStringLiteral("超时")) << joined(log).toStdString();
    EXPECT_FALSE(QFile::exists(machine.linkFile(PluginIPC::kPreferVariantFile)));
}

// A talkative tool is drained while it runs (a 1 MB answer, no deadlock); output that is
// not UTF-8 is an empty detail, so no detail line is logged.
TEST(KeyLinkCheck, LargeAndNonUtf8Outputs)
{
    Machine machine({kPro, kArtist},
                    {{QStringLiteral("AT81"), {{1, QByteArray(1 << 20, 'x')}, {1, QByteArray(1 << 20, 'x')}}},
                     {QStringLiteral("ATxL"), {{1, "\xff\xfe bad"}, {1, "\xff\xfe bad"}}}});
    KeyLinkCheck check(machine.config());
    EXPECT_TRUE(check.selectAndVerify().value_or(QString()).startsWith(
        QStringLiteral("本机装的 Auto-Tune 都测不过")));
    const QStringList log = machine.logTexts();
    const qsizetype artistWrong = log.indexOf(
        QStringLiteral("联动自检：Auto-Tune Artist 判定为不好用（连续两次都测到有效音频、结果都不对）"));
    ASSERT_GE(artistWrong, 0);
    EXPECT_EQ(artistWrong, log.size() - 1) << "no detail line after it";
    // The Pro detail is the bounded tail of the output.
    const QString proDetail = log.value(3);
    EXPECT_GT(proDetail.size(), 1000);
    EXPECT_LE(proDetail.size(), platform::ToolLimits{}.maxOutputBytes);
}

TEST(KeyLinkCheck, SkipsWithoutToolOrAutoTune)
{
    Machine machine({}, {});
    KeyLinkCheck::Config config = machine.config();
    KeyLinkCheck noAutoTune(config);
    EXPECT_EQ(noAutoTune.selectAndVerify(), std::nullopt);
    config.tool.reset();
    KeyLinkCheck noTool(config);
    EXPECT_EQ(noTool.selectAndVerify(), std::nullopt);
    EXPECT_EQ(machine.logTexts(), QStringList({QStringLiteral("联动自检：本机没装 Auto-Tune，跳过"),
                                               QStringLiteral("联动自检：App 里没带 keycheck 工具，跳过")}));
    EXPECT_TRUE(machine.calls().isEmpty());
}

// The tool sees exactly the documented arguments, numbers with a point in any locale.
TEST_F(CommaLocale, KeyCheckArgumentsKeepTheirPoint)
{
    Machine machine({kPro, kArtist}, {{QStringLiteral("AT81"), {{1}, {1}}}, {QStringLiteral("ATxL"), {{0}}}});
    KeyLinkCheck check(machine.config());
    check.selectAndVerify();
    const QStringList calls = machine.calls();
    ASSERT_EQ(calls.size(), 3);
    EXPECT_EQ(calls[0], QStringLiteral("[run][aumf][AT81][VST ][2][0.00000000][0.90909091][162][0.00000000]"
                                       "[0.07142857][0.14285714]"));
    EXPECT_EQ(calls[2], QStringLiteral("[run][aumf][ATxL][VST ][1][0.00000000][0.90909091][2][0.07142857]"
                                       "[0.00000000][0.03571429][8:0]"));
}

// The check runs on its own thread; the warning comes back on the main thread, and the
// log ends with the conclusion.
TEST(KeyLinkCheck, CheckAndPublishPublishesOnTheMainThread)
{
    Machine machine({kPro, kArtist}, {{QStringLiteral("AT81"), {{1}, {1}}}, {QStringLiteral("ATxL"), {{0}}}});
    KeyLinkCheck check(machine.config());
    std::optional<std::optional<QString>> published;
    bool onMainThread = false;
    check.checkAndPublish([&](std::optional<QString> warning) {
        onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        published = warning;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return published.has_value(); }, 30'000));
    EXPECT_TRUE(onMainThread);
    ASSERT_TRUE(published->has_value());
    EXPECT_TRUE(published->value().contains(kArtist));
    EXPECT_EQ(machine.logTexts().last(), QStringLiteral("结论：") + published->value());
}

// Destroying the check while the tool hangs ends the tool and returns promptly; nothing is
// published afterwards.
TEST(KeyLinkCheck, DestroyingARunningCheckEndsTheTool)
{
    Machine machine({kPro}, {{QStringLiteral("AT81"), {Step::hanging(), Step::hanging()}}});
    bool published = false;
    {
        KeyLinkCheck check(machine.config(std::chrono::minutes(10)));
        check.checkAndPublish([&](std::optional<QString>) { published = true; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return !machine.calls().isEmpty(); }, 10'000));
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(published);
    EXPECT_EQ(machine.calls().size(), 1) << "no retry after the stop";
}
