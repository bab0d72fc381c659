#pragma once

// Every key of the persisted settings, in one place. The texts are what the user's
// settings file holds, so they never change.
namespace settings_keys {
inline constexpr char floatingBarStyle[] = "floatingBarStyle";
inline constexpr char simulateNotch[] = "simulateNotch";
inline constexpr char lastUsedTranspose[] = "lastUsedTranspose";
inline constexpr char lastUsedPreset[] = "lastUsedPreset";
inline constexpr char customAutoTuneSettings[] = "customAutoTuneSettings";
inline constexpr char lastUsedSettings[] = "lastUsedSettings";
inline constexpr char accompanimentChannelUID[] = "accompanimentChannelUID";
inline constexpr char privacyConsent[] = "privacy_consent_v1";
inline constexpr char serverBaseURL[] = "serverBaseURL";
inline constexpr char ocrPinnedPlayer[] = "ocrPinnedPlayer";
inline constexpr char otherPlayers[] = "otherPlayers";
// Followed by the application's short version ("?" when it has none).
inline constexpr char screenRecordingRequestedPrefix[] = "screenRecordingRequested-";
inline constexpr char pluginInstalledForAppVersion[] = "pluginInstalledForAppVersion";
// Bearer token of the key library service; a secret, never logged or shown.
inline constexpr char accessToken[] = "accessToken";
// "classic" (default) or "neural_first": which detector decides a key heard locally.
inline constexpr char keyDecisionEngine[] = "keyDecisionEngine";
} // namespace settings_keys
