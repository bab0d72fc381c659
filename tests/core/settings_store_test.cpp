#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "support/temp_home.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

// A settings file as earlier versions wrote it: every key under its own name.
TEST(SettingsStore, ReadsAnExistingFileUnderItsKeys)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.conf"));
    ASSERT_TRUE(writeFile(
        path, "[General]\nfloatingBarStyle=capsule\nsimulateNotch=true\nlastUsedTranspose=-3\n"
              "lastUsedPreset=custom\naccompanimentChannelUID=loop.monitor\nprivacy_consent_v1=true\n"
              "serverBaseURL=http://127.0.0.1:8080/x\nocrPinnedPlayer=qqmusic\n"
              "screenRecordingRequested-0.1.0=true\npluginInstalledForAppVersion=0.1.0\n"
              "[customAutoTuneSettings]\nretune=0.25\nhumanize=0.5\n"
              "[lastUsedSettings]\nwetDry=1\n"));
    const SettingsStore s(path);
    EXPECT_EQ(s.floatingBarStyle(), QStringLiteral("capsule"));
    EXPECT_TRUE(s.simulateNotch());
    EXPECT_EQ(s.lastUsedTranspose(), -3);
    EXPECT_EQ(s.customAutoTuneSettings(),
              (QMap<QString, double>{{QStringLiteral("retune"), 0.25}, {QStringLiteral("humanize"), 0.5}}));
    EXPECT_EQ(s.lastUsedSettings(), (QMap<QString, double>{{QStringLiteral("wetDry"), 1.0}}));
    EXPECT_EQ(s.accompanimentChannelUID(), QStringLiteral("loop.monitor"));
    EXPECT_TRUE(s.privacyConsent());
    EXPECT_EQ(s.serverBaseURL(), QStringLiteral("http://127.0.0.1:8080/x"));
    EXPECT_TRUE(s.screenRecordingRequested(QStringLiteral("0.1.0")));
    EXPECT_FALSE(s.screenRecordingRequested(QStringLiteral("0.2.0")));
    EXPECT_EQ(s.pluginInstalledForAppVersion(), QStringLiteral("0.1.0"));
}

// The file is written on the store's writer: a change is read back from the store at once,
// whole groups replace and removals hide what the file still holds, and once sync() returns
// the file and another store on it hold the last of every change.
TEST(SettingsStore, ChangesReadBackAtOnceAndReachTheFileInTheirOrder)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.conf"));
    SettingsStore s(path);
    s.setLastUsedTranspose(-12);
    s.setLastUsedTranspose(12);
    EXPECT_EQ(s.lastUsedTranspose(), 12);
    s.setCustomAutoTuneSettings({{QStringLiteral("retune"), 0.25}, {QStringLiteral("humanize"), 0.5}});
    s.sync();
    s.setCustomAutoTuneSettings({{QStringLiteral("wetDry"), 1.0}});
    EXPECT_EQ(s.customAutoTuneSettings()->keys(), QStringList{QStringLiteral("wetDry")});
    s.removeCustomAutoTuneSettings();
    EXPECT_FALSE(s.customAutoTuneSettings());
    EXPECT_FALSE(s.contains(settings_keys::customAutoTuneSettings));
    s.setLastUsedSettings({{QStringLiteral("wetDry"), 1.0}});
    EXPECT_TRUE(s.contains(settings_keys::lastUsedSettings));
    s.setOcrPinnedPlayer(QStringLiteral("qqmusic"));
    s.removeOcrPinnedPlayer();
    EXPECT_FALSE(s.ocrPinnedPlayer());
    s.setScreenRecordingRequested(QString(), true); // no version: "?"
    EXPECT_TRUE(s.contains("screenRecordingRequested-?"));

    s.sync();
    const QByteArray file = readAll(path);
    EXPECT_TRUE(file.contains("lastUsedTranspose=12"));
    EXPECT_FALSE(file.contains("customAutoTuneSettings"));
    EXPECT_FALSE(file.contains("qqmusic"));
    const SettingsStore other(path);
    EXPECT_EQ(other.lastUsedTranspose(), 12);
    EXPECT_FALSE(other.customAutoTuneSettings());
    EXPECT_EQ(other.lastUsedSettings(), (QMap<QString, double>{{QStringLiteral("wetDry"), 1.0}}));
}

TEST(SettingsStore, MalformedValuesFallBackToDefaults)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.conf"));
    ASSERT_TRUE(writeFile(path,
                          "[General]\nlastUsedTranspose=abc\nprivacy_consent_v1=perhaps\nsimulateNotch=\n"
                          "\xff\xfe garbage line without equals\n[customAutoTuneSettings]\nretune=x\n"
                          "humanize=0.5\n"));
    const SettingsStore s(path);
    EXPECT_EQ(s.lastUsedTranspose(), 0);
    EXPECT_FALSE(s.privacyConsent());
    EXPECT_FALSE(s.simulateNotch());
    const auto custom = s.customAutoTuneSettings();
    ASSERT_TRUE(custom.has_value());
    EXPECT_FALSE(custom->contains(QStringLiteral("retune")));
    EXPECT_DOUBLE_EQ(custom->value(QStringLiteral("humanize")), 0.5);
}
