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
    const DnnBackend cpu{cv::dnn::DNN_BACKEND_OPENCV, cv::dnn::DNN_TARGET_CPU, Backend::Cpu};
    const Backend asked = backendNamed(requested);
    if (backendName(asked) != requested)
        qDebug().noquote() << "classifier: unknown backend" << requested << "- running on the CPU";
    if (asked == Backend::Cpu)
        return cpu;
    const DnnBackend wanted = asked == Backend::Cuda
                                  ? DnnBackend{cv::dnn::DNN_BACKEND_CUDA, cv::dnn::DNN_TARGET_CUDA, asked}
                                  : DnnBackend{cv::dnn::DNN_BACKEND_VKCOM, cv::dnn::DNN_TARGET_VULKAN, asked};
    if (available(cv::dnn::Backend(wanted.backend), cv::dnn::Target(wanted.target)))
        return wanted;
    qDebug().noquote() << "classifier: this OpenCV has no" << backendName(asked) << "backend; running on the CPU";
    return cpu;
}
