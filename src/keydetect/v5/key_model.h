#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// The trained key model (ONNX, run by OpenCV's DNN module): input "cqt" of shape
// [1, 1, 72, 320] float32 in 0..1, output "probabilities" of 24 values in the class
// order of key_classes. Not thread-safe: use one instance from one thread at a time.
class KeyModel {
public:
    ~KeyModel();
    KeyModel(KeyModel&&) noexcept;
    KeyModel& operator=(KeyModel&&) noexcept;

    // Loads the model file; on failure returns nothing and sets `error`. OpenCV runs it
    // on one CPU thread: the detector is a background shadow and must not crowd the
    // desktop.
    static std::optional<KeyModel> load(const QString& path, QString* error);

    // Runs the model on one window's 23040 features. Nothing when the input does not
    // hold exactly 23040 values, when inference fails, or when the output is not 24
    // numbers.
    std::optional<std::vector<double>> predict(std::span<const float> features);

private:
    struct Net;
    explicit KeyModel(std::unique_ptr<Net> net);
    std::unique_ptr<Net> m_net;
};
