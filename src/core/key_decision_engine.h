#pragma once

#include <QString>

// Which verdict decides a locally measured key: the classic detector alone (as shipped),
// or the neural detector when it is confident enough, the classic detector otherwise.
// Stored as the setting "keyDecisionEngine".
enum class KeyDecisionEngine { classic, neuralFirst };

// "classic" / "neural_first": the setting's stored texts.
QString keyDecisionEngineText(KeyDecisionEngine engine);
// An absent, unknown or damaged stored text is the default, "classic".
KeyDecisionEngine keyDecisionEngineFromText(const QString& text);
