#include "dnn_backend.h"

#include <opencv2/dnn.hpp>

#include <QDebug>

#include <algorithm>

namespace {

bool available(cv::dnn::Backend backend, cv::dnn::Target target)
{
    const std::vector<cv::dnn::Target> targets = cv::dnn::getAvailableTargets(backend);
    return std::find(targets.begin(), targets.end(), target) != targets.end();
}

} // namespace

DnnBackend DnnBackend::choose(const QString& requested)
{
    DnnBackend cpu{cv::dnn::DNN_BACKEND_OPENCV, cv::dnn::DNN_TARGET_CPU, "CPU"};
    if (requested == "CUDA") {
        if (available(cv::dnn::DNN_BACKEND_CUDA, cv::dnn::DNN_TARGET_CUDA))
            return {cv::dnn::DNN_BACKEND_CUDA, cv::dnn::DNN_TARGET_CUDA, "CUDA"};
        qDebug().noquote() << "classifier: this OpenCV has no CUDA backend; running on the CPU";
        return cpu;
    }
    if (requested == "Vulkan") {
        if (available(cv::dnn::DNN_BACKEND_VKCOM, cv::dnn::DNN_TARGET_VULKAN))
            return {cv::dnn::DNN_BACKEND_VKCOM, cv::dnn::DNN_TARGET_VULKAN, "Vulkan"};
        qDebug().noquote() << "classifier: this OpenCV has no Vulkan backend; running on the CPU";
        return cpu;
    }
    if (requested != "CPU")
        qDebug().noquote() << "classifier: unknown backend" << requested << "- running on the CPU";
    return cpu;
}
