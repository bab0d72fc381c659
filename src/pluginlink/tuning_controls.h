#pragma once

#include "pluginlink/auto_tune_settings.h"
#include "pluginlink/plugin_ipc.h"

#include <QObject>
#include <QString>
#include <optional>

class AppState;
class AutoTuneSyncer;
class SettingsStore;

// The tuning panel's logic without its view: the slider values, what each control change
// sends to the plug-in and stores, presets (apply, recognise, save as "custom"), the
// start-up restore, and the change sets the user makes inside the plug-in. The retune
// intensity and the input type live in AppState (`retune`, `typeIndex`); the other
// controls here. A view binds to the properties and calls the slots.
//
// Control handlers run when a value really changes, whoever changed it (the state notifies
// on equal assignments too, so values are compared).
//
// Thread safety: main thread only. The state, syncer and store must outlive the object.
class TuningControls : public QObject {
    Q_OBJECT
    Q_PROPERTY(double humanize READ humanize WRITE setHumanize NOTIFY humanizeChanged)
    Q_PROPERTY(double vibratoAmplitude READ vibratoAmplitude WRITE setVibratoAmplitude NOTIFY
                   vibratoAmplitudeChanged)
    Q_PROPERTY(double flexTune READ flexTune WRITE setFlexTune NOTIFY flexTuneChanged)
    Q_PROPERTY(double naturalVibrato READ naturalVibrato WRITE setNaturalVibrato NOTIFY naturalVibratoChanged)
    Q_PROPERTY(double tracking READ tracking WRITE setTracking NOTIFY trackingChanged)
    Q_PROPERTY(double formant READ formant WRITE setFormant NOTIFY formantChanged)
    Q_PROPERTY(double throat READ throat WRITE setThroat NOTIFY throatChanged)
    Q_PROPERTY(double wetDry READ wetDry WRITE setWetDry NOTIFY wetDryChanged)
    Q_PROPERTY(bool classicMode READ classicMode WRITE setClassicMode NOTIFY classicModeChanged)
    Q_PROPERTY(bool hostParamsReady READ hostParamsReady NOTIFY hostParamsReadyChanged)

public:
    TuningControls(AppState& state, AutoTuneSyncer& syncer, SettingsStore& store, QObject* parent = nullptr);

    double humanize() const { return m_humanize; }
    double vibratoAmplitude() const { return m_vibratoAmplitude; }
    double flexTune() const { return m_flexTune; }
    double naturalVibrato() const { return m_naturalVibrato; }
    double tracking() const { return m_tracking; }
    double formant() const { return m_formant; }
    double throat() const { return m_throat; }
    double wetDry() const { return m_wetDry; }
    bool classicMode() const { return m_classicMode; }
    void setHumanize(double v);
    void setVibratoAmplitude(double v);
    void setFlexTune(double v);
    void setNaturalVibrato(double v);
    void setTracking(double v);
    void setFormant(double v);
    void setThroat(double v);
    void setWetDry(double v);
    void setClassicMode(bool on);

    // The record the controls describe.
    AutoTuneSettings currentSettings() const;
    std::optional<AutoTuneSettings> presetSettings(const QString& name) const;
    // Discards the plug-in's pending change set, pushes the record, then sets the controls
    // (never the input type).
    void applyPresetSettings(const AutoTuneSettings& record);

    // Start-up restore, in the order panel start runs them.
    void restoreHasCustomPreset();
    // The last-used record into the controls and the stored transposition; false when none.
    bool restoreLastUsed();
    // The stored preset name, then that preset (or "default") applied.
    void restoreSelectedPreset();
    // From now on the plug-in's change sets are applied.
    void setHostParamsReady();
    bool hostParamsReady() const { return m_hostParamsReady; }

    // Applies one change set the plug-in wrote back.
    void applyHostParamChanges(const PluginIPC::ParamMap& map);

public slots:
    void persistLastUsed();
    void saveCustomPreset();
    void stashCustomFromCurrent();
    void selectPresetForCurrentSettings();
    // The retune-intensity slider's drag; its end makes the controls the custom preset.
    void beginIntensityDrag();
    void endIntensityDrag();
    // An input-type chip: sets the type and makes the controls the custom preset.
    void pickInputType(int index);
    // A preset card: a built-in name or "custom" ("我的").
    void tapPresetCard(const QString& name);

signals:
    void humanizeChanged();
    void vibratoAmplitudeChanged();
    void flexTuneChanged();
    void naturalVibratoChanged();
    void trackingChanged();
    void formantChanged();
    void throatChanged();
    void wetDryChanged();
    void classicModeChanged();
    void hostParamsReadyChanged();
    void intensityDraggingChanged();

private:
    // The handler every control change runs: one entry to the plug-in, then the record.
    void controlChanged(const char* entry, double value);
    void onRetuneChanged();
    void onTypeIndexChanged();
    void onPresetChanged();
    void onConnectedChanged();
    void onHostParamsChanged();
    void applyHostKeyScale(const PluginIPC::ParamMap& map);
    // Sets a slider and runs its handler when the value changed.
    bool setSlider(double& field, double value, void (TuningControls::*notify)());

    AppState& m_state;
    AutoTuneSyncer& m_syncer;
    SettingsStore& m_store;

    double m_humanize = 0.0;
    double m_vibratoAmplitude = 0.3;
    double m_flexTune = 0.0;
    double m_naturalVibrato = 0.5;
    double m_tracking = 49.0 / 99.0;
    double m_formant = 1.0;
    double m_throat = 0.5;
    double m_wetDry = 1.0;
    bool m_classicMode = false;
    bool m_intensityDragging = false;
    bool m_hostParamsReady = false;

    // What the state held when its handler last ran, to tell a change from a notification.
    double m_seenRetune;
    int m_seenTypeIndex;
    QString m_seenPreset;
    bool m_seenConnected;
};
