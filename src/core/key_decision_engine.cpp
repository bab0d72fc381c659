#include "core/key_decision_engine.h"

QString keyDecisionEngineText(KeyDecisionEngine engine)
{
    switch (engine) {
    case KeyDecisionEngine::classic:
        return QStringLiteral("classic");
    case KeyDecisionEngine::neuralFirst:
        return QStringLiteral("neural_first");
    }
    return QStringLiteral("classic");
}

KeyDecisionEngine keyDecisionEngineFromText(const QString& text)
{
    return text == keyDecisionEngineText(KeyDecisionEngine::neuralFirst) ? KeyDecisionEngine::neuralFirst
                                                                         : KeyDecisionEngine::classic;
}
