#include "backend.h"

#include "global_vela_lib_yolo.h"

namespace {

// By the enumeration's order.
const char* const kNames[] = {"CUDA", "Vulkan", "CPU"};

} // namespace

QString backendName(Backend backend)
{
    return QString::fromLatin1(kNames[int(backend)]);
}

Backend backendNamed(const QString& name)
{
    for (const Backend backend : {Backend::Cuda, Backend::Vulkan}) {
        if (name == backendName(backend))
            return backend;
    }
    return Backend::Cpu;
}

Backend backendForThisMachine()
{
    return GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok() ? Backend::Cuda : Backend::Cpu;
}
