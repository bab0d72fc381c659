#include "keydetect/key_decision.h"

namespace key_decision {

namespace {

std::optional<Decision> classic(const KeyDetectorV2::Measurement& m2)
{
    if (!KeyDetectorV2::passes(m2) || !m2.key)
        return std::nullopt;
    return Decision{*m2.key, m2.inKeyRate, QString::fromLatin1(kClassicEngine)};
}

} // namespace

std::optional<Decision> decide(const KeyDetectorV2::Measurement& m2, const KeyDetectorV5::Measurement* m5,
                               KeyDecisionEngine engine)
{
    switch (engine) {
    case KeyDecisionEngine::classic:
        return classic(m2);
    case KeyDecisionEngine::neuralFirst:
        if (m5 && !m5->key.isEmpty() && m5->confidence >= kNeuralConfidence)
            return Decision{m5->key, m5->confidence, QString::fromLatin1(kNeuralEngine)};
        return classic(m2);
    }
    return classic(m2);
}

} // namespace key_decision
