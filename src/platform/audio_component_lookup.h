#pragma once

#include <QString>
#include <QStringList>
#include <QVersionNumber>
#include <memory>
#include <vector>

namespace platform {

// An audio-unit component description: three four-character codes plus the display
// name of the variant, which is what a platform without audio units can match on.
struct AudioComponentDescription {
    QString variant;
    QString type;
    QString subtype;
    QString manufacturer;
};

struct AudioComponent {
    QString name;
    QString path;
    QVersionNumber version;
};

// Lists the installed components matching a description, in enumeration order.
// Thread safety: any thread; reads the file system only.
class AudioComponentLookup {
public:
    virtual ~AudioComponentLookup() = default;
    virtual std::vector<AudioComponent> find(const AudioComponentDescription& description) const = 0;
};

// The Linux realisation: VST3 bundles in the standard folders whose bundle name or
// module-info names the variant.
class Vst3ComponentLookup : public AudioComponentLookup {
public:
    // ~/.vst3, /usr/lib/vst3, /usr/local/lib/vst3
    static QStringList standardFolders();
    explicit Vst3ComponentLookup(QStringList folders = standardFolders());
    std::vector<AudioComponent> find(const AudioComponentDescription& description) const override;

private:
    QStringList m_folders;
};

std::shared_ptr<AudioComponentLookup> defaultAudioComponentLookup();

// A component or bundle name reduced to lower-case letters and digits: "Auto-Tune Pro",
// "autotune_pro" and "AutoTunePro" all name the same thing.
QString looseName(const QString& text);

} // namespace platform
