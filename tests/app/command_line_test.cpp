#include "app/command_line.h"
#include "core/offline_mode.h"

#include <gtest/gtest.h>

namespace {
QStringList args(std::initializer_list<const char*> list)
{
    QStringList out{QStringLiteral("tonivox")};
    for (const char* a : list)
        out.append(QString::fromUtf8(a));
    return out;
}
CommandLine parse(std::initializer_list<const char*> list)
{
    return CommandLine::parse(args(list));
}
} // namespace

TEST(CommandLine, DecidesBeforeAnyDisplayExistsAndFindsOfflineSwitchesInTheirOrder)
{
    using Action = CommandLine::Action;
    EXPECT_EQ(parse({}).action, Action::run);
    EXPECT_EQ(parse({"-platform", "offscreen"}).action, Action::run);
    // Help wins wherever it stands. (The answers themselves: the launch end-to-end test.)
    EXPECT_EQ(parse({"--version", "-h"}).action, Action::help);

    const CommandLine exported = parse({"--export-diagnostics", "report.txt"});
    EXPECT_EQ(exported.action, Action::exportDiagnostics);
    EXPECT_EQ(exported.exportPath, QStringLiteral("report.txt"));
    EXPECT_EQ(parse({"--export-diagnostics"}).action, Action::invalid);

    // An offline switch keeps its own rules: file names and other switches beside it.
    const CommandLine offline = parse({"song.wav", "--help", "--keytest-v5"});
    EXPECT_EQ(offline.action, Action::offline);
    EXPECT_EQ(offline.offlineMode, OfflineMode::keytestV5);

    EXPECT_EQ(parse({"song.wav"}).action, Action::invalid);
    EXPECT_EQ(parse({"--create-accompaniment-loop", "--remove-accompaniment-loop"}).action, Action::invalid);
    EXPECT_EQ(parse({"-platform"}).problem, QStringLiteral("option -platform needs a value"));

    // The offline switches are found anywhere, in their fixed order.
    EXPECT_FALSE(detectOfflineMode(args({})).has_value());
    EXPECT_FALSE(detectOfflineMode(args({"--keytests", "-keytest", "keytest"})).has_value());
    EXPECT_EQ(detectOfflineMode(args({"a.wav", "--v5-features", "x"})), OfflineMode::v5Features);
    // The search order decides, not the position in the list.
    EXPECT_EQ(detectOfflineMode(args({"--v5-features", "--keytest-v5", "--keytest"})), OfflineMode::keytest);
    EXPECT_EQ(detectOfflineMode(args({"--v5-resampled-dump", "--v5-pcm-dump"})), OfflineMode::v5PcmDump);
    EXPECT_EQ(detectOfflineMode(args({"--v5-cqt-dump", "--v5-features"})), OfflineMode::v5CqtDump);
    EXPECT_EQ(detectOfflineMode(args({"--keytest-v5"})), OfflineMode::keytestV5);
    EXPECT_EQ(detectOfflineMode(args({"--v5-resampled-dump"})), OfflineMode::v5ResampledDump);
}
