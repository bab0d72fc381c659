#pragma once

// The Auto-Tune parameter record pushed to the plug-in by apply(). Single precision,
// as the plug-in stores them; units and ranges are those of the plug-in.
struct AutoTuneSettings {
    float retuneSpeed = 0;
    float humanize = 0;
    float flexTune = 0;
    float naturalVibrato = 0;
    float vibratoAmplitude = 0;
    float tracking = 0;
    float formantCorrection = 0;
    float throatLength = 0;
    float wetDry = 0;
    float correctionMode = 0;
    float inputType = 0;
    bool classicMode = false;
};
