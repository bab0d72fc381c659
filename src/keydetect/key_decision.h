#pragma once

#include "core/key_decision_engine.h"
#include "keydetect/key_detector_v2.h"
#include "keydetect/v5/key_detector_v5.h"

#include <QString>
#include <optional>

// The rule that turns one measurement of both detectors into a decided key, shared by the
// local detection loop and the "--keytest-decide" test mode so that the bench shows what
// the running program would decide.
//
// Thread safety: pure, callable from any thread.
namespace key_decision {

// The evidence's "decision_engine" for each verdict that may decide.
inline constexpr char kClassicEngine[] = "shadow_v2";
inline constexpr char kNeuralEngine[] = "neural_v5";

// The neural verdict's confidence at which "neural_first" lets it decide. Chosen on held-out
// songs, also in a soundfont the model never heard (README, "识别引擎"): from here on 96 %
// of its answers were right, below it about 70 %.
inline constexpr double kNeuralConfidence = 0.70;

struct Decision {
    QString key;
    // The classic in-key rate, or the neural confidence, 0..1: the report's "confidence".
    double confidence = 0;
    QString engine; // kClassicEngine or kNeuralEngine
};

// "classic": the classic detector decides when it passes (consistent segments, in-key
// rate ≥ 0.75). "neuralFirst": a neural verdict with confidence ≥ kNeuralConfidence
// decides; otherwise the classic rule as above. Nothing when neither decides.
std::optional<Decision> decide(const KeyDetectorV2::Measurement& m2, const KeyDetectorV5::Measurement* m5,
                               KeyDecisionEngine engine);

} // namespace key_decision
