#include "platform/window_reader.h"

#include "platform/tesseract_text_recognizer.h"
#include "platform/x11_desktop_windows.h"

#include <QPromise>
#include <memory>
#include <type_traits>

namespace platform {
namespace {

// Runs `job` on the pool and returns its future. Not QtConcurrent::run: a thread that waits on
// such a future takes a job not yet started off the pool and runs it itself, and then two
// threads share the connection and the engine.
template <typename Job> QFuture<std::invoke_result_t<Job>> runOn(QThreadPool& pool, Job job)
{
    using Result = std::invoke_result_t<Job>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    pool.start([promise, job = std::move(job)]() mutable {
        promise->addResult(job());
        promise->finish();
    });
    return future;
}

} // namespace

struct WindowReader::Worker {
    DesktopFactory makeDesktop;
    RecognizerFactory makeRecognizer;
    // Worker thread only.
    std::unique_ptr<DesktopWindows> desktop;
    std::unique_ptr<TextRecognizer> recognizer;

    DesktopWindows& windows()
    {
        if (!desktop)
            desktop = makeDesktop();
        return *desktop;
    }
    TextRecognizer& text()
    {
        if (!recognizer)
            recognizer = makeRecognizer();
        return *recognizer;
    }
};

WindowReader::WindowReader()
    : WindowReader([] { return std::make_unique<X11DesktopWindows>(); },
                   [] { return std::make_unique<TesseractTextRecognizer>(); })
{}

WindowReader::WindowReader(DesktopFactory desktop, RecognizerFactory recognizer)
    : m_worker(std::make_unique<Worker>(Worker{std::move(desktop), std::move(recognizer), nullptr, nullptr}))
{
    // One thread that never expires: the connection and the engine stay on it.
    m_pool.setMaxThreadCount(1);
    m_pool.setExpiryTimeout(-1);
    probe();
}

WindowReader::~WindowReader()
{
    Worker* worker = m_worker.get();
    // Destroyed on the thread that made them.
    m_pool.start([worker] {
        worker->recognizer.reset();
        worker->desktop.reset();
    });
    m_pool.waitForDone();
}

QFuture<std::optional<DesktopWindowList>> WindowReader::list()
{
    Worker* worker = m_worker.get();
    return runOn(m_pool, [this, worker] {
        auto windows = worker->windows().list();
        m_allowed = windows.has_value();
        return windows;
    });
}

QFuture<std::optional<std::vector<TextLine>>> WindowReader::readStrip(quint32 window, QRect area_px,
                                                                      double factor)
{
    Worker* worker = m_worker.get();
    return runOn(m_pool, [this, worker, window, area_px, factor] {
        ++m_grabs;
        const auto image = worker->windows().grab(window, area_px);
        if (!image)
            return std::optional<std::vector<TextLine>>();
        return worker->text().recognize(upscale(*image, factor));
    });
}

bool WindowReader::allowed()
{
    probe();
    return m_allowed.load();
}

void WindowReader::probe()
{
    if (m_probing.exchange(true))
        return;
    Worker* worker = m_worker.get();
    m_pool.start([this, worker] {
        m_allowed = worker->windows().list().has_value();
        m_probing = false;
    });
}

QImage upscale(const QImage& image, double factor)
{
    const int width = static_cast<int>(image.width() * factor);
    const int height = static_cast<int>(image.height() * factor);
    if (!(factor > 1.0) || width < 1 || height < 1)
        return image;
    QImage out = image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return out.isNull() ? image : out;
}

} // namespace platform
