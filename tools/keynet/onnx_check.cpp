// Checks the training tools against the detector's own code (run by export.py):
//   keynet_onnx_check MODEL.onnx INPUTS.f32 EXPECTED.f32 TOLERANCE
//     runs the exported model through the detector's loader (OpenCV DNN) and compares
//     with PyTorch's probabilities;
//   keynet_onnx_check --features BASIS.f32 WINDOW.f32 OUT.f32
//     writes the detector's features of 661500 resampled samples, for comparison with
//     the features the model was trained on.
#include "keydetect/v5/cqt.h"
#include "keydetect/v5/cqt_layout.h"
#include "keydetect/v5/key_model.h"
#include "keydetect/v5/v5_mode_output.h"

#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace {

int writeFeatures(const char* basisPath, const char* windowPath, const char* outPath)
{
    QString error;
    const auto basis = CqtBasis::load(QString::fromLocal8Bit(basisPath), &error);
    const auto window = v5_mode_output::readFloats(QString::fromLocal8Bit(windowPath));
    if (!basis || !window) {
        std::fprintf(stderr, "cannot read the basis or the window %s\n", qPrintable(error));
        return 1;
    }
    CqtFrontEnd frontEnd;
    return v5_mode_output::writeFloats(QString::fromLocal8Bit(outPath), frontEnd.features(*window, *basis))
               ? 0
               : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string_view(argv[1]) == "--features")
        return writeFeatures(argv[2], argv[3], argv[4]);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s MODEL.onnx INPUTS.f32 EXPECTED.f32 TOLERANCE\n", argv[0]);
        return 2;
    }
    QString error;
    auto model = KeyModel::load(QString::fromLocal8Bit(argv[1]), &error);
    if (!model) {
        std::fprintf(stderr, "model load: %s\n", qPrintable(error));
        return 1;
    }
    const auto inputs = v5_mode_output::readFloats(QString::fromLocal8Bit(argv[2]));
    const auto expected = v5_mode_output::readFloats(QString::fromLocal8Bit(argv[3]));
    const double tolerance = std::atof(argv[4]);
    const std::size_t n = cqt_layout::kFeatureCount;
    if (!inputs || !expected || inputs->size() % n != 0 || expected->size() != inputs->size() / n * 24) {
        std::fprintf(stderr, "unreadable or mismatched check files\n");
        return 1;
    }
    double worst = 0;
    for (std::size_t i = 0; i < inputs->size() / n; ++i) {
        const auto got = model->predict(std::span(*inputs).subspan(i * n, n));
        if (!got) {
            std::fprintf(stderr, "input %zu: prediction failed\n", i);
            return 1;
        }
        for (int c = 0; c < 24; ++c)
            worst = std::max(worst, std::abs((*got)[c] - double((*expected)[i * 24 + c])));
    }
    std::printf("OpenCV vs PyTorch: largest difference %.3g over %zu inputs (tolerance %.0e)\n", worst,
                inputs->size() / n, tolerance);
    return worst <= tolerance ? 0 : 1;
}
