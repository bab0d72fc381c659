#include "platform/audio_component_lookup.h"
#include "pluginlink/key_link_check.h"
#include "pluginlink/plugin_ipc.h"
#include "support/comma_locale.h"
#include "support/temp_home.h"
#include "support/text.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <map>

namespace {

const QString kPro = QStringLiteral("Auto-Tune Pro");
const QString kArtist = QStringLiteral("Auto-Tune Artist");

// What the substitute tool does on its n-th run for a subtype: exit with a code after
// printing the output, or hang (code kHang).
constexpr int kHang = -1;
struct Step {
    int exitCode;
    QByteArray output = {};
};
using Script = std::map<QString, std::vector<Step>>;

// A machine with some Auto-Tune variants installed (VST3 bundles in a folder of its own),
// a substitute `keycheck` that follows a script per subtype and records every call, and a
// plug-in link directory.
class Machine {
public:
    Machine(const QStringList& installed, const Script& script)
    {
        for (const QString& name : installed)
            QDir().mkpath(m_dir.filePath(QStringLiteral("vst3/") + name + QStringLiteral(".vst3/Contents")));
        QDir().mkpath(m_dir.filePath(QStringLiteral("link")));
        QByteArray body = "#!/bin/sh\nD='" + m_dir.path().toUtf8() +
                          "'\n{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo; } >> \"$D/calls\"\n"
                          "n=$(grep -c \"^\\[run\\]\\[[^]]*\\]\\[$3\\]\" \"$D/calls\")\ncase \"$3:$n\" in\n";
        for (const auto& [subtype, steps] : script) {
            for (size_t i = 0; i < steps.size(); ++i) {
                const QString out = m_dir.filePath(QStringLiteral("out.%1.%2").arg(subtype).arg(i + 1));
                writeFile(out, steps[i].output);
                body += subtype.toUtf8() + ':' + QByteArray::number(qulonglong(i + 1)) + ") " +
                        (steps[i].exitCode == kHang ? QByteArray("exec sleep 1000;;\n")
                                                    : "cat \"" + out.toUtf8() + "\"; exit " +
                                                          QByteArray::number(steps[i].exitCode) + ";;\n");
            }
        }
        writeFile(toolPath(), body + "esac\nexit 0\n");
        QFile::setPermissions(toolPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString toolPath() const { return m_dir.filePath(QStringLiteral("keycheck")); }
    QString linkFile(const char* name) const { return m_dir.filePath(QStringLiteral("link/")) + name; }

    KeyLinkCheck::Config config(std::chrono::milliseconds limit = std::chrono::seconds(30)) const
    {
        KeyLinkCheck::Config c;
        c.tool = toolPath();
        c.lookup = std::make_shared<platform::Vst3ComponentLookup>(QStringList{m_dir.filePath("vst3")});
        c.linkDir = m_dir.filePath(QStringLiteral("link"));
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
    std::optional<QByteArray> preference() const
    {
        return QFile::exists(linkFile(PluginIPC::kPreferVariantFile))
                   ? std::optional(readAll(linkFile(PluginIPC::kPreferVariantFile)))
                   : std::nullopt;
    }

private:
    QTemporaryDir m_dir;
};

} // namespace

// The variants in test order, two attempts each: what the preference becomes, what the
// user is told and what the log says.
TEST(KeyLinkCheck, SelectAndVerify)
{
    const QByteArray mb(1 << 20, 'x');
    const auto p = [](const char* text) { return u("联动自检：") + u(text); };
    struct Case {
        const char* name;
        QStringList installed;
        Script script;
        std::optional<QByteArray> preferenceBefore, preferenceAfter;
        int calls;
        std::optional<QString> warning;
        QStringList log; // lines the log must hold
        std::chrono::milliseconds limit = std::chrono::seconds(30);
        bool tool = true;
    };
    // clang-format off
    const Case cases[] = {
        {"no Auto-Tune: skipped", {}, {}, {}, {}, 0, {}, {p("本机没装 Auto-Tune，跳过")}},
        {"no tool: skipped", {kPro}, {}, {}, {}, 0, {}, {p("App 里没带 keycheck 工具，跳过")}, std::chrono::seconds(30), false},
        {"the first passes: the preference goes", {kPro}, {{"AT81", {{0}}}}, "Auto-Tune Artist", {}, 1, {},
         {p("本机装了 Auto-Tune Pro；按顺序验 Auto-Tune Pro"), p("Auto-Tune Pro ✅ 调式生效")}},
        {"Pro wrong twice, Artist passes", {kPro, kArtist},
         {{"AT81", {{1, "C statt Bb\n"}, {1, "C statt Bb\n"}}}, {"ATxL", {{0}}}}, {}, "Auto-Tune Artist", 3,
         u("排在前面的 Auto-Tune 这台电脑上不好用，已自动改用 Auto-Tune Artist（把插件删掉重插一次即可生效）"),
         {p("Auto-Tune Pro 第 1 次不对，再测一次…"),
          p("Auto-Tune Pro 判定为不好用（连续两次都测到有效音频、结果都不对）"), u("C statt Bb ")}},
        {"no valid audio twice: no conclusion, Artist never runs", {kPro, kArtist},
         {{"AT81", {{2, "silence"}, {2, "silence"}}}}, "Auto-Tune Pro", "Auto-Tune Pro", 2, {},
         {p("Auto-Tune Pro 第 1 次没测到有效音频（退出码 2），再测一次…"),
          p("Auto-Tune Pro 本次没测到有效音频，不下结论（不是故障）"), u("退出码 2 silence")}},
        {"a hanging tool is ended and retried once", {kPro, kArtist}, {{"AT81", {{kHang}, {kHang}}}}, {}, {}, 2, {},
         {p("Auto-Tune Pro 第 1 次没跑起来（超时），再试一次…"), u("超时")}, std::chrono::milliseconds(300)},
        // A talkative tool is drained while it runs; output that is not UTF-8 logs no detail.
        {"every variant wrong, with 1 MB of output and output not in UTF-8", {kPro, kArtist},
         {{"AT81", {{1, mb}, {1, mb}}}, {"ATxL", {{1, "\xff\xfe bad"}, {1, "\xff\xfe bad"}}}},
         "Auto-Tune Pro\n", "Auto-Tune Pro\n", 4,
         u("本机装的 Auto-Tune 都测不过（Auto-Tune Pro、Auto-Tune Artist），请联系我们"), {}},
    };
    // clang-format on
    QStringList log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine(c.installed, c.script);
        if (c.preferenceBefore)
            writeFile(machine.linkFile(PluginIPC::kPreferVariantFile), *c.preferenceBefore);
        KeyLinkCheck::Config config = machine.config(c.limit);
        if (!c.tool)
            config.tool.reset();
        EXPECT_EQ(KeyLinkCheck(config).selectAndVerify(), c.warning);
        EXPECT_EQ(machine.preference(), c.preferenceAfter);
        EXPECT_EQ(machine.calls().size(), c.calls);
        log = machine.logTexts();
        for (const QString& line : c.log)
            EXPECT_TRUE(log.contains(line)) << line.toStdString();
    }
    // The last case: the Pro detail is the bounded tail of its output; Artist's has none.
    EXPECT_TRUE(log.last().startsWith(p("Auto-Tune Artist 判定为不好用")));
    EXPECT_GT(log.value(3).size(), 1000);
    EXPECT_LE(log.value(3).size(), platform::ToolLimits{}.maxOutputBytes);
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
        u("按顺序验 Auto-Tune Artist → Auto-Tune Pro → Auto-Tune EFX+")));
    EXPECT_EQ(machine.preference(), std::nullopt);

    // A stale alive file does not count; the preference does.
    writeFile(machine.linkFile(PluginIPC::kPreferVariantFile), "Auto-Tune EFX+");
    setAge(machine.linkFile(PluginIPC::kAliveFile), 8.0);
    EXPECT_EQ(check.inUseVariantName(), std::nullopt);
    EXPECT_EQ(check.selectAndVerify(), std::nullopt);
    EXPECT_TRUE(machine.calls().value(1).contains(QStringLiteral("[Vefx]")));
}

// The check runs on its own thread and the tool sees exactly the documented arguments,
// numbers with a point in any locale; the warning comes back on the main thread, and the log
// ends with the conclusion.
TEST_F(CommaLocale, KeyCheckArgumentsKeepTheirPointAndTheWarningComesBackOnTheMainThread)
{
    Machine machine({kPro, kArtist}, {{"AT81", {{1}, {1}}}, {"ATxL", {{0}}}});
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
    EXPECT_EQ(machine.logTexts().last(), QStringLiteral("结论：") + published->value());
    const QStringList calls = machine.calls();
    ASSERT_EQ(calls.size(), 3);
    EXPECT_EQ(calls[0], QStringLiteral("[run][aumf][AT81][VST ][2][0.00000000][0.90909091][162][0.00000000]"
                                       "[0.07142857][0.14285714]"));
    EXPECT_EQ(calls[2], QStringLiteral("[run][aumf][ATxL][VST ][1][0.00000000][0.90909091][2][0.07142857]"
                                       "[0.00000000][0.03571429][8:0]"));
}

// Destroying the check while the tool hangs ends the tool and returns promptly; nothing is
// published afterwards.
TEST(KeyLinkCheck, DestroyingARunningCheckEndsTheTool)
{
    Machine machine({kPro}, {{"AT81", {{kHang}, {kHang}}}});
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
