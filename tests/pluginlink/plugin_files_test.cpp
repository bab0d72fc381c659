#include "pluginlink/plugin_files.h"
#include "support/temp_home.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using plugin_files::parseParamsBack;
using plugin_files::parseSeq;

TEST(ParamsBackFile, LineRules)
{
    const auto p = parseParamsBack(QStringLiteral("seq=41\n"
                                                  "retune=0.25\n"
                                                  "\n"
                                                  "=0.5\n"           // starts with "="
                                                  "humanize=\n"      // ends with "="
                                                  "flexTune==0.3\n"  // value "=0.3" does not parse
                                                  "tracking = 0.4\n" // blanks are not trimmed
                                                  "wetDry=abc\n"
                                                  "retune=0.75\n" // repeated name: last wins
                                                  "vibratoAmplitude=1e-1\n"
                                                  "key=+3\n"
                                                  "scale=nan\n" // not a finite number
                                                  "formant=inf\n"
                                                  "seq=42\n"
                                                  "unknownName=1\n"
                                                  "noEquals\n"));
    EXPECT_EQ(p.firstSeq, 41);
    EXPECT_EQ(p.lastSeq, 42);
    const QMap<QString, double> expected = {{QStringLiteral("retune"), 0.75},
                                            {QStringLiteral("vibratoAmplitude"), 0.1},
                                            {QStringLiteral("key"), 3.0},
                                            {QStringLiteral("unknownName"), 1.0}};
    EXPECT_EQ(p.params, expected);
}

TEST(ParamsBackFile, SeqParsing)
{
    EXPECT_EQ(parseSeq(QStringLiteral("12")), 12);
    EXPECT_EQ(parseSeq(QStringLiteral("12.9")), 12);
    EXPECT_EQ(parseSeq(QStringLiteral("-12.9")), -12);
    EXPECT_EQ(parseSeq(QStringLiteral("abc")), 0);
    EXPECT_EQ(parseSeq(QStringLiteral(" 12")), 0);
    EXPECT_EQ(parseSeq(QStringLiteral("1e3")), 1000);
    EXPECT_EQ(parseSeq(QStringLiteral("9223372036854775807")), 9223372036854775807LL);
    EXPECT_EQ(parseSeq(QStringLiteral("1e300")), 0); // finite but past 64 bits
    EXPECT_EQ(parseSeq(QStringLiteral("nan")), 0);
    // A file with only a seq line has no parameter.
    const auto onlySeq = parseParamsBack(QStringLiteral("seq=5\n"));
    EXPECT_EQ(onlySeq.lastSeq, 5);
    EXPECT_TRUE(onlySeq.params.isEmpty());
    // "seq=" alone is not a seq line.
    EXPECT_FALSE(parseParamsBack(QStringLiteral("seq=\nretune=1\n")).lastSeq.has_value());
}

TEST(AliveFile, VariantLines)
{
    EXPECT_EQ(plugin_files::variantValues(QStringLiteral("variant= \tAuto-Tune Pro \t\nx=1\nvariant=none\n")),
              QStringList({QStringLiteral("Auto-Tune Pro"), QStringLiteral("none")}));
    EXPECT_EQ(plugin_files::variantValues(QStringLiteral("variant=  none  ")),
              QStringList({QStringLiteral("none")}));
    EXPECT_TRUE(plugin_files::variantValues(QStringLiteral("variant=\nvariants=x\n")).isEmpty());
}

TEST(AliveFile, FreshnessWindow)
{
    using std::chrono::milliseconds;
    EXPECT_TRUE(plugin_files::isFresh(milliseconds(7900)));
    EXPECT_TRUE(plugin_files::isFresh(milliseconds(7999)));
    EXPECT_FALSE(plugin_files::isFresh(milliseconds(8000)));
    EXPECT_FALSE(plugin_files::isFresh(milliseconds(10000)));

    TempHome home;
    const QString path = home.path() + QStringLiteral("/alive.txt");
    EXPECT_FALSE(plugin_files::fileAge(path).has_value());
    ASSERT_TRUE(writeFile(path, "variant=x\n"));
    ASSERT_TRUE(setAge(path, 7.0));
    const auto age = plugin_files::fileAge(path);
    ASSERT_TRUE(age.has_value());
    EXPECT_NEAR(static_cast<double>(age->count()), 7000.0, 1000.0);
}

TEST(PluginFileReaders, HostileFilesNeverCrashOrApplyRejectedLines)
{
    TempHome home;
    const QString path = home.path() + QStringLiteral("/hostile.txt");

    // Not UTF-8: the whole file is unreadable, as a missing one.
    ASSERT_TRUE(writeFile(path, QByteArray("seq=9\nretune=0.5\n\xff\xfe\xc3\x28\n")));
    EXPECT_FALSE(plugin_files::readUtf8File(path).has_value());

    // Truncated in the middle of a line: the complete lines still count.
    ASSERT_TRUE(writeFile(path, "seq=10\nretune=0.5\nhuman"));
    const auto truncated = parseParamsBack(*plugin_files::readUtf8File(path));
    EXPECT_EQ(truncated.lastSeq, 10);
    EXPECT_EQ(truncated.params.size(), 1);

    // Binary noise with NUL bytes that still happens to be valid UTF-8.
    QByteArray noise;
    auto* rng = QRandomGenerator::global();
    for (int i = 0; i < 200000; ++i)
        noise.append(static_cast<char>(rng->bounded(0, 128)));
    ASSERT_TRUE(writeFile(path, noise));
    if (const auto text = plugin_files::readUtf8File(path)) {
        const auto parsed = parseParamsBack(*text);
        for (auto it = parsed.params.cbegin(); it != parsed.params.cend(); ++it) {
            EXPECT_TRUE(std::isfinite(it.value()));
            EXPECT_FALSE(it.key().isEmpty());
        }
        plugin_files::variantValues(*text);
    }

    // Several MB of valid lines parse completely; past the size cap the file is refused.
    QByteArray big = "seq=77\n";
    while (big.size() < 6 * 1024 * 1024)
        big += "retune=0.5000000000\nvariant=Auto-Tune Pro\n";
    ASSERT_TRUE(writeFile(path, big));
    const auto bigText = plugin_files::readUtf8File(path);
    ASSERT_TRUE(bigText.has_value());
    EXPECT_EQ(parseParamsBack(*bigText).lastSeq, 77);
    EXPECT_GT(plugin_files::variantValues(*bigText).size(), 100000);
    big.resize(plugin_files::kMaxFileBytes + 10, 'x');
    ASSERT_TRUE(writeFile(path, big));
    EXPECT_FALSE(plugin_files::readUtf8File(path).has_value());

    // One enormous line without LF.
    ASSERT_TRUE(writeFile(path, "seq=1\nretune=" + QByteArray(3 * 1024 * 1024, '9')));
    const auto longLine = parseParamsBack(*plugin_files::readUtf8File(path));
    EXPECT_TRUE(longLine.params.isEmpty());

    // A directory in the file's place.
    EXPECT_FALSE(plugin_files::readUtf8File(home.path()).has_value());
}
