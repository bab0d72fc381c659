// The diagnostics export ends, and says so, when a job it waits for ends without a result.
#include "core/app_state.h"
#include "support/temp_home.h"
#include "ui/diagnostics_saver.h"

#include <QFuture>
#include <QPromise>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

// A future that finishes without a result, as a job whose producer gave up.
template <typename T> QFuture<T> endedEmpty()
{
    QPromise<T> promise;
    promise.start();
    promise.finish();
    return promise.future();
}

TEST(DiagnosticsSaver, AJobThatEndsWithoutAResultEndsTheExport)
{
    for (const bool gathered : {false, true}) {
        const QString message = QString::fromUtf8(gathered ? "保存失败：写入没有完成" : "收集诊断信息失败");
        SCOPED_TRACE(message.toStdString());
        TempHome home;
        AppState state(home.settings());
        DiagnosticsSaver saver(state, nullptr, [&](diagnostic_report::Facts) {
            return gathered ? QtFuture::makeReadyFuture(QStringLiteral("report")) : endedEmpty<QString>();
        });
        saver.setAskLocation([&](QString, std::stop_token) -> QCoro::Task<std::optional<QString>> {
            co_return home.path() + QStringLiteral("/report.txt");
        });
        saver.setWrite(
            [](const QString&, const QString&) { return endedEmpty<DiagnosticsSaver::WriteResult>(); });
        QSignalSpy finished(&saver, &DiagnosticsSaver::exportFinished);
        QSignalSpy working(&saver, &DiagnosticsSaver::workingChanged);

        saver.exportDiagnostics();
        EXPECT_TRUE(!finished.isEmpty() || finished.wait(10000));
        EXPECT_FALSE(saver.working());
        EXPECT_EQ(working.count(), 2);
        EXPECT_EQ(saver.diagMessage(), message);
        EXPECT_FALSE(saver.diagFileURL().isValid());
    }
}

} // namespace
