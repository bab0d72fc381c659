#pragma once

#include <QMap>
#include <QString>
#include <optional>

class SettingsStore;

// The Auto-Tune parameter record pushed to the plug-in by apply(). Single precision,
// as the plug-in stores them; all values are normalised to 0..1.
//
// Persistence: a dictionary of the twelve field names to doubles ("classicMode" 1.0 or
// 0.0). A stored dictionary whose field is missing, not a number or not finite gives that
// field its default below and keeps the others as stored.
//
// Thread safety: plain value; load and save use the store, so the main thread.
struct AutoTuneSettings {
    float retuneSpeed = 0.3f;
    float humanize = 0.0f;
    float flexTune = 0.0f;
    float naturalVibrato = 0.5f;
    float vibratoAmplitude = 0.3f;
    float tracking = 0.494949f;
    float formantCorrection = 1.0f;
    float throatLength = 0.5f;
    float wetDry = 1.0f;
    float correctionMode = 0.0f;
    float inputType = 0.25f;
    bool classicMode = false;

    friend bool operator==(const AutoTuneSettings&, const AutoTuneSettings&) = default;

    QMap<QString, double> toDictionary() const;
    static AutoTuneSettings fromDictionary(const QMap<QString, double>& values);

    void saveAsCustom(SettingsStore& store) const;
    void saveAsLastUsed(SettingsStore& store) const;
    static std::optional<AutoTuneSettings> loadCustom(const SettingsStore& store);
    static std::optional<AutoTuneSettings> loadLastUsed(const SettingsStore& store);
};
