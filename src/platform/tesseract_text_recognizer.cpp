#include "platform/tesseract_text_recognizer.h"

#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

namespace platform {
namespace {

// Mean grey below this: light text on a dark bar.
constexpr int kDarkBackground = 128;
// A quarter of the line's height on every side of a line read on its own.
constexpr int kLineMarginDivisor = 4;

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
    // Lines are found on the whole strip, then each is read on its own as one line: read as a
    // block, a short line of large CJK glyphs is split into pieces that the English model
    // claims (稻香 came back as "fae").
    m_api->SetPageSegMode(tesseract::PSM_SINGLE_BLOCK);
    Boxa* boxes = m_api->GetComponentImages(tesseract::RIL_TEXTLINE, true, nullptr, nullptr);
    if (boxes == nullptr) {
        m_api->Clear();
        return std::nullopt;
    }
    std::vector<TextLine> lines;
    m_api->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    const QRect whole = grey.rect();
    for (int i = 0; i < boxaGetCount(boxes); ++i) {
        l_int32 x = 0, y = 0, w = 0, h = 0;
        if (boxaGetBoxGeometry(boxes, i, &x, &y, &w, &h) != 0 || w < 1 || h < 1)
            continue;
        const QRect box(x, y, w, h);
        // Some margin around the glyphs, as a line recogniser expects.
        const int margin = h / kLineMarginDivisor;
        const QRect read = box.adjusted(-margin, -margin, margin, margin).intersected(whole);
        m_api->SetRectangle(read.x(), read.y(), read.width(), read.height());
        const std::unique_ptr<char[]> text(m_api->GetUTF8Text());
        if (!text)
            continue;
        QString line = QString::fromUtf8(text.get());
        while (line.endsWith(u'\n'))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            lines.push_back({line, box});
    }
    boxaDestroy(&boxes);
    m_api->Clear();
    return lines;
}

std::optional<QString> TesseractTextRecognizer::readLine(const QImage& image)
{
    if (!m_loaded || image.isNull() || image.width() < 1 || image.height() < 1)
        return std::nullopt;
    const QImage grey = darkOnLight(image);
    m_api->SetImage(grey.constBits(), grey.width(), grey.height(), 1, static_cast<int>(grey.bytesPerLine()));
    m_api->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    const std::unique_ptr<char[]> text(m_api->GetUTF8Text());
    m_api->Clear();
    if (!text)
        return QString();
    return QString::fromUtf8(text.get()).trimmed();
}

} // namespace platform
