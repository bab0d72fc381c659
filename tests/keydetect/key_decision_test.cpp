#include "core/key_decision_engine.h"
#include "keydetect/key_decision.h"

#include <gtest/gtest.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

KeyDetectorV2::Measurement classic(bool consistent, double inKeyRate)
{
    return {u("C 大调"), {u("C 大调"), u("A 小调"), u("C 大调")}, consistent, inKeyRate};
}

KeyDetectorV5::Measurement neural(double confidence)
{
    return {u("G 大调"), confidence, 0.2, {}, {}};
}

} // namespace

TEST(KeyDecision, EachEngineDecidesOnlyWhatItMay)
{
    const auto sure = classic(true, 0.80);
    const auto unsure = classic(true, 0.74);
    const auto torn = classic(false, 0.90);
    const auto confident = neural(key_decision::kNeuralConfidence);
    const auto doubtful = neural(key_decision::kNeuralConfidence - 0.001);
    struct Case {
        const char* name;
        const KeyDetectorV2::Measurement* m2;
        const KeyDetectorV5::Measurement* m5;
        KeyDecisionEngine engine;
        const char* key; // nullptr: undecided
        const char* engineName;
        double confidence;
    };
    const Case cases[] = {
        {"classic passes", &sure, &confident, KeyDecisionEngine::classic, "C 大调", "shadow_v2", 0.80},
        {"classic never takes the model", &unsure, &confident, KeyDecisionEngine::classic, nullptr, "", 0},
        {"classic needs consistent segments", &torn, nullptr, KeyDecisionEngine::classic, nullptr, "", 0},
        {"confident model decides first", &sure, &confident, KeyDecisionEngine::neuralFirst, "G 大调",
         "neural_v5", key_decision::kNeuralConfidence},
        {"doubtful model leaves it to classic", &sure, &doubtful, KeyDecisionEngine::neuralFirst, "C 大调",
         "shadow_v2", 0.80},
        {"no verdict leaves it to classic", &unsure, nullptr, KeyDecisionEngine::neuralFirst, nullptr, "", 0},
        {"doubtful model and unsure classic", &unsure, &doubtful, KeyDecisionEngine::neuralFirst, nullptr, "",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto decision = key_decision::decide(*c.m2, c.m5, c.engine);
        ASSERT_EQ(decision.has_value(), c.key != nullptr);
        if (!decision)
            continue;
        EXPECT_EQ(decision->key, u(c.key));
        EXPECT_EQ(decision->engine, u(c.engineName));
        EXPECT_DOUBLE_EQ(decision->confidence, c.confidence);
    }
}

TEST(KeyDecision, StoredEngineTextsRoundTripAndAnythingElseIsClassic)
{
    for (KeyDecisionEngine e : {KeyDecisionEngine::classic, KeyDecisionEngine::neuralFirst})
        EXPECT_EQ(keyDecisionEngineFromText(keyDecisionEngineText(e)), e);
    for (const char* stored : {"", "Neural_First", "neural_first ", "neural", "\x01"})
        EXPECT_EQ(keyDecisionEngineFromText(u(stored)), KeyDecisionEngine::classic) << stored;
}
