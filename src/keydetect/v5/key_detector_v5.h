#pragma once

#include "keydetect/v5/cqt.h"
#include "keydetect/v5/key_model.h"

#include <QFuture>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The neural key detector: up to three 30-second windows of the audio, each resampled
// to 22050 Hz, turned into a 72 x 320 constant-Q spectrogram and classified by the key
// model; the class probabilities are averaged over the windows. It runs as a shadow
// beside the classic detector: its verdict is logged and reported, never decides.
//
// Thread safety: the detector stands for an actor. Every measurement and test call runs
// on the detector's own serial executor (one thread), so calls never overlap and the
// lazily loaded model and basis need no lock; the calls return futures, so a caller on
// the main thread never waits. `sameScale()` may be called from any thread. The model
// and the basis are loaded on first use and kept; a failed load is retried on the next
// call. The owner of the run holds one detector; test modes, tests and benchmarks make
// their own.
class KeyDetectorV5 {
public:
    struct Measurement {
        QString key;                       // e.g. "A 小调"
        double confidence = 0;             // mean probability of the winning class, 0..1
        double margin = 0;                 // its lead over the runner-up, 0..1
        std::vector<double> probabilities; // 24 mean class probabilities
        std::vector<double> windowStarts;  // seconds, of the windows that were used
    };

    // What one measurement gave: a verdict, or why there is none. Each measurement
    // carries its own error, whatever the detector measured before or since.
    struct Outcome {
        std::optional<Measurement> measurement;
        // Without a verdict: "audio too short", "model load: " + the reason, "CQT or model
        // prediction failed" or "no complete 30-second window". Empty with a verdict.
        QString error;
    };

    // Resource file names in the resource folder.
    static const QString kModelFile; // "KeyNetV5.onnx"
    static const QString kBasisFile; // "keynet_v5_cqt_basis.f32"

    // A detector that loads its files from the folder `resourceDir` returns (nothing:
    // no resource folder). The function is called on the executor at each load attempt.
    explicit KeyDetectorV5(std::function<std::optional<QString>()> resourceDir);
    // Waits for the running call to finish.
    ~KeyDetectorV5();
    KeyDetectorV5(const KeyDetectorV5&) = delete;
    KeyDetectorV5& operator=(const KeyDetectorV5&) = delete;

    // Measures mono `samples` at `sampleRate_Hz`: the verdict of the windows, or the
    // error when no window gave one.
    QFuture<Outcome> measure(std::vector<float> samples, double sampleRate_Hz);

    // True for the same key or a relative major/minor pair (see key_classes).
    static bool sameScale(const QString& a, const QString& b);

    // Test stages. The 661500 samples of the 30 s window starting at `startSeconds`
    // (nothing when the window does not fit the audio or starts before it; empty when
    // the rate is not positive).
    QFuture<std::optional<std::vector<float>>> resampledForTest(std::vector<float> samples,
                                                                double sampleRate_Hz, double startSeconds);
    // The window's 23040 features; nothing also when the model or basis cannot be loaded.
    QFuture<std::optional<std::vector<float>>> cqtForTest(std::vector<float> samples, double sampleRate_Hz,
                                                          double startSeconds);
    // The model's 24 probabilities for caller-supplied features; nothing when loading
    // fails or the list is not exactly 23040 values.
    QFuture<std::optional<std::vector<double>>> predictFeaturesForTest(std::vector<float> features);

private:
    // Executor only.
    Outcome measureNow(const std::vector<float>& samples, double sampleRate_Hz);
    bool loadIfNeeded(QString* error);
    std::optional<std::vector<float>> cqt(std::span<const float> samples22k);
    std::optional<std::vector<double>> predict(std::span<const float> features);
    std::optional<std::vector<float>> resampledWindow(const std::vector<float>& samples, double sampleRate_Hz,
                                                      double startSeconds) const;

    std::function<std::optional<QString>()> m_resourceDir;
    std::optional<KeyModel> m_model;
    std::optional<CqtBasis> m_basis;
    std::unique_ptr<CqtFrontEnd> m_frontEnd;
    QThreadPool m_executor; // last: destroyed (and drained) first
};
