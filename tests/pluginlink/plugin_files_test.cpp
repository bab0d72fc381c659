#include "pluginlink/plugin_files.h"
#include "support/temp_home.h"

#include <QRandomGenerator>
#include <cmath>
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
                                                  "throat=+-3\n"
                                                  "formant=++3\n"
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
    // "seq=" alone is not a seq line; a seq line alone carries no parameter.
    EXPECT_FALSE(parseParamsBack(QStringLiteral("seq=\nretune=1\n")).lastSeq.has_value());
    EXPECT_TRUE(parseParamsBack(QStringLiteral("seq=5\n")).params.isEmpty());
}

TEST(ParamsBackFile, SeqParsing)
{
    const std::pair<const char*, qint64> cases[] = {
        {"12", 12},
        {"12.9", 12},
        {"-12.9", -12},
        {"abc", 0},
        {" 12", 0},
        {"1e3", 1000},
        {"nan", 0},
        {"1e300", 0}, // finite but past 64 bits
        {"9223372036854775807", 9223372036854775807LL},
    };
    for (const auto& [text, seq] : cases)
        EXPECT_EQ(parseSeq(QString::fromLatin1(text)), seq) << text;
}

TEST(AliveFile, VariantLines)
{
    EXPECT_EQ(plugin_files::variantValues(QStringLiteral("variant= \tAuto-Tune Pro \t\nx=1\nvariant=none\n")),
              QStringList({QStringLiteral("Auto-Tune Pro"), QStringLiteral("none")}));
    EXPECT_TRUE(plugin_files::variantValues(QStringLiteral("variant=\nvariants=x\n")).isEmpty());
}

TEST(PluginFileReaders, HostileFilesNeverCrashOrApplyRejectedLines)
{
    TempHome home;
    const QString path = home.path() + QStringLiteral("/hostile.txt");
    QByteArray big = "seq=77\n";
    while (big.size() < 6 * 1024 * 1024)
        big += "retune=0.5000000000\nvariant=Auto-Tune Pro\n";
    QByteArray tooBig = big;
    tooBig.resize(plugin_files::kMaxFileBytes + 10, 'x');

    const struct {
        const char* name;
        QByteArray bytes;
        bool readable;
        std::optional<qint64> lastSeq;
        qsizetype params;
    } cases[] = {
        {"not UTF-8: unreadable, as a missing file", "seq=9\nretune=0.5\n\xff\xfe\xc3\x28\n", false, {}, 0},
        {"truncated mid-line: the complete lines count", "seq=10\nretune=0.5\nhuman", true, 10, 1},
        {"several MB of valid lines parse completely", big, true, 77, 1},
        {"past the size cap", tooBig, false, {}, 0},
        {"one enormous line without LF", "seq=1\nretune=" + QByteArray(3 * 1024 * 1024, '9'), true, 1, 0},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeFile(path, c.bytes));
        const auto text = plugin_files::readUtf8File(path);
        ASSERT_EQ(text.has_value(), c.readable) << c.name;
        if (!text)
            continue;
        const auto parsed = parseParamsBack(*text);
        EXPECT_EQ(parsed.lastSeq, c.lastSeq) << c.name;
        EXPECT_EQ(parsed.params.size(), c.params) << c.name;
    }
    EXPECT_GT(plugin_files::variantValues(QString::fromUtf8(big)).size(), 100000);

    // Binary noise with NUL bytes that still happens to be valid UTF-8.
    QByteArray noise;
    for (int i = 0; i < 200000; ++i)
        noise.append(static_cast<char>(QRandomGenerator::global()->bounded(0, 128)));
    ASSERT_TRUE(writeFile(path, noise));
    if (const auto text = plugin_files::readUtf8File(path)) {
        const auto parsed = parseParamsBack(*text);
        for (auto it = parsed.params.cbegin(); it != parsed.params.cend(); ++it)
            EXPECT_TRUE(std::isfinite(it.value()) && !it.key().isEmpty());
        plugin_files::variantValues(*text);
    }
    // A directory in the file's place.
    EXPECT_FALSE(plugin_files::readUtf8File(home.path()).has_value());
}
