#include "core/app_state.h"
#include "core/song.h"
#include "pluginlink/auto_tune_presets.h"
#include "pluginlink/auto_tune_syncer.h"
#include "pluginlink/plugin_ipc.h"
#include "support/temp_home.h"

#include <QFileInfo>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr qint64 kT0 = 1'700'000'000'000;

QByteArray stateFile()
{
    return readAll(PluginIPC::file());
}

QByteArray seqLine(qint64 seq)
{
    return "seq=" + QByteArray::number(seq) + "\n";
}

} // namespace

// A preset push, then the key: one write each, so two writes within one clock millisecond
// get consecutive seqs; the metadata comes last, sorted, the empty piece left out. (The
// lines' format: ControlCharactersNeverReachTheFileAsLineBreaks.)
TEST(PluginIPC, StateFileAfterAPresetAndFMajor)
{
    TempHome home;
    PluginIPC::setClock([] { return kT0; });
    PluginIPC::setMetaProvider([] {
        return QMap<QString, QString>{{QStringLiteral("song"), QStringLiteral("周杰伦 - 晴天")},
                                      {QStringLiteral("key"), QStringLiteral("F 大调")},
                                      {QStringLiteral("artwork"), QString()}};
    });
    AutoTuneSyncer syncer(nullptr);
    syncer.apply(auto_tune_presets::row("natural"));
    EXPECT_EQ(PluginIPC::lastSeq(), kT0);
    syncer.setKeyScale(5, 1);
    const QByteArray text = stateFile();
    EXPECT_TRUE(text.startsWith(seqLine(kT0 + 1) + "appRunning=1\n1=0.0714\n2=0.4545\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nkey=5.0000\nnaturalVibrato=0.7000\n"));
    EXPECT_TRUE(text.endsWith("\nwetDry=1.0000\nmeta_key=F 大调\nmeta_song=周杰伦 - 晴天\n"));
}

// Every real change gets a seq above the last one issued, whatever the clock does; a
// heartbeat keeps the last change's seq; the quit record gets a fresh one.
TEST(PluginIPC, SeqsAlwaysMoveForward)
{
    TempHome home;
    qint64 now = kT0;
    PluginIPC::setClock([&now] { return now; });
    const PluginIPC::ParamMap key{{QStringLiteral("key"), 3}};

    // A heartbeat before any push takes a new seq and stores it.
    PluginIPC::write({}, true);
    EXPECT_EQ(stateFile(), seqLine(kT0) + "appRunning=1\n");
    now += 7;
    PluginIPC::write(key, true);
    EXPECT_TRUE(stateFile().startsWith(seqLine(kT0)));

    const std::pair<qint64, qint64> steps[] = {{0, kT0 + 7}, {0, kT0 + 8}, {-60'000, kT0 + 9}};
    for (const auto& [clockStep, seq] : steps) {
        now += clockStep;
        PluginIPC::write(key, false);
        EXPECT_EQ(PluginIPC::lastSeq(), seq);
    }
    PluginIPC::markAppQuit();
    EXPECT_EQ(stateFile(), seqLine(kT0 + 10) + "appRunning=0\n");
    // A write after the quit record is still news to the plug-in.
    PluginIPC::write(key, false);
    EXPECT_EQ(PluginIPC::lastSeq(), kT0 + 11);
    EXPECT_EQ(PluginIPC::nextSeq(std::numeric_limits<qint64>::max(), 5), std::numeric_limits<qint64>::max());
}

// Outside text cannot forge lines: control characters in names and values become spaces
// (U+2028 is no control character, and the plug-in splits at LF only).
TEST(PluginIPC, ControlCharactersNeverReachTheFileAsLineBreaks)
{
    const QString detail = QStringLiteral("a\rb\tc") + QChar(0) + QStringLiteral("d") + QChar(0x7f) +
                           QStringLiteral("e") + QChar(0x85) + QStringLiteral("f") + QChar(0x2028) +
                           QStringLiteral("g");
    EXPECT_EQ(PluginIPC::stateText(
                  7, {{QStringLiteral("Zed"), -0.00004}, {QStringLiteral("bad\nname"), 2}},
                  {{QStringLiteral("key"), QStringLiteral("A=B\nC")}, {QStringLiteral("detail"), detail}}),
              QByteArray("seq=7\nappRunning=1\nZed=-0.0000\nbad name=2.0000\n"
                         "meta_detail=a b c d e f\u2028g\nmeta_key=A=B C\n"));

    // A title set on the shared state as the tracker sets it reaches the file as one line.
    TempHome home;
    AppState state(home.settings());
    PluginIPC::setMetaProvider([&state] { return state.pluginMeta(); });
    state.setCurrent(Song{QStringLiteral("晴天\nappRunning=0\nkey=3"), QStringLiteral("周杰伦\r\n")});
    AutoTuneSyncer syncer(nullptr);
    syncer.setKeyScale(5, 1);
    QByteArrayList forgeable;
    for (const QByteArray& line : stateFile().split('\n'))
        if (line.startsWith("appRunning=") || line.startsWith("key=") || line.startsWith("meta_song="))
            forgeable.append(line);
    EXPECT_EQ(forgeable,
              QByteArrayList({"appRunning=1", "key=5.0000", "meta_song=周杰伦   - 晴天 appRunning=0 key=3"}));
}

// No state file before the first write; a link directory that cannot be created (a file
// "Library" in its way) fails silently and touches nothing.
TEST(PluginIPC, QuitRecordOnlyAfterAWriteAndUncreatableDirectoriesFailSilently)
{
    TempHome home;
    PluginIPC::markAppQuit();
    EXPECT_FALSE(QFileInfo::exists(PluginIPC::dir()));

    ASSERT_TRUE(writeFile(home.path() + QStringLiteral("/Library"), "not a folder"));
    PluginIPC::write({{QStringLiteral("key"), 1}}, false);
    PluginIPC::markAppQuit();
    PluginIPC::chainLog(QStringLiteral("伴奏移调：test"));
    EXPECT_FALSE(QFileInfo::exists(PluginIPC::file()));
    EXPECT_EQ(readAll(home.path() + QStringLiteral("/Library")), QByteArray("not a folder"));
}

