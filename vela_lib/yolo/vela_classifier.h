#pragma once

#include <opencv2/dnn.hpp>

#include <memory>

namespace darknetclassifier {

// Holder of a network loaded for the CUDA backend; "Vulkan", like "CPU", uses the CPU holder.
class VelaClassifier
{
public:
    // Set while a network is loaded.
    std::unique_ptr<cv::dnn::Net> net;

    bool has_network() const { return static_cast<bool>(net); }
    // Frees the loaded network; the holder can be loaded again.
    void delete_classifier();
};

} // namespace darknetclassifier
