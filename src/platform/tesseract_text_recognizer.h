#pragma once

#include "platform/desktop_windows.h"

#include <QByteArray>
#include <memory>

namespace tesseract {
class TessBaseAPI;
}

namespace platform {

// Tesseract with Simplified Chinese and English, loaded once and kept. Pictures are read as
// greyscale, inverted when the text is light on dark (Tesseract reads dark on light best);
// the text lines are found on the whole picture and each is then read as a single line.
//
// Thread safety: as TextRecognizer (one thread). The first object limits OpenMP on its thread
// to one thread: the bar's lines are short and the worker shares the machine with audio.
class TesseractTextRecognizer final : public TextRecognizer {
public:
    // `languages` as Tesseract spells them; loading failures make every recognition fail.
    explicit TesseractTextRecognizer(const QByteArray& languages = "chi_sim+eng");
    ~TesseractTextRecognizer() override;
    TesseractTextRecognizer(const TesseractTextRecognizer&) = delete;
    TesseractTextRecognizer& operator=(const TesseractTextRecognizer&) = delete;

    std::optional<std::vector<TextLine>> recognize(const QImage& image) override;
    // Reads the whole of `image` as one line of text (a label cut out of a screenshot);
    // nullopt when Tesseract is not loaded or the picture is empty.
    std::optional<QString> readLine(const QImage& image);
    bool loaded() const { return m_loaded; }

private:
    std::unique_ptr<tesseract::TessBaseAPI> m_api;
    bool m_loaded = false;
};

// Makes OpenMP regions started from the calling thread run on that thread alone. The
// runtime reads OMP_THREAD_LIMIT only when it loads, before main(), so the limit is set here.
void limitOpenMpToCallingThread();

} // namespace platform
