#include "pluginlink/plugin_ipc.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <algorithm>
#include <cstdio>

namespace PluginIPC {
namespace {

std::optional<qint64>& lastSeqSlot()
{
    static std::optional<qint64> seq;
    return seq;
}

MetaProvider& providerSlot()
{
    static MetaProvider provider;
    return provider;
}

void ensureDir()
{
    QDir().mkpath(dir());
}

QByteArray formatValue(double value)
{
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%.4f", value);
    return QByteArray(buffer, n > 0 ? std::min<int>(n, sizeof buffer - 1) : 0);
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
    return lastSeqSlot();
}

qint64 nowMillis()
{
    return QDateTime::currentMSecsSinceEpoch();
}

bool writeAtomically(const QString& filePath, const QByteArray& bytes)
{
    QSaveFile out(filePath);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    if (out.write(bytes) != bytes.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
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
        text += it.key().toUtf8() + '=' + formatValue(it.value()) + '\n';
    for (auto it = meta.cbegin(); it != meta.cend(); ++it) {
        if (!it.value().isEmpty())
            text += "meta_" + it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    }
    return text;
}

void write(const ParamMap& params, bool heartbeat)
{
    ensureDir();
    auto& seqSlot = lastSeqSlot();
    qint64 seq = 0;
    if (heartbeat && seqSlot) {
        seq = *seqSlot;
    } else {
        seq = nowMillis();
        seqSlot = seq;
    }
    const MetaProvider& provider = providerSlot();
    const QMap<QString, QString> meta = provider ? provider() : QMap<QString, QString>{};
    writeAtomically(file(), stateText(seq, params, meta));
}

void markAppQuit()
{
    if (!lastSeqSlot())
        return;
    ensureDir();
    writeAtomically(file(), "seq=" + QByteArray::number(nowMillis()) + "\nappRunning=0\n");
}

void chainLog(const QString& text)
{
    ensureDir();
    const QString logPath = path(kAppLogFile);
    const QByteArray line = text.toUtf8() + '\n';
    QFile log(logPath);
    if (log.exists()) {
        if (log.open(QIODevice::WriteOnly | QIODevice::Append))
            log.write(line);
        return;
    }
    writeAtomically(logPath, line);
}

void resetForTests()
{
    lastSeqSlot().reset();
    providerSlot() = nullptr;
}

} // namespace PluginIPC
