#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_files.h"
#include "support/temp_home.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
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

double stateValue(const char* name)
{
    const auto text = plugin_files::readUtf8File(PluginIPC::file());
    for (const auto& nv : plugin_files::nameValueLines(text.value_or(QString())))
        if (nv.name == QLatin1String(name))
            return nv.value.toDouble();
    return -1;
}

// A VST3 bundle as an installer leaves it, with module info naming its class and version.
void installBundle(const QString& folder, const QString& bundle, const QString& className,
                   const QString& version)
{
    const QString info = QStringLiteral(R"({"Name": "%1", "Version": "%2", "Classes": [{"Name": "%1"}]})")
                             .arg(className, version);
    ASSERT_TRUE(
        writeFile(folder + QLatin1Char('/') + bundle + QStringLiteral("/Contents/Resources/moduleinfo.json"),
                  info.toUtf8()));
}

} // namespace

TEST(AutoTuneSyncer, KeyScalePushesNormalisedValues)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    syncer.setKeyScale(-1, 2);
    EXPECT_DOUBLE_EQ(syncer.ipc().value(QStringLiteral("key")), 11.0);
    EXPECT_DOUBLE_EQ(syncer.ipc().value(QStringLiteral("2")), 1.0);
    EXPECT_DOUBLE_EQ(syncer.ipc().value(QStringLiteral("scale")), 2.0);
    EXPECT_DOUBLE_EQ(syncer.ipc().value(QStringLiteral("1")), static_cast<double>(2.0f / 14.0f));
    EXPECT_TRUE(readAll(PluginIPC::file()).contains("\n1=0.1429\n"));

    syncer.setKeyScale(12, 1);
    EXPECT_DOUBLE_EQ(syncer.ipc().value(QStringLiteral("key")), 0.0);
    EXPECT_DOUBLE_EQ(syncer.ipc().value(QStringLiteral("2")), 0.0);
    EXPECT_DOUBLE_EQ(stateValue("scale"), 1.0);

    syncer.setKeyScale(-25, 0);
    EXPECT_DOUBLE_EQ(stateValue("key"), 11.0);
}

TEST(AutoTuneSyncer, AppliesEachChangeSetOnceAndHonoursDiscard)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    QSignalSpy published(&syncer, &AutoTuneSyncer::hostParamsChanged);

    syncer.poll(); // no file: nothing arrives
    EXPECT_EQ(published.count(), 0);

    ASSERT_TRUE(writeFile(backFile(), "seq=100\nretune=0.4\nkey=7\n"));
    syncer.poll();
    EXPECT_EQ(published.count(), 1);
    EXPECT_EQ(syncer.hostParamsSeq(), 100);
    EXPECT_DOUBLE_EQ(syncer.hostParams().value(QStringLiteral("retune")), 0.4);

    // Same seq with other values: not applied again.
    ASSERT_TRUE(writeFile(backFile(), "seq=100\nretune=0.9\n"));
    syncer.poll();
    EXPECT_EQ(published.count(), 1);
    EXPECT_DOUBLE_EQ(syncer.hostParams().value(QStringLiteral("retune")), 0.4);

    // A new seq without a parseable parameter is ignored and not consumed.
    ASSERT_TRUE(writeFile(backFile(), "seq=101\nretune=x\n"));
    syncer.poll();
    EXPECT_EQ(syncer.hostParamsSeq(), 100);
    ASSERT_TRUE(writeFile(backFile(), "seq=101\nretune=0.6\n"));
    syncer.poll();
    EXPECT_EQ(syncer.hostParamsSeq(), 101);
    EXPECT_EQ(published.count(), 2);

    // Discard takes the first seq line and empties the published map.
    ASSERT_TRUE(writeFile(backFile(), "seq=102\nretune=0.1\nseq=103\n"));
    syncer.discardPendingHostParams();
    EXPECT_EQ(published.count(), 3);
    EXPECT_TRUE(syncer.hostParams().isEmpty());
    EXPECT_EQ(syncer.hostParamsSeq(), 102);
    // The poller takes the last seq line, so 103 counts as new.
    syncer.poll();
    EXPECT_EQ(syncer.hostParamsSeq(), 103);
    EXPECT_DOUBLE_EQ(syncer.hostParams().value(QStringLiteral("retune")), 0.1);

    // Discard of a missing file forgets the seq, so the next file applies whatever it is.
    QFile::remove(backFile());
    syncer.discardPendingHostParams();
    EXPECT_FALSE(syncer.hostParamsSeq().has_value());
    ASSERT_TRUE(writeFile(backFile(), "seq=103\nhumanize=0.2\n"));
    syncer.poll();
    EXPECT_EQ(syncer.hostParamsSeq(), 103);

    // A file without a seq line never applies.
    ASSERT_TRUE(writeFile(backFile(), "retune=0.3\nhumanize=0.3\n"));
    const int before = published.count();
    syncer.poll();
    EXPECT_EQ(published.count(), before);
}

TEST(AutoTuneSyncer, ConnectionFollowsTheAliveFileAge)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    QSignalSpy connectedChanges(&syncer, &AutoTuneSyncer::connectedChanged);

    ASSERT_TRUE(writeFile(aliveFile(), "variant=Auto-Tune Pro\n"));
    syncer.poll();
    EXPECT_TRUE(syncer.connected());
    EXPECT_EQ(syncer.hostVariant(), QStringLiteral("Auto-Tune Pro"));

    // Fresh, no variant line: the variant stays as it was.
    ASSERT_TRUE(writeFile(aliveFile(), "other=1\n"));
    syncer.poll();
    EXPECT_EQ(syncer.hostVariant(), QStringLiteral("Auto-Tune Pro"));

    // Last variant line wins; "none" surrounded by blanks is no variant.
    ASSERT_TRUE(writeFile(aliveFile(), "variant=AutoTune 2026\nvariant= none \t\n"));
    syncer.poll();
    EXPECT_TRUE(syncer.connected());
    EXPECT_FALSE(syncer.hostVariant().has_value());

    // Ten seconds old: not connected, and the named variant is not used.
    ASSERT_TRUE(writeFile(aliveFile(), "variant=Auto-Tune Artist\n"));
    ASSERT_TRUE(setAge(aliveFile(), 10.0));
    syncer.poll();
    EXPECT_FALSE(syncer.connected());
    EXPECT_FALSE(syncer.hostVariant().has_value());

    // Missing file: not connected.
    ASSERT_TRUE(writeFile(aliveFile(), "variant=Auto-Tune Artist\n"));
    syncer.poll();
    EXPECT_TRUE(syncer.connected());
    QFile::remove(aliveFile());
    syncer.poll();
    syncer.poll();
    EXPECT_FALSE(syncer.connected());
    EXPECT_EQ(connectedChanges.count(), 4); // only real changes notify
}

TEST(AutoTuneSyncer, HeartbeatKeepsTheStateFileFresh)
{
    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    EXPECT_FALSE(syncer.ipcFresh());
    ASSERT_TRUE(QTest::qWaitFor([] { return QFile::exists(PluginIPC::file()); }, 4000));
    EXPECT_TRUE(syncer.ipcFresh());
    const QByteArray first = readAll(PluginIPC::file());
    EXPECT_TRUE(first.contains("\nappRunning=1\n"));
    ASSERT_TRUE(setAge(PluginIPC::file(), 9.0));
    EXPECT_FALSE(syncer.ipcFresh());
    ASSERT_TRUE(QTest::qWaitFor([&] { return syncer.ipcFresh(); }, 4000));
    EXPECT_EQ(readAll(PluginIPC::file()), first); // same seq, same content
}

TEST(AutoTuneSyncer, AvailabilityFromInstalledVst3Bundles)
{
    TempHome home;
    const QString userFolder = home.path() + QStringLiteral("/.vst3");
    const QString systemFolder = home.path() + QStringLiteral("/usr-lib-vst3");
    auto lookup = std::make_shared<platform::Vst3ComponentLookup>(QStringList{userFolder, systemFolder});
    const AutoTuneSyncer syncer(lookup);
    EXPECT_FALSE(syncer.isAvailable());

    // EFX+ is not one of the units considered.
    installBundle(userFolder, QStringLiteral("Auto-Tune EFX+.vst3"), QStringLiteral("Auto-Tune EFX+"),
                  QStringLiteral("10.0"));
    EXPECT_FALSE(syncer.isAvailable());

    installBundle(systemFolder, QStringLiteral("AT-Pro-Old.vst3"), QStringLiteral("Auto-Tune Pro"),
                  QStringLiteral("9.1.0"));
    installBundle(userFolder, QStringLiteral("Auto-Tune Pro.vst3"), QStringLiteral("Auto-Tune Pro"),
                  QStringLiteral("10.3.1"));
    EXPECT_TRUE(syncer.isAvailable());
    const auto pro = syncer.newestComponent(AutoTuneSyncer::supportedUnits()[0]);
    ASSERT_TRUE(pro.has_value());
    EXPECT_EQ(pro->version, QVersionNumber(10, 3, 1));
    EXPECT_TRUE(pro->path.startsWith(userFolder));

    // Equal versions: the first enumerated wins (user folder before system folders).
    installBundle(systemFolder, QStringLiteral("AutoTune Advanced.vst3"), QStringLiteral("x"),
                  QStringLiteral("2.0"));
    installBundle(userFolder, QStringLiteral("autotune_advanced.vst3"), QStringLiteral("y"),
                  QStringLiteral("2.0"));
    const auto advanced = syncer.newestComponent(AutoTuneSyncer::supportedUnits()[1]);
    ASSERT_TRUE(advanced.has_value());
    EXPECT_TRUE(advanced->path.startsWith(userFolder));

    // Broken module info still counts by bundle name.
    ASSERT_TRUE(
        writeFile(userFolder + QStringLiteral("/Auto-Tune Artist.vst3/Contents/Resources/moduleinfo.json"),
                  "{\"Name\": [1, 2"));
    EXPECT_TRUE(syncer.newestComponent(AutoTuneSyncer::supportedUnits()[3]).has_value());
}
