#include "app/diagnostics_export.h"

#include "core/app_state.h"
#include "core/settings_store.h"
#include "diagnostics/diagnostic_exporter.h"

#include <QFileInfo>
#include <QSaveFile>

DiagnosticsExport exportDiagnostics(const QString& path)
{
    SettingsStore& settings = SettingsStore::shared();
    const AppState state(settings);
    const QString text =
        DiagnosticExporter::buildText(state, nullptr, DiagnosticExporter::Sources::defaults());

    const QString absolute = QFileInfo(path).absoluteFilePath();
    QSaveFile file(absolute);
    if (!file.open(QIODevice::WriteOnly))
        return {false, QStringLiteral("cannot write %1: %2").arg(absolute, file.errorString())};
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit())
        return {false, QStringLiteral("cannot write %1: %2").arg(absolute, file.errorString())};
    return {true, absolute};
}
