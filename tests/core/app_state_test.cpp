#include "core/app_state.h"
#include "core/now_playing_reader.h"
#include "core/settings_store.h"
#include "support/temp_home.h"
#include "support/text.h"

#include <QSet>
#include <gtest/gtest.h>

namespace {

QImage solidImage(QRgb color)
{
    QImage img(4, 4, QImage::Format_ARGB32);
    img.fill(color);
    return img;
}

} // namespace

// Only exactly "capsule" is the capsule; anything else stored is the notch.
TEST(AppState, ConstructionReadsTheStoredSettingsAndTextsDeriveFromTheState)
{
    TempHome home;
    SettingsStore& settings = SettingsStore::shared();
    for (const char* stored : {"Capsule", "notch", "", "capsule "}) {
        settings.setFloatingBarStyle(u(stored));
        EXPECT_EQ(initialFloatingBarStyle(settings), FloatingBarStyle::notch) << stored;
    }
    settings.setSimulateNotch(true);
    settings.setFloatingBarStyle(u("capsule"));
    settings.setLastUsedTranspose(5);
    settings.setCustomAutoTuneSettings({{u("retune"), 0.1}});
    AppState state(settings);
    EXPECT_TRUE(state.simulateNotch());
    EXPECT_EQ(state.floatingBarStyle(), FloatingBarStyle::capsule);
    EXPECT_EQ(state.transpose(), 5);
    EXPECT_TRUE(state.hasCustomPreset());

    // Derived texts.
    EXPECT_EQ(state.displaySong(), u("来首歌吧～"));
    state.setCurrent(Song{u("晴天"), u("rur")});
    EXPECT_EQ(state.displaySong(), u("rur - 晴天"));
    state.setCurrent(Song{u("晴天"), QString()});
    EXPECT_EQ(state.displaySong(), u("晴天"));

    // Synced wins over busy; each state has its own colour.
    QSet<QRgb> colours;
    for (const auto& [busy, synced, text] : {std::tuple{false, false, "未连接"},
                                             {true, false, "识别中"},
                                             {true, true, "已同步"},
                                             {false, true, "已同步"}}) {
        state.setBusy(busy);
        state.setSynced(synced);
        EXPECT_EQ(state.syncText(), u(text));
        colours.insert(state.syncColor().rgb());
    }
    EXPECT_EQ(colours.size(), 3);
}

// Each row starts from a red cover and reads a blue one (or none) for a song.
TEST(AppState, ArtworkRules)
{
    TempHome home;
    AppState state(SettingsStore::shared());
    const QImage red = solidImage(qRgb(255, 0, 0));
    const QImage blue = solidImage(qRgb(0, 0, 255));
    const Song sunny{u("晴天"), u("周杰伦")};
    const struct {
        const char* name;
        std::optional<Song> current, read;
        bool cover;
        std::optional<QImage> shown;
    } cases[] = {
        {"no current song: cleared", {}, sunny, true, {}},
        {"a reading without a title changes nothing", sunny, {}, true, red},
        {"the same song takes its cover", sunny, Song{u("晴天 "), u("周杰伦")}, true, blue},
        {"the same song without a cover keeps the old one", sunny, sunny, false, red},
        {"another title by a matching artist text (loose artist rule)", Song{u("稻香"), u("周杰伦, 林俊杰")},
         Song{u("完全不同的歌"), u("周杰伦/林俊杰")}, true, blue},
        {"a different song: cleared", sunny, Song{u("完全不同的歌"), u("五月天")}, true, {}},
    };
    for (const auto& c : cases) {
        state.setCurrent(c.current);
        state.setArtwork(red);
        state.applyNowPlaying({c.read, c.cover ? std::optional(blue) : std::nullopt});
        EXPECT_EQ(state.artwork(), c.shown) << c.name;
    }
}
