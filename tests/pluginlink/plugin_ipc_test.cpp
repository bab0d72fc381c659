#include "core/app_state.h"
#include "core/song.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "support/comma_locale.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <clocale>
#include <cstdio>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace {

constexpr qint64 kT0 = 1'700'000'000'000;

QStringList lines(const QByteArray& text)
{
    QStringList out = QString::fromUtf8(text).split(QLatin1Char('\n'));
    EXPECT_EQ(out.last(), QString()) << "every line ends with LF";
    out.removeLast();
    return out;
}

QStringList stateLines()
{
    return lines(readAll(PluginIPC::file()));
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

// Every file in the link directory, hidden temporary files included.
QStringList linkDirEntries()
{
    return QDir(PluginIPC::dir()).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

// A preset push: apply, then the key; one write each, so two writes within one clock
// millisecond get consecutive seqs.
TEST(PluginIPC, StateFileAfterAPresetAndFMajor)
{
    TempHome home;
    PluginIPC::setClock([] { return kT0; });
    PluginIPC::setMetaProvider([] {
        return QMap<QString, QString>{{QStringLiteral("song"), QStringLiteral("周杰伦 - 晴天")},
                                      {QStringLiteral("key"), QStringLiteral("F 大调")},
                                      {QStringLiteral("detail"), QStringLiteral("曲库命中")},
                                      {QStringLiteral("source"), QStringLiteral("QQ音乐")}};
    });
    AutoTuneSyncer syncer(nullptr);
    syncer.apply(naturalPreset());
    EXPECT_EQ(PluginIPC::lastSeq(), kT0);
    EXPECT_TRUE(stateLines().contains(QStringLiteral("retune=0.3000")));
    syncer.setKeyScale(5, 1);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0 + 1);

    const QStringList expected = {
        QStringLiteral("seq=") + QString::number(kT0 + 1),
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
    EXPECT_EQ(stateLines(), expected);
}

// Every real change gets a seq above the last one issued, whatever the clock does; a
// heartbeat keeps the last change's seq; the quit record gets a fresh one.
TEST(PluginIPC, SeqsAlwaysMoveForward)
{
    TempHome home;
    qint64 now = kT0;
    PluginIPC::setClock([&now] { return now; });

    // A heartbeat before any push takes a new seq and stores it.
    PluginIPC::write({}, true);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0);
    EXPECT_EQ(stateLines(),
              QStringList({QStringLiteral("seq=") + QString::number(kT0), QStringLiteral("appRunning=1")}));
    now += 7;
    PluginIPC::write({{QStringLiteral("key"), 3}}, true);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0);
    EXPECT_EQ(stateLines().first(), QStringLiteral("seq=") + QString::number(kT0));

    // Two writes in one millisecond.
    PluginIPC::write({{QStringLiteral("key"), 3}}, false);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0 + 7);
    PluginIPC::write({{QStringLiteral("key"), 4}}, false);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0 + 8);

    // The clock steps back a minute: old seqs are not repeated.
    now -= 60'000;
    PluginIPC::write({{QStringLiteral("key"), 5}}, false);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0 + 9);
    PluginIPC::markAppQuit();
    EXPECT_EQ(stateLines(), QStringList({QStringLiteral("seq=") + QString::number(kT0 + 10),
                                         QStringLiteral("appRunning=0")}));
    EXPECT_EQ(PluginIPC::lastSeq(), kT0 + 9);
    // A write after the quit record is still news to the plug-in.
    PluginIPC::write({{QStringLiteral("key"), 5}}, false);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0 + 11);

    EXPECT_EQ(PluginIPC::nextSeq(std::nullopt, 5), 5);
    EXPECT_EQ(PluginIPC::nextSeq(std::numeric_limits<qint64>::max(), 5), std::numeric_limits<qint64>::max());
}

// Outside text cannot forge lines: control characters in names and values become spaces
// (U+2028 is no control character, and the plug-in splits at LF only).
TEST(PluginIPC, ControlCharactersNeverReachTheFileAsLineBreaks)
{
    const QByteArray text = PluginIPC::stateText(
        7,
        {{QStringLiteral("wetDry"), 1},
         {QStringLiteral("classicMode"), 1},
         {QStringLiteral("47"), 0.36666},
         {QStringLiteral("Zed"), -0.00004},
         {QStringLiteral("bad\nname"), 2}},
        {{QStringLiteral("song"), QString()},
         {QStringLiteral("key"), QStringLiteral("A=B\nC")},
         {QStringLiteral("detail"), QStringLiteral("a\rb\tc") + QChar(0) + QStringLiteral("d") + QChar(0x7f) +
                                        QStringLiteral("e") + QChar(0x85) + QStringLiteral("f") +
                                        QChar(0x2028) + QStringLiteral("g")}});
    EXPECT_EQ(text,
              QByteArray("seq=7\nappRunning=1\n47=0.3667\nZed=-0.0000\nbad name=2.0000\nclassicMode=1.0000\n"
                         "wetDry=1.0000\nmeta_detail=a b c d e f\u2028g\nmeta_key=A=B C\n"));
    EXPECT_EQ(PluginIPC::stateText(-1, {}, {}), QByteArray("seq=-1\nappRunning=1\n"));
}

// A title set on the shared state as the tracker sets it reaches the file as one line.
TEST(PluginIPC, ForgedTitleStaysOneMetadataLine)
{
    TempHome home;
    AppState state(home.settings());
    PluginIPC::setMetaProvider([&state] { return state.pluginMeta(); });
    state.setCurrent(Song{QStringLiteral("晴天\nappRunning=0\nkey=3"), QStringLiteral("周杰伦\r\n")});
    AutoTuneSyncer syncer(nullptr);
    syncer.setKeyScale(5, 1);

    const QStringList got = stateLines();
    EXPECT_EQ(got.filter(QRegularExpression(QStringLiteral("^appRunning="))),
              QStringList({QStringLiteral("appRunning=1")}));
    EXPECT_EQ(got.filter(QRegularExpression(QStringLiteral("^key="))),
              QStringList({QStringLiteral("key=5.0000")}));
    EXPECT_EQ(got.filter(QRegularExpression(QStringLiteral("^meta_song="))),
              QStringList({QStringLiteral("meta_song=周杰伦   - 晴天 appRunning=0 key=3")}));
    PluginIPC::setMetaProvider(nullptr);
}

TEST(PluginIPC, QuitRecordOnlyAfterAWrite)
{
    TempHome home;
    PluginIPC::markAppQuit();
    EXPECT_FALSE(QFileInfo::exists(PluginIPC::file()));
    EXPECT_FALSE(QFileInfo::exists(PluginIPC::dir()));
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

TEST(PluginIPC, ReplacementLeavesNoTemporaryFiles)
{
    TempHome home;
    for (int i = 0; i < 20; ++i)
        PluginIPC::write({{QStringLiteral("key"), i}}, i % 2 == 0);
    EXPECT_EQ(linkDirEntries(), QStringList({QStringLiteral("plugin_state.txt")}));
    EXPECT_TRUE(stateLines().contains(QStringLiteral("key=19.0000")));

    // A replacement that cannot land (the name is taken by a folder) cleans up after itself.
    ASSERT_TRUE(QFile::remove(PluginIPC::file()));
    ASSERT_TRUE(QDir().mkpath(PluginIPC::file()));
    PluginIPC::write({{QStringLiteral("key"), 1}}, false);
    EXPECT_TRUE(QFileInfo(PluginIPC::file()).isDir());
    EXPECT_EQ(linkDirEntries(), QStringList({QStringLiteral("plugin_state.txt")}));
}

TEST(PluginIPC, ChainLogAppendsOneLinePerMessage)
{
    TempHome home;
    PluginIPC::chainLog(QStringLiteral("伴奏移调：一"));
    PluginIPC::chainLog(QStringLiteral("伴奏移调：二\n伴奏移调：forged"));
    EXPECT_EQ(readAll(PluginIPC::path(PluginIPC::kAppLogFile)),
              QByteArray("伴奏移调：一\n伴奏移调：二 伴奏移调：forged\n"));
}

// Qt sets the C locale from the environment, so the numbers of the state file must not
// depend on it: under German the state file still says "retune=0.3000".
TEST_F(CommaLocale, StateFileNumbersKeepTheirPoint)
{
    // The locale really took effect: printf-style formatting now writes a comma.
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.4f", 0.5);
    ASSERT_STREQ(printed, "0,5000");

    TempHome home;
    AutoTuneSyncer syncer(nullptr);
    syncer.apply(naturalPreset());
    syncer.setKeyScale(5, 1);
    const QStringList got = stateLines();
    EXPECT_TRUE(got.contains(QStringLiteral("retune=0.3000")));
    EXPECT_TRUE(got.contains(QStringLiteral("humanize=0.5000")));
    EXPECT_TRUE(got.contains(QStringLiteral("1=0.0714")));
    EXPECT_TRUE(got.filter(QStringLiteral(",")).isEmpty()) << got.join(QLatin1Char('\n')).toStdString();
}
