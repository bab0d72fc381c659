#include "ui/save_file_dialog.h"

#include "core/cancellation.h"

#include <QCoro/QCoroSignal>
#include <QFileDialog>
#include <QPointer>

QCoro::Task<std::optional<QString>> askSaveTextFile(QString title, QString proposedPath, std::stop_token stop)
{
    if (stop.stop_requested())
        co_return std::nullopt;
    QPointer<QFileDialog> dialog =
        new QFileDialog(nullptr, title, proposedPath, QStringLiteral("纯文本 (*.txt)"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    dialog->selectFile(proposedPath);
    // Our panels stay above other windows; the dialog has to come out on top of them.
    dialog->setWindowFlag(Qt::WindowStaysOnTopHint);

    auto waker = std::make_unique<cancellation::Waker>();
    QObject::connect(dialog.data(), &QDialog::finished, waker.get(), &cancellation::Waker::wake);
    const cancellation::StopGuard guard(stop, waker.get(), [dialog] {
        if (dialog)
            dialog->reject();
    });
    dialog->open();
    dialog->raise();
    dialog->activateWindow();
    co_await qCoro(waker.get(), &cancellation::Waker::woken);

    std::optional<QString> chosen;
    if (dialog && !stop.stop_requested() && dialog->result() == QDialog::Accepted &&
        !dialog->selectedFiles().isEmpty())
        chosen = dialog->selectedFiles().constFirst();
    if (dialog)
        dialog->deleteLater();
    co_return chosen;
}
