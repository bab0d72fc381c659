#include "pluginlink/plugin_ipc.h"

#include "core/atomic_file.h"
#include "core/capped_log.h"
#include "core/number_format.h"
#include "core/single_line.h"

#include <QDateTime>
#include <QDir>
#include <limits>

namespace PluginIPC {
namespace {

struct Seqs {
    std::optional<qint64> lastWrite;  // last non-heartbeat state write (lastSeq)
    std::optional<qint64> lastIssued; // last seq written in any record, the quit record included
};

Seqs& seqs()
{
    static Seqs s;
    return s;
}

MetaProvider& providerSlot()
{
    static MetaProvider provider;
    return provider;
}

Clock& clockSlot()
{
    static Clock clock;
    return clock;
}

void ensureDir()
{
    QDir().mkpath(dir());
}

qint64 issueSeq()
{
    Seqs& s = seqs();
    s.lastIssued = nextSeq(s.lastIssued, nowMillis());
    return *s.lastIssued;
}

QByteArray lineText(const QString& text)
{
    return singleLine(text).toUtf8();
}

} // namespace

QString dir()
{
    return QDir::homePath() + QStringLiteral("/Library/Application Support/Tonivox");
}

QString path(const char* fileName)
{
    return dir() + QLatin1Char('/') + QLatin1String(fileName);
}

QString file()
{
    return path(kStateFile);
}

void setMetaProvider(MetaProvider provider)
{
    providerSlot() = std::move(provider);
}

std::optional<qint64> lastSeq()
{
    return seqs().lastWrite;
}

qint64 nextSeq(std::optional<qint64> lastIssued, qint64 now_ms)
{
    if (!lastIssued || now_ms > *lastIssued)
        return now_ms;
    return *lastIssued == std::numeric_limits<qint64>::max() ? *lastIssued : *lastIssued + 1;
}

qint64 nowMillis()
{
    const Clock& clock = clockSlot();
    return clock ? clock() : QDateTime::currentMSecsSinceEpoch();
}

void setClock(Clock clock)
{
    clockSlot() = std::move(clock);
}

bool writeAtomically(const QString& filePath, const QByteArray& bytes)
{
    return replaceFileAtomically(filePath, bytes);
}

QByteArray stateText(qint64 seq, const ParamMap& params, const QMap<QString, QString>& meta)
{
    QByteArray text;
    text.reserve(512);
    text += "seq=" + QByteArray::number(seq) + '\n';
    text += "appRunning=1\n";
    // QMap orders QString keys by UTF-16 code units, which equals code-point order for
    // the ASCII names the map holds.
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        text += lineText(it.key()) + '=' + number_format::fixed(it.value(), 4) + '\n';
    for (auto it = meta.cbegin(); it != meta.cend(); ++it) {
        if (!it.value().isEmpty())
            text += "meta_" + lineText(it.key()) + '=' + lineText(it.value()) + '\n';
    }
    return text;
}

void write(const ParamMap& params, bool heartbeat)
{
    ensureDir();
    Seqs& s = seqs();
    if (!heartbeat || !s.lastWrite)
        s.lastWrite = issueSeq();
    const MetaProvider& provider = providerSlot();
    const QMap<QString, QString> meta = provider ? provider() : QMap<QString, QString>{};
    writeAtomically(file(), stateText(*s.lastWrite, params, meta));
}

void markAppQuit()
{
    if (!seqs().lastWrite)
        return;
    ensureDir();
    writeAtomically(file(), "seq=" + QByteArray::number(issueSeq()) + "\nappRunning=0\n");
}

void chainLog(const QString& text)
{
    ensureDir();
    capped_log::appendLine(path(kAppLogFile), text);
}

void resetForTests()
{
    seqs() = {};
    providerSlot() = nullptr;
    clockSlot() = nullptr;
}

} // namespace PluginIPC
