#include "pluginlink/auto_tune_syncer.h"
#include "support/temp_home.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

QString backFile()
{
    return PluginIPC::path(PluginIPC::kParamsBackFile);
}
QString aliveFile()
{
    return PluginIPC::path(PluginIPC::kAliveFile);
}

// A VST3 bundle as an installer leaves it, with module info naming its class and version.
void installBundle(const QString& folder, const char* bundle, const char* className, const char* version)
{
    const QString info = QStringLiteral(R"({"Name": "%1", "Version": "%2", "Classes": [{"Name": "%1"}]})")
                             .arg(QLatin1String(className), QLatin1String(version));
    ASSERT_TRUE(writeFile(folder + QLatin1Char('/') + QLatin1String(bundle) +
                              QStringLiteral(".vst3/Contents/Resources/moduleinfo.json"),
                          info.toUtf8()));
}

} // namespace

TEST(AutoTuneSyncer, KeysWrapIntoOneOctave)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    for (const auto& [semitone, key] : {std::pair{-1, 11}, {12, 0}, {-25, 11}}) {
        syncer.setKeyScale(semitone, 2);
        EXPECT_EQ(syncer.ipc().value(QStringLiteral("key")), key) << semitone;
    }
}

TEST(AutoTuneSyncer, AppliesEachChangeSetOnceAndHonoursDiscard)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    QSignalSpy published(&syncer, &AutoTuneSyncer::hostParamsChanged);
    const auto poll = [&](const QByteArray& text) {
        ASSERT_TRUE(writeFile(backFile(), text));
        syncer.poll();
    };

    syncer.poll(); // no file: nothing arrives
    EXPECT_EQ(published.count(), 0);
    poll("seq=100\nretune=0.4\nkey=7\n");
    EXPECT_EQ(published.count(), 1);
    EXPECT_EQ(syncer.hostParams().value(QStringLiteral("retune")), 0.4);

    // Same seq with other values: not applied again.
    poll("seq=100\nretune=0.9\n");
    EXPECT_EQ(published.count(), 1);
    // A new seq without a parseable parameter is ignored and not consumed.
    poll("seq=101\nretune=x\n");
    EXPECT_EQ(syncer.hostParamsSeq(), 100);
    poll("seq=101\nretune=0.6\n");
    EXPECT_EQ(syncer.hostParamsSeq(), 101);
    EXPECT_EQ(published.count(), 2);

    // Discard takes the first seq line and empties the published map; the poller takes the
    // last seq line, so 103 counts as new.
    ASSERT_TRUE(writeFile(backFile(), "seq=102\nretune=0.1\nseq=103\n"));
    syncer.discardPendingHostParams();
    EXPECT_EQ(published.count(), 3);
    EXPECT_TRUE(syncer.hostParams().isEmpty());
    EXPECT_EQ(syncer.hostParamsSeq(), 102);
    syncer.poll();
    EXPECT_EQ(syncer.hostParamsSeq(), 103);

    // Discard of a missing file forgets the seq, so the next file applies whatever it is.
    QFile::remove(backFile());
    syncer.discardPendingHostParams();
    EXPECT_FALSE(syncer.hostParamsSeq().has_value());
    poll("seq=103\nhumanize=0.2\n");
    EXPECT_EQ(syncer.hostParamsSeq(), 103);

    // A file without a seq line never applies.
    const int before = published.count();
    poll("retune=0.3\nhumanize=0.3\n");
    EXPECT_EQ(published.count(), before);
}

TEST(AutoTuneSyncer, ConnectionFollowsTheAliveFileAge)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    QSignalSpy connectedChanges(&syncer, &AutoTuneSyncer::connectedChanged);
    const auto poll = [&](const QByteArray& text, double age = 0) {
        ASSERT_TRUE(writeFile(aliveFile(), text));
        ASSERT_TRUE(setAge(aliveFile(), age));
        syncer.poll();
    };

    poll("variant=Auto-Tune Pro\n");
    EXPECT_TRUE(syncer.connected());
    EXPECT_EQ(syncer.hostVariant(), QStringLiteral("Auto-Tune Pro"));
    // Fresh, no variant line: the variant stays as it was.
    poll("other=1\n");
    EXPECT_EQ(syncer.hostVariant(), QStringLiteral("Auto-Tune Pro"));
    // Last variant line wins; "none" surrounded by blanks is no variant.
    poll("variant=AutoTune 2026\nvariant= none \t\n");
    EXPECT_TRUE(syncer.connected());
    EXPECT_FALSE(syncer.hostVariant().has_value());
    // Ten seconds old: not connected, and the named variant is not used.
    poll("variant=Auto-Tune Artist\n", 10.0);
    EXPECT_FALSE(syncer.connected());
    EXPECT_FALSE(syncer.hostVariant().has_value());

    poll("variant=Auto-Tune Artist\n");
    EXPECT_TRUE(syncer.connected());
    QFile::remove(aliveFile());
    syncer.poll();
    syncer.poll();
    EXPECT_FALSE(syncer.connected());
    EXPECT_EQ(connectedChanges.count(), 4); // only real changes notify
}

// Every state of a change set rewritten in place (the plug-in may truncate, then write in
// pieces) is a prefix of it: whatever a poll applies is whole parameters, never a piece of a name.
TEST(AutoTuneSyncer, TornChangeSetsApplyNoPieceOfAName)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    for (const QByteArray text : {"seq=41\nretune=42\nkey=7\n", "seq=942\nkey=11\nretune=0.5\n"}) {
        for (qsizetype cut = 0; cut <= text.size(); ++cut) {
            ASSERT_TRUE(writeFile(backFile(), text.left(cut)));
            syncer.poll();
            for (const QString& name : syncer.hostParams().keys())
                EXPECT_TRUE(name == QLatin1String("retune") || name == QLatin1String("key")) << cut;
        }
    }
    EXPECT_EQ(syncer.hostParamsSeq(), 942);
}

TEST(AutoTuneSyncer, AvailabilityFromInstalledVst3Bundles)
{
    TempHome home;
    const QString user = home.path() + QStringLiteral("/.vst3");
    const QString system = home.path() + QStringLiteral("/usr-lib-vst3");
    const AutoTuneSyncer syncer(std::make_shared<platform::Vst3ComponentLookup>(QStringList{user, system}));
    const auto& units = AutoTuneSyncer::supportedUnits();
    EXPECT_FALSE(syncer.isAvailable());
    // EFX+ is not one of the units considered.
    installBundle(user, "Auto-Tune EFX+", "Auto-Tune EFX+", "10.0");
    EXPECT_FALSE(syncer.isAvailable());

    installBundle(system, "AT-Pro-Old", "Auto-Tune Pro", "9.1.0");
    installBundle(user, "Auto-Tune Pro", "Auto-Tune Pro", "10.3.1");
    EXPECT_TRUE(syncer.isAvailable());
    const auto pro = syncer.newestComponent(units[0]);
    ASSERT_TRUE(pro.has_value());
    EXPECT_EQ(pro->version, QVersionNumber(10, 3, 1));

    // Equal versions: the first enumerated wins (user folder before system folders).
    installBundle(system, "AutoTune Advanced", "x", "2.0");
    installBundle(user, "autotune_advanced", "y", "2.0");
    EXPECT_TRUE(syncer.newestComponent(units[1]).value_or(platform::AudioComponent{}).path.startsWith(user));
}
