#pragma once

#include "platform/desktop_windows.h"

#include <QFuture>
#include <QThreadPool>
#include <atomic>
#include <functional>
#include <memory>

namespace platform {

// The one worker thread that owns the desktop connection and the recognition engine: both
// are made on the worker at its first job, kept for the run and destroyed there.
//
// Thread safety: the public calls are for one owning thread (the main thread); the futures
// finish on the worker. allowed() and grabCount() never wait for the worker.
class WindowReader {
public:
    using DesktopFactory = std::function<std::unique_ptr<DesktopWindows>()>;
    using RecognizerFactory = std::function<std::unique_ptr<TextRecognizer>()>;

    // The X11 desktop of $DISPLAY and Tesseract with chi_sim+eng.
    WindowReader();
    WindowReader(DesktopFactory desktop, RecognizerFactory recognizer);
    // Waits for the job under way, if any.
    ~WindowReader();
    WindowReader(const WindowReader&) = delete;
    WindowReader& operator=(const WindowReader&) = delete;

    QFuture<std::optional<DesktopWindowList>> list();
    // Grabs `area_px` of the window, enlarges it `upscale` times and recognises its lines; the
    // boxes are in the enlarged picture's pixels. Nothing when the grab or recognition failed.
    QFuture<std::optional<std::vector<TextLine>>> readStrip(quint32 window, QRect area_px, double upscale);

    // Whether a display with a window manager was there at the last look; asks the worker to
    // look again when it is idle, so the answer follows the desktop.
    bool allowed();
    // Grabs attempted so far.
    int grabCount() const { return m_grabs.load(); }

private:
    struct Worker;
    void probe();

    QThreadPool m_pool;
    std::unique_ptr<Worker> m_worker;
    std::atomic<bool> m_allowed{false};
    std::atomic<bool> m_probing{false};
    std::atomic<int> m_grabs{0};
};

// Enlarges a picture `factor` times with smooth filtering; the picture itself when the factor
// is not above 1 or a side would come out empty.
QImage upscale(const QImage& image, double factor);

} // namespace platform
