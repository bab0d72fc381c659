// The test bench as a user runs it: the real executable on files the test renders.
#include "keydetect/audio_file_decoder.h"
#include "keydetect/key_decision.h"
#include "keydetect/offline_key_test.h"
#include "keydetect/synth.h"
#include "support/temp_home.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

struct RunResult {
    int status = -1;
    QString out, err;
};

class OfflineKeyTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Runs the program with a private HOME, so that any settings it wrote would show.
    RunResult run(const QStringList& arguments)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u("HOME"), path(u("home")));
        env.remove(u("DISPLAY"));
        env.remove(u("XDG_CONFIG_HOME"));
        p.setProcessEnvironment(env);
        p.start(u(TONIVOX_EXECUTABLE), arguments);
        EXPECT_TRUE(p.waitForFinished(120000));
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }

    // An A major cadence in 48 kHz stereo: the decoder has to mix and resample.
    QString progressionFile(const QString& name, double seconds)
    {
        EXPECT_TRUE(synth::writeWav(path(name), synth::progression(9, synth::majorCadence(), seconds, 48000),
                                    48000, 2));
        return path(name);
    }

    void write(const QString& name, const QByteArray& bytes) { EXPECT_TRUE(writeFile(path(name), bytes)); }

    QTemporaryDir m_dir;
};

// The switch counts wherever it stands; unreadable files, a folder and a FIFO (opening it
// would wait forever) each get one line, and no settings folder is made.
TEST_F(OfflineKeyTest, KeytestAnalysesThreeSegmentsAndBrokenFilesFailCleanly)
{
    const QString good = progressionFile(u("sixty.wav"), 60);
    progressionFile(u("fifteen.wav"), 15);
    QFile::copy(good, path(u("truncated.wav")));
    QFile::resize(path(u("truncated.wav")), 44 + 48000 * 4 * 5);
    QFile::copy(good, path(u("header-only.wav")));
    QFile::resize(path(u("header-only.wav")), 44);
    write(u("empty.mp3"), {});
    write(u("notes.wav"), "RIFF this is not audio at all\n");
    QByteArray noise(300000, '\0');
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 7919) ^ (i >> 3));
    write(u("garbage.mp3"), noise);
    ASSERT_EQ(mkfifo(path(u("pipe.wav")).toLocal8Bit().constData(), 0600), 0);

    QStringList arguments = {u("--unrelated"), u("--keytest"), good, m_dir.path()};
    QString expected = u("sixty.wav\tkey=A 大调 段=[A 大调、A 大调、A 大调] 调内率=100% 通过=是\n") +
                       QDir(m_dir.path()).dirName() + u("\t读不了\n");
    for (const char* name : {"fifteen.wav", "truncated.wav", "header-only.wav", "empty.mp3", "notes.wav",
                             "garbage.mp3", "missing.flac", "pipe.wav"}) {
        arguments << path(u(name));
        expected += u(name) + u("\t读不了\n");
    }
    const RunResult r = run(arguments);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(QDir(path(u("home/.config/Tonivox"))).exists());
    EXPECT_EQ(run({u("--keytest")}).status, 0);
}

// Every mode on good and bad operands: its exit status and output; the first switch of the
// fixed order wins wherever it stands.
TEST_F(OfflineKeyTest, NeuralModesMeasureDumpAndPredictAndFailWithTheirExitStatuses)
{
    const QString sixty = progressionFile(u("sixty.wav"), 60), twenty = progressionFile(u("twenty.wav"), 20);
    const QString cqt = path(u("cqt.f32")), pcm = path(u("pcm.f32")), shortFeatures = path(u("short.f32"));
    // One float short of the model's input, and half a float more that is not read.
    write(u("short.f32"), QByteArray(23039 * 4 + 2, '\0'));
    const QString verdict = u("key=[A-G]#? (大调|小调) confidence=\\d+\\.\\d% margin=\\d+\\.\\d%");
    const struct {
        QStringList arguments;
        int status;
        QString out; // a pattern of the whole output
    } runs[] = {
        // A file that cannot be decoded gets the previous measurement's error: none after a
        // verdict, "audio too short" after the 12 s decode of a 20 s file.
        {{u("--keytest-v5"), sixty, path(u("missing.wav")), twenty, path(u("gone.wav"))},
         0,
         u("sixty\\.wav\t") + verdict +
             u(" windows=0\\.0,7\\.5,15\\.0\nmissing\\.wav\tV5 失败：unknown error\n"
               "twenty\\.wav\tV5 失败：audio too short\ngone\\.wav\tV5 失败：audio too short\n")},
        {{u("--v5-resampled-dump"), sixty, path(u("resampled.f32"))}, 0, u("wrote 661500 floats to .*\n")},
        {{u("--v5-cqt-dump"), sixty, cqt}, 0, u("wrote 23040 floats to .*\n")},
        {{u("--v5-cqt-dump"), path(u("none.wav")), cqt}, 1, u("读不了 .*none\\.wav\n")},
        {{u("--v5-features"), cqt}, 0, verdict + u("\n")},
        {{u("--v5-features"), shortFeatures}, 1, u("模型预测失败\n")},
        {{u("--v5-features"), path(u("absent.f32"))}, 1, {}},
        {{path(u("before.f32")), u("--v5-features")}, 2, {}},
        {{u("--v5-pcm-dump"), twenty, pcm}, 0, u("wrote 529200 floats to .*\n")}, // 8 s to the end
        {{u("--v5-pcm-dump"), path(u("x.wav"))}, 2, {}},
        {{u("--v5-pcm-dump"), path(u("missing.wav")), path(u("o.f32"))}, 1, {}},
        {{u("--v5-pcm-dump"), twenty, path(u("no/such/folder/o.f32"))}, 1, {}},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.arguments.join(u(" ")).toStdString());
        const RunResult result = run(r.arguments);
        EXPECT_EQ(result.status, r.status) << result.err.toStdString();
        if (r.status == 2) { // missing operands are named, never a silent exit
            EXPECT_TRUE(result.err.startsWith(u("usage: tonivox --v5-"))) << result.err.toStdString();
        }
        EXPECT_TRUE(
            QRegularExpression(QRegularExpression::anchoredPattern(r.out)).match(result.out).hasMatch())
            << result.out.toStdString();
    }
    EXPECT_FALSE(QFile::exists(path(u("o.f32"))));
    // The PCM dump is the decoder's slice, little-endian, value for value.
    QFile pcmFile(pcm);
    ASSERT_TRUE(pcmFile.open(QIODevice::ReadOnly));
    const QByteArray bytes = pcmFile.readAll();
    const auto slice = sliceForTest(decodeAudioFile(twenty).value_or(std::vector<float>{}), 8.0, 45.0);
    ASSERT_TRUE(slice && bytes.size() == static_cast<qsizetype>(slice->size() * 4));
    for (size_t i = 0; i < slice->size(); i += 9973)
        EXPECT_EQ(qFromLittleEndian<float>(bytes.constData() + i * 4), (*slice)[i]) << i;
}

// The decision the running program would make: under "classic" exactly what --keytest passes,
// under "neural_first" the model's verdict wherever --keytest-v5 is confident enough.
TEST_F(OfflineKeyTest, KeytestDecideFollowsTheStoredEngine)
{
    const QString sixty = progressionFile(u("sixty.wav"), 60);
    const QStringList decide{u("--keytest-decide"), sixty, path(u("missing.wav"))};
    const QString classic = u("sixty.wav\tkey=A 大调 engine=shadow_v2\nmissing.wav\t未决定\n");
    EXPECT_EQ(run(decide).out, classic);
    const auto m = QRegularExpression(u("key=(\\S+ \\S+) confidence=(\\d+\\.\\d)%"))
                       .match(run({u("--keytest-v5"), sixty}).out);
    ASSERT_TRUE(m.hasMatch());
    const bool confident = m.captured(2).toDouble() / 100.0 >= key_decision::kNeuralConfidence;
    // The switch the panel writes (other stored texts: KeyDecision's own test).
    write(u("home/.config/Tonivox/Tonivox.conf"), "[General]\nkeyDecisionEngine=neural_first\n");
    EXPECT_EQ(run(decide).out,
              confident ? u("sixty.wav\tkey=%1 engine=neural_v5\nmissing.wav\t未决定\n").arg(m.captured(1))
                        : classic);
}

TEST(DecodeSliceForTest, StopsDecodingWhereTheSliceEnds)
{
    QTemporaryDir dir;
    // Ten minutes of 8 kHz mono: a whole decode would be 26.5 million samples at 44.1 kHz.
    const QString tenMinutes = dir.filePath(u("ten-minutes.wav"));
    ASSERT_TRUE(synth::writeWav(tenMinutes, synth::sine(440.0, 600.0, 8000.0, 0.5f), 8000, 1));
    const auto slice = decodeSliceForTest(tenMinutes, 8.0, 45.0);
    ASSERT_TRUE(slice);
    EXPECT_EQ(slice->samples.size(), 45u * 44100u);
    EXPECT_GE(slice->decodedSamples, 53u * 44100u);
    EXPECT_LT(slice->decodedSamples, 54u * 44100u);

    // Stopping early changes no sample: the slice of a whole decode, value for value (48 kHz
    // stereo, so the decoder mixes and resamples).
    const QString sixty = dir.filePath(u("sixty.wav"));
    ASSERT_TRUE(synth::writeWav(sixty, synth::progression(9, synth::majorCadence(), 60.0, 48000), 48000, 2));
    const auto whole = decodeAudioFile(sixty);
    const auto early = decodeSliceForTest(sixty, 8.0, 45.0);
    ASSERT_TRUE(whole && early);
    EXPECT_LT(early->decodedSamples, whole->size() - 6u * 44100u);
    EXPECT_EQ(early->samples, sliceForTest(*whole, 8.0, 45.0));
}

} // namespace
