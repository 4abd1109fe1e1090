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

Backend backendNamed(const QString& name, bool* known)
{
    int index = 0;
    while (index < 3 && name != QLatin1String(kNames[index]))
        ++index;
    if (known)
        *known = index < 3;
    return index < 3 ? Backend(index) : Backend::Cpu;
}

Backend backendForThisMachine()
{
    return GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok() ? Backend::Cuda : Backend::Cpu;
}
