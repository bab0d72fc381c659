#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <gtest/gtest.h>

namespace {

QStringList lines(const QByteArray& text)
{
    QStringList out = QString::fromUtf8(text).split(QLatin1Char('\n'));
    EXPECT_EQ(out.last(), QString()) << "every line ends with LF";
    out.removeLast();
    return out;
}

// The "natural" preset's values, as the plug-in link carries them.
AutoTuneSettings naturalPreset()
{
    AutoTuneSettings s;
    s.retuneSpeed = 0.3f;
    s.humanize = 0.5f;
    s.flexTune = 0.5f;
    s.naturalVibrato = 0.7f;
    s.vibratoAmplitude = 0.3667f;
    s.tracking = 0.4949f;
    s.formantCorrection = 1.0f;
    s.throatLength = 0.5f;
    s.wetDry = 1.0f;
    s.correctionMode = 0.0f;
    s.inputType = 0.25f;
    return s;
}

} // namespace

TEST(PluginIPC, StateFileAfterAPresetAndFMajor)
{
    TempHome home;
    PluginIPC::setMetaProvider([] {
        return QMap<QString, QString>{{QStringLiteral("song"), QStringLiteral("周杰伦 - 晴天")},
                                      {QStringLiteral("key"), QStringLiteral("F 大调")},
                                      {QStringLiteral("detail"), QStringLiteral("曲库命中")},
                                      {QStringLiteral("source"), QStringLiteral("QQ音乐")}};
    });
    AutoTuneSyncer syncer(nullptr);
    const qint64 before = PluginIPC::nowMillis();
    syncer.apply(naturalPreset());
    syncer.setKeyScale(5, 1);
    const qint64 after = PluginIPC::nowMillis();

    const QStringList got = lines(readAll(PluginIPC::file()));
    ASSERT_EQ(got.size(), 21);
    ASSERT_TRUE(got[0].startsWith(QStringLiteral("seq=")));
    const qint64 seq = got[0].mid(4).toLongLong();
    EXPECT_GE(seq, before);
    EXPECT_LE(seq, after);
    EXPECT_EQ(PluginIPC::lastSeq(), seq);
    const QStringList expected = {
        QStringLiteral("appRunning=1"),
        QStringLiteral("1=0.0714"),
        QStringLiteral("2=0.4545"),
        QStringLiteral("47=0.3667"),
        QStringLiteral("correctionMode=0.0000"),
        QStringLiteral("flexTune=0.5000"),
        QStringLiteral("formant=1.0000"),
        QStringLiteral("humanize=0.5000"),
        QStringLiteral("inputType=0.2500"),
        QStringLiteral("key=5.0000"),
        QStringLiteral("naturalVibrato=0.7000"),
        QStringLiteral("retune=0.3000"),
        QStringLiteral("scale=1.0000"),
        QStringLiteral("throat=0.5000"),
        QStringLiteral("tracking=0.4949"),
        QStringLiteral("wetDry=1.0000"),
        QStringLiteral("meta_detail=曲库命中"),
        QStringLiteral("meta_key=F 大调"),
        QStringLiteral("meta_song=周杰伦 - 晴天"),
        QStringLiteral("meta_source=QQ音乐"),
    };
    EXPECT_EQ(got.mid(1), expected);
}

TEST(PluginIPC, HeartbeatKeepsTheLastSeq)
{
    TempHome home;
    // A heartbeat before any push takes a new seq and stores it.
    PluginIPC::write({}, true);
    const auto first = PluginIPC::lastSeq();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(
        lines(readAll(PluginIPC::file())),
        QStringList({QStringLiteral("seq=") + QString::number(*first), QStringLiteral("appRunning=1")}));
    QThread::msleep(5);
    PluginIPC::write({{QStringLiteral("key"), 3}}, true);
    EXPECT_EQ(PluginIPC::lastSeq(), first);
    EXPECT_TRUE(readAll(PluginIPC::file()).startsWith("seq=" + QByteArray::number(*first) + "\n"));
    QThread::msleep(5);
    PluginIPC::write({{QStringLiteral("key"), 3}}, false);
    EXPECT_GT(*PluginIPC::lastSeq(), *first);
}

TEST(PluginIPC, LinesSortByCodePointAndMetadataIsOptional)
{
    const QByteArray text = PluginIPC::stateText(
        7,
        {{QStringLiteral("wetDry"), 1},
         {QStringLiteral("classicMode"), 1},
         {QStringLiteral("47"), 0.36666},
         {QStringLiteral("Zed"), -0.00004}},
        {{QStringLiteral("song"), QString()}, {QStringLiteral("key"), QStringLiteral("A=B\nC")}});
    EXPECT_EQ(text,
              QByteArray("seq=7\nappRunning=1\n47=0.3667\nZed=-0.0000\nclassicMode=1.0000\nwetDry=1.0000\n"
                         "meta_key=A=B\nC\n"));
    EXPECT_EQ(PluginIPC::stateText(-1, {}, {}), QByteArray("seq=-1\nappRunning=1\n"));
}

TEST(PluginIPC, QuitRecordOnlyAfterAWrite)
{
    TempHome home;
    PluginIPC::markAppQuit();
    EXPECT_FALSE(QFileInfo::exists(PluginIPC::file()));
    EXPECT_FALSE(QFileInfo::exists(PluginIPC::dir()));

    PluginIPC::write({{QStringLiteral("key"), 1}}, false);
    const auto seq = PluginIPC::lastSeq();
    PluginIPC::markAppQuit();
    const QStringList got = lines(readAll(PluginIPC::file()));
    ASSERT_EQ(got.size(), 2);
    EXPECT_TRUE(got[0].startsWith(QStringLiteral("seq=")));
    EXPECT_EQ(got[1], QStringLiteral("appRunning=0"));
    EXPECT_EQ(PluginIPC::lastSeq(), seq);
}

TEST(PluginIPC, WritesIntoAnUncreatableDirectoryFailSilently)
{
    TempHome home;
    // "Library" is a file, so the link directory cannot be created.
    ASSERT_TRUE(writeFile(home.path() + QStringLiteral("/Library"), "not a folder"));
    PluginIPC::write({{QStringLiteral("key"), 1}}, false);
    PluginIPC::write({}, true);
    PluginIPC::markAppQuit();
    PluginIPC::chainLog(QStringLiteral("伴奏移调：test"));
    EXPECT_FALSE(QFileInfo::exists(PluginIPC::file()));
    EXPECT_EQ(readAll(home.path() + QStringLiteral("/Library")), QByteArray("not a folder"));
}

TEST(PluginIPC, ReplacementIsAtomicAndLeavesNoTemporaryFiles)
{
    TempHome home;
    for (int i = 0; i < 50; ++i)
        PluginIPC::write({{QStringLiteral("key"), i}}, i % 2 == 0);
    const QStringList entries = QDir(PluginIPC::dir()).entryList(QDir::Files);
    EXPECT_EQ(entries, QStringList({QStringLiteral("plugin_state.txt")}));
}

TEST(PluginIPC, ChainLogAppendsLines)
{
    TempHome home;
    PluginIPC::chainLog(QStringLiteral("伴奏移调：一"));
    PluginIPC::chainLog(QStringLiteral("伴奏移调：二"));
    EXPECT_EQ(readAll(PluginIPC::path(PluginIPC::kAppLogFile)), QByteArray("伴奏移调：一\n伴奏移调：二\n"));
}
