// The test bench as a user runs it: the real executable on files the test renders.
#include "keydetect/audio_file_decoder.h"
#include "keydetect/key_decision.h"
#include "keydetect/offline_key_test.h"
#include "keydetect/synth.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

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
        env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TONIVOX_EXECUTABLE), arguments);
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

    QString write(const QString& name, const QByteArray& bytes)
    {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return path(name);
    }

    QTemporaryDir m_dir;
};

TEST_F(OfflineKeyTest, KeytestAnalysesThreeSegmentsOfASixtySecondFileAndRejectsAFifteenSecondOne)
{
    const RunResult r = run({QStringLiteral("--keytest"), progressionFile(QStringLiteral("sixty.wav"), 60),
                             progressionFile(QStringLiteral("fifteen.wav"), 15)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, QStringLiteral("sixty.wav\tkey=A 大调 段=[A 大调、A 大调、A 大调] 调内率=100% 通过=是\n"
                                    "fifteen.wav\t读不了\n"));
    EXPECT_FALSE(QDir(path(QStringLiteral("home/.config/Tonivox"))).exists());
}

TEST_F(OfflineKeyTest, KeytestSwitchIsFoundAnywhereAndBrokenFilesFailCleanly)
{
    const QString good = progressionFile(QStringLiteral("good.wav"), 30);
    QFile::copy(good, path(QStringLiteral("truncated.wav")));
    QFile::resize(path(QStringLiteral("truncated.wav")), 44 + 48000 * 4 * 5); // 5 s of the 30 s remain
    QFile::copy(good, path(QStringLiteral("header-only.wav")));
    QFile::resize(path(QStringLiteral("header-only.wav")), 44);
    write(QStringLiteral("empty.mp3"), {});
    write(QStringLiteral("notes.wav"), "RIFF this is not audio at all\n");
    QByteArray noise(300000, '\0');
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 7919) ^ (i >> 3));
    write(QStringLiteral("garbage.mp3"), noise);
    // A pipe nobody writes to: opening it would wait forever.
    ASSERT_EQ(mkfifo(path(QStringLiteral("pipe.wav")).toLocal8Bit().constData(), 0600), 0);

    const QStringList names = {QStringLiteral("truncated.wav"), QStringLiteral("header-only.wav"),
                               QStringLiteral("empty.mp3"),     QStringLiteral("notes.wav"),
                               QStringLiteral("garbage.mp3"),   QStringLiteral("missing.flac"),
                               QStringLiteral("pipe.wav")};
    QStringList arguments = {QStringLiteral("--unrelated"), QStringLiteral("--keytest"), m_dir.path()};
    QString expected = QDir(m_dir.path()).dirName() + QStringLiteral("\t读不了\n"); // a folder
    for (const QString& name : names) {
        arguments << path(name);
        expected += name + QStringLiteral("\t读不了\n");
    }
    const RunResult r = run(arguments);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(run({QStringLiteral("--keytest")}).status, 0);
}

TEST_F(OfflineKeyTest, PcmDumpWritesTheSliceAsLittleEndianFloatsAndFailsWithItsExitStatuses)
{
    const QString input = progressionFile(QStringLiteral("song.wav"), 20);
    const QString output = path(QStringLiteral("song.f32"));
    const RunResult r = run({QStringLiteral("--v5-pcm-dump"), input, output});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const int floats = 12 * 44100; // 8 s to the end of the 20 s file
    EXPECT_EQ(r.out, QStringLiteral("wrote %1 floats to %2\n").arg(floats).arg(output));
    QFile file(output);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.size(), floats * 4);
    // Exactly the decoder's slice, value for value.
    const auto slice = sliceForTest(decodeAudioFile(input).value_or(std::vector<float>{}), 8.0, 45.0);
    ASSERT_TRUE(slice && slice->size() == static_cast<size_t>(floats));
    for (size_t i = 0; i < slice->size(); i += 9973)
        EXPECT_EQ(qFromLittleEndian<float>(bytes.constData() + i * 4), (*slice)[i]) << i;

    const struct {
        QStringList operands;
        int status;
    } failures[] = {
        {{path(QStringLiteral("x.wav"))}, 2},                                      // one operand short
        {{path(QStringLiteral("missing.wav")), path(QStringLiteral("o.f32"))}, 1}, // unreadable
        {{input, path(QStringLiteral("no/such/folder/o.f32"))}, 1},                // unwritable
    };
    for (const auto& f : failures) {
        const RunResult failed = run(QStringList{QStringLiteral("--v5-pcm-dump")} + f.operands);
        EXPECT_EQ(failed.status, f.status) << f.operands.join(' ').toStdString();
        EXPECT_TRUE(failed.out.isEmpty());
    }
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("o.f32"))));
}

TEST_F(OfflineKeyTest, NeuralModesMeasureDumpAndPredict)
{
    const QString sixty = progressionFile(QStringLiteral("sixty.wav"), 60);
    // A file that cannot be decoded gets the failure line with the previous measurement's
    // error: none after a verdict, "audio too short" after the 12 s decode of a 20 s file.
    const RunResult keytest =
        run({QStringLiteral("--keytest-v5"), sixty, path(QStringLiteral("missing.wav")),
             progressionFile(QStringLiteral("twenty.wav"), 20), path(QStringLiteral("gone.wav"))});
    EXPECT_EQ(keytest.status, 0) << keytest.err.toStdString();
    const QStringList lines = keytest.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << keytest.out.toStdString();
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^sixty\\.wav\tkey=[A-G]#? (大调|小调) confidence=\\d+\\.\\d% "
                                          "margin=\\d+\\.\\d% windows=0\\.0,7\\.5,15\\.0$"))
            .match(lines[0])
            .hasMatch())
        << lines[0].toStdString();
    EXPECT_EQ(lines.mid(1), (QStringList{QStringLiteral("missing.wav\tV5 失败：unknown error"),
                                         QStringLiteral("twenty.wav\tV5 失败：audio too short"),
                                         QStringLiteral("gone.wav\tV5 失败：audio too short")}));

    // The first window resampled: 30 s at 22050 Hz.
    const QString resampled = path(QStringLiteral("resampled.f32"));
    EXPECT_EQ(run({QStringLiteral("--v5-resampled-dump"), sixty, resampled}).status, 0);
    EXPECT_EQ(QFileInfo(resampled).size(), 661500 * 4);

    // Features, in [0, 1]; a start operand that is not a number means 0.
    const QString cqt = path(QStringLiteral("cqt.f32")), cqtNotANumber = path(QStringLiteral("cqt-nan.f32"));
    EXPECT_EQ(run({QStringLiteral("--v5-cqt-dump"), sixty, cqt}).status, 0);
    EXPECT_EQ(run({QStringLiteral("--v5-cqt-dump"), sixty, cqtNotANumber, QStringLiteral("abc")}).out,
              QStringLiteral("wrote 23040 floats to %1\n").arg(cqtNotANumber));
    QFile a(cqt), b(cqtNotANumber);
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    const QByteArray features = a.readAll();
    EXPECT_EQ(features, b.readAll());
    ASSERT_EQ(features.size(), 23040 * 4);
    for (qsizetype i = 0; i < 23040; ++i) {
        const float v = qFromLittleEndian<float>(features.constData() + i * 4);
        ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << i;
    }
    const RunResult unreadable =
        run({QStringLiteral("--v5-cqt-dump"), path(QStringLiteral("none.wav")), cqt});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.out, QStringLiteral("读不了 %1\n").arg(path(QStringLiteral("none.wav"))));

    // The model on the dumped features, on a file one float short, and without operands.
    const RunResult predicted = run({QStringLiteral("--v5-features"), cqt});
    EXPECT_TRUE(QRegularExpression(
                    QStringLiteral("^key=[A-G]#? (大调|小调) confidence=\\d+\\.\\d% margin=\\d+\\.\\d%\n$"))
                    .match(predicted.out)
                    .hasMatch())
        << predicted.out.toStdString() << predicted.err.toStdString();
    const RunResult rejected =
        run({QStringLiteral("--v5-features"), write(QStringLiteral("short.f32"), features.chopped(4))});
    EXPECT_EQ(rejected.status, 1);
    EXPECT_EQ(rejected.out, QStringLiteral("模型预测失败\n"));
    // Without operands; and the first switch of the fixed order wins wherever it stands (here
    // the PCM dump, whose single operand is too few).
    for (const QStringList& arguments : {QStringList{QStringLiteral("--v5-features")},
                                         QStringList{QStringLiteral("--v5-features"),
                                                     QStringLiteral("--v5-pcm-dump"), QStringLiteral("x")}}) {
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty() && r.err.isEmpty());
    }
}

// The decision the running program would make: under "classic" exactly what --keytest passes,
// under "neural_first" the model's verdict wherever --keytest-v5 is confident enough.
TEST_F(OfflineKeyTest, KeytestDecideFollowsTheStoredEngine)
{
    const QString sixty = progressionFile(QStringLiteral("sixty.wav"), 60);
    const QStringList decide{QStringLiteral("--keytest-decide"), sixty, path(QStringLiteral("missing.wav"))};
    const QString classic = QStringLiteral("sixty.wav\tkey=A 大调 engine=shadow_v2\nmissing.wav\t未决定\n");
    EXPECT_EQ(run(decide).out, classic);

    const RunResult v5 = run({QStringLiteral("--keytest-v5"), sixty});
    const auto m =
        QRegularExpression(QStringLiteral("key=(\\S+ \\S+) confidence=(\\d+\\.\\d)%")).match(v5.out);
    ASSERT_TRUE(m.hasMatch()) << v5.out.toStdString();
    const bool confident = m.captured(2).toDouble() / 100.0 >= key_decision::kNeuralConfidence;

    // An unknown stored text is the default; then the switch the panel writes.
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("home/.config/Tonivox"))));
    write(QStringLiteral("home/.config/Tonivox/Tonivox.conf"), "[General]\nkeyDecisionEngine=neural\n");
    EXPECT_EQ(run(decide).out, classic);
    write(QStringLiteral("home/.config/Tonivox/Tonivox.conf"), "[General]\nkeyDecisionEngine=neural_first\n");
    const RunResult neural = run(decide);
    EXPECT_EQ(neural.status, 0);
    EXPECT_EQ(
        neural.out,
        confident
            ? QStringLiteral("sixty.wav\tkey=%1 engine=neural_v5\nmissing.wav\t未决定\n").arg(m.captured(1))
            : classic);
}

TEST(SliceForTest, NeedsMoreThanTenSecondsAfterTheStart)
{
    const std::vector<float> audio(static_cast<size_t>(8 * 44100 + 441001), 0.1f);
    EXPECT_EQ(sliceForTest(audio, 8.0, 45.0).value_or(std::vector<float>{}).size(), 441001u);
    EXPECT_FALSE(sliceForTest(std::span(audio).first(audio.size() - 1), 8.0, 45.0));
    const std::vector<float> long_(60 * 44100, 0.0f);
    EXPECT_EQ(sliceForTest(long_, 8.0, 45.0)->size(), 45u * 44100u);
    EXPECT_FALSE(sliceForTest(long_, 70.0, 45.0));
}

TEST(DecodeSliceForTest, StopsDecodingWhereTheSliceEnds)
{
    QTemporaryDir dir;
    // Ten minutes of 8 kHz mono: a whole decode would be 26.5 million samples at 44.1 kHz.
    const QString tenMinutes = dir.filePath(QStringLiteral("ten-minutes.wav"));
    ASSERT_TRUE(synth::writeWav(tenMinutes, synth::sine(440.0, 600.0, 8000.0, 0.5f), 8000, 1));
    const auto slice = decodeSliceForTest(tenMinutes, 8.0, 45.0);
    ASSERT_TRUE(slice);
    EXPECT_EQ(slice->samples.size(), 45u * 44100u);
    EXPECT_GE(slice->decodedSamples, 53u * 44100u);
    EXPECT_LT(slice->decodedSamples, 54u * 44100u);

    // Stopping early changes no sample: the slice of a whole decode, value for value (48 kHz
    // stereo, so the decoder mixes and resamples).
    const QString sixty = dir.filePath(QStringLiteral("sixty.wav"));
    ASSERT_TRUE(synth::writeWav(sixty, synth::progression(9, synth::majorCadence(), 60.0, 48000), 48000, 2));
    const auto whole = decodeAudioFile(sixty);
    const auto early = decodeSliceForTest(sixty, 8.0, 45.0);
    ASSERT_TRUE(whole && early);
    EXPECT_LT(early->decodedSamples, whole->size() - 6u * 44100u);
    EXPECT_EQ(early->samples, sliceForTest(*whole, 8.0, 45.0));

    // A file that ends before the slice does is decoded to its end, as before.
    const QString twenty = dir.filePath(QStringLiteral("twenty.wav"));
    ASSERT_TRUE(synth::writeWav(twenty, synth::sine(440.0, 20.0, 48000.0, 0.5f), 48000, 1));
    const auto shortSlice = decodeSliceForTest(twenty, 8.0, 45.0);
    ASSERT_TRUE(shortSlice);
    EXPECT_EQ(shortSlice->decodedSamples, decodeAudioFile(twenty)->size());
    EXPECT_EQ(shortSlice->samples.size(), shortSlice->decodedSamples - 8u * 44100u);
}

} // namespace
