#include "keydetect/v5/key_model.h"

#include "keydetect/v5/cqt_layout.h"
#include "keydetect/v5/file_errors.h"

#include <QFileInfo>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

struct KeyModel::Net {
    cv::dnn::Net net;
};

KeyModel::KeyModel(std::unique_ptr<Net> net) : m_net(std::move(net)) {}
KeyModel::~KeyModel() = default;
KeyModel::KeyModel(KeyModel&&) noexcept = default;
KeyModel& KeyModel::operator=(KeyModel&&) noexcept = default;

std::optional<KeyModel> KeyModel::load(const QString& path, QString* error)
{
    if (!QFileInfo(path).isFile()) {
        *error = file_errors::noSuchFile(path);
        return std::nullopt;
    }
    try {
        cv::setNumThreads(1);
        auto net = std::make_unique<Net>();
        net->net = cv::dnn::readNetFromONNX(path.toStdString());
        if (net->net.empty()) {
            *error = QStringLiteral("The model “%1” holds no network.").arg(path);
            return std::nullopt;
        }
        net->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        return KeyModel(std::move(net));
    } catch (const cv::Exception& e) {
        *error =
            QStringLiteral("The model “%1” couldn’t be loaded: %2").arg(path, QString::fromStdString(e.msg));
        return std::nullopt;
    }
}

std::optional<std::vector<double>> KeyModel::predict(std::span<const float> features)
{
    if (features.size() != static_cast<std::size_t>(cqt_layout::kFeatureCount))
        return std::nullopt;
    try {
        const int shape[] = {1, 1, cqt_layout::kBins, cqt_layout::kFrames};
        cv::Mat input(4, shape, CV_32F);
        std::copy(features.begin(), features.end(), input.ptr<float>());
        m_net->net.setInput(input, "cqt");
        const cv::Mat output = m_net->net.forward("probabilities");
        if (output.total() != 24 || output.depth() != CV_32F)
            return std::nullopt;
        const float* values = output.ptr<float>();
        return std::vector<double>(values, values + 24);
    } catch (const cv::Exception&) {
        return std::nullopt;
    }
}
