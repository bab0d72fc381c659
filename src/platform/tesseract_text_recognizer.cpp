#include "platform/tesseract_text_recognizer.h"

#include <omp.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

namespace platform {
namespace {

// Mean grey below this: light text on a dark bar.
constexpr int kDarkBackground = 128;

QImage darkOnLight(const QImage& image)
{
    QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    qint64 sum = 0;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x)
            sum += row[x];
    }
    const qint64 pixels = qint64(grey.width()) * grey.height();
    if (pixels > 0 && sum / pixels < kDarkBackground)
        grey.invertPixels();
    return grey;
}

} // namespace

void limitOpenMpToCallingThread()
{
    // No region started from this thread is active, so each runs on this thread alone, also
    // where Tesseract asks for a fixed number of threads.
    omp_set_max_active_levels(0);
    omp_set_num_threads(1);
}

TesseractTextRecognizer::TesseractTextRecognizer(const QByteArray& languages)
    : m_api(std::make_unique<tesseract::TessBaseAPI>())
{
    limitOpenMpToCallingThread();
    m_loaded = m_api->Init(nullptr, languages.constData(), tesseract::OEM_LSTM_ONLY) == 0;
    if (m_loaded) {
        m_api->SetPageSegMode(tesseract::PSM_AUTO);
        // Chinese text has no spaces between characters; keep Tesseract from inventing them.
        m_api->SetVariable("preserve_interword_spaces", "1");
        // The strips carry no resolution; say it rather than let Tesseract guess (and log) one.
        m_api->SetVariable("user_defined_dpi", "300");
    }
}

TesseractTextRecognizer::~TesseractTextRecognizer()
{
    if (m_loaded)
        m_api->End();
}

std::optional<std::vector<TextLine>> TesseractTextRecognizer::recognize(const QImage& image)
{
    if (!m_loaded || image.isNull() || image.width() < 1 || image.height() < 1)
        return std::nullopt;
    const QImage grey = darkOnLight(image);
    m_api->SetImage(grey.constBits(), grey.width(), grey.height(), 1, static_cast<int>(grey.bytesPerLine()));
    if (m_api->Recognize(nullptr) != 0) {
        m_api->Clear();
        return std::nullopt;
    }
    std::vector<TextLine> lines;
    std::unique_ptr<tesseract::ResultIterator> it(m_api->GetIterator());
    if (it) {
        do {
            if (it->Empty(tesseract::RIL_TEXTLINE))
                continue;
            const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            int left = 0, top = 0, right = 0, bottom = 0;
            if (!text || !it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom))
                continue;
            QString line = QString::fromUtf8(text.get());
            while (line.endsWith(u'\n'))
                line.chop(1);
            lines.push_back({line, QRect(QPoint(left, top), QPoint(right - 1, bottom - 1))});
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    m_api->Clear();
    return lines;
}

} // namespace platform
