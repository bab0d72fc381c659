#include "keydetect/v5/key_detector_v5.h"

#include "keydetect/v5/cqt_layout.h"
#include "keydetect/v5/file_errors.h"
#include "keydetect/v5/key_classes.h"
#include "keydetect/v5/windows.h"

#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>

const QString KeyDetectorV5::kModelFile = QStringLiteral("KeyNetV5.onnx");
const QString KeyDetectorV5::kBasisFile = QStringLiteral("keynet_v5_cqt_basis.f32");

KeyDetectorV5::KeyDetectorV5(std::function<std::optional<QString>()> resourceDir)
    : m_resourceDir(std::move(resourceDir))
{
    m_executor.setMaxThreadCount(1);
    m_executor.setExpiryTimeout(-1);
}

KeyDetectorV5::~KeyDetectorV5()
{
    m_executor.waitForDone();
}

bool KeyDetectorV5::sameScale(const QString& a, const QString& b)
{
    return key_classes::sameScale(a, b);
}

QFuture<KeyDetectorV5::Outcome> KeyDetectorV5::measure(std::vector<float> samples, double sampleRate_Hz)
{
    return QtConcurrent::run(&m_executor, [this, samples = std::move(samples), sampleRate_Hz] {
        return measureNow(samples, sampleRate_Hz);
    });
}

QFuture<std::optional<std::vector<float>>>
KeyDetectorV5::resampledForTest(std::vector<float> samples, double sampleRate_Hz, double startSeconds)
{
    return QtConcurrent::run(&m_executor, [this, samples = std::move(samples), sampleRate_Hz, startSeconds] {
        return resampledWindow(samples, sampleRate_Hz, startSeconds);
    });
}

QFuture<std::optional<std::vector<float>>>
KeyDetectorV5::cqtForTest(std::vector<float> samples, double sampleRate_Hz, double startSeconds)
{
    return QtConcurrent::run(&m_executor,
                             [this, samples = std::move(samples), sampleRate_Hz,
                              startSeconds]() -> std::optional<std::vector<float>> {
                                 const auto window = resampledWindow(samples, sampleRate_Hz, startSeconds);
                                 QString error;
                                 if (!window || !loadIfNeeded(&error))
                                     return std::nullopt;
                                 return cqt(*window);
                             });
}

QFuture<std::optional<std::vector<double>>> KeyDetectorV5::predictFeaturesForTest(std::vector<float> features)
{
    return QtConcurrent::run(&m_executor,
                             [this, features = std::move(features)]() -> std::optional<std::vector<double>> {
                                 QString error;
                                 if (!loadIfNeeded(&error))
                                     return std::nullopt;
                                 return predict(features);
                             });
}

bool KeyDetectorV5::loadIfNeeded(QString* error)
{
    if (m_model && m_basis)
        return true;
    const std::optional<QString> dir = m_resourceDir();
    if (!dir) {
        *error = QStringLiteral("no resource folder found");
        return false;
    }
    const QString modelPath = *dir + QLatin1Char('/') + kModelFile;
    const QString basisPath = *dir + QLatin1Char('/') + kBasisFile;
    for (const QString& path : {modelPath, basisPath}) {
        if (!QFileInfo::exists(path)) {
            *error = file_errors::noSuchFile(path);
            return false;
        }
    }
    m_model = KeyModel::load(modelPath, error);
    if (!m_model)
        return false;
    m_basis = CqtBasis::load(basisPath, error);
    if (!m_basis)
        return false;
    if (!m_frontEnd)
        m_frontEnd = std::make_unique<CqtFrontEnd>();
    return true;
}

std::optional<std::vector<float>> KeyDetectorV5::cqt(std::span<const float> samples22k)
{
    if (!m_basis || !m_frontEnd || samples22k.empty())
        return std::nullopt;
    return m_frontEnd->features(samples22k, *m_basis);
}

std::optional<std::vector<double>> KeyDetectorV5::predict(std::span<const float> features)
{
    if (!m_model)
        return std::nullopt;
    return m_model->predict(features);
}

std::optional<std::vector<float>> KeyDetectorV5::resampledWindow(const std::vector<float>& samples,
                                                                 double sampleRate_Hz,
                                                                 double startSeconds) const
{
    // A negative, infinite or not-a-number start would index outside the audio.
    const double first = sampleRate_Hz * startSeconds;
    if (!std::isfinite(first) || first < 0 || first > static_cast<double>(samples.size()))
        return std::nullopt;
    const auto start = static_cast<long long>(first);
    const long long length = std::max(0LL, v5_windows::windowLength(sampleRate_Hz));
    if (start + length > static_cast<long long>(samples.size()))
        return std::nullopt;
    return v5_windows::resampleWindow(std::span(samples).subspan(start, length), sampleRate_Hz);
}

KeyDetectorV5::Outcome KeyDetectorV5::measureNow(const std::vector<float>& samples, double sampleRate_Hz)
{
    const long long count = static_cast<long long>(samples.size());
    const long long window = v5_windows::windowLength(sampleRate_Hz);
    if (count < window)
        return {std::nullopt, QStringLiteral("audio too short")};
    QString loadError;
    if (!loadIfNeeded(&loadError))
        return {std::nullopt, QStringLiteral("model load: ") + loadError};

    std::vector<double> sum(key_classes::kClassCount, 0.0);
    std::vector<double> used;
    std::optional<QString> error;
    for (const double start : v5_windows::windowStarts(count, sampleRate_Hz)) {
        const auto i0 = static_cast<long long>(sampleRate_Hz * start);
        const long long length = std::min(count - i0, window);
        if (length <= 0)
            continue;
        const std::vector<float> resampled =
            v5_windows::resampleWindow(std::span(samples).subspan(i0, length), sampleRate_Hz);
        const auto features = cqt(resampled);
        const auto probabilities = features ? predict(*features) : std::nullopt;
        if (!probabilities) {
            error = QStringLiteral("CQT or model prediction failed");
            continue;
        }
        for (int i = 0; i < key_classes::kClassCount; ++i)
            sum[i] += (*probabilities)[i];
        used.push_back(start);
    }
    if (used.empty())
        return {std::nullopt, error.value_or(QStringLiteral("no complete 30-second window"))};

    for (double& p : sum)
        p /= static_cast<double>(used.size());
    const key_classes::Ranking ranking = key_classes::rankClasses(sum);
    Measurement m;
    m.key = key_classes::keyName(ranking.best);
    m.confidence = sum[ranking.best];
    m.margin = sum[ranking.best] - sum[ranking.second];
    m.probabilities = std::move(sum);
    m.windowStarts = std::move(used);
    return {std::move(m), QString()};
}
