#include "backend.h"

#include "global_vela_lib_yolo.h"

QString backendName(Backend backend)
{
    switch (backend) {
    case Backend::Cuda:
        return QStringLiteral("CUDA");
    case Backend::Vulkan:
        return QStringLiteral("Vulkan");
    case Backend::Cpu:
        break;
    }
    return QStringLiteral("CPU");
}

Backend backendNamed(const QString& name, bool* known)
{
    for (const Backend backend : {Backend::Cuda, Backend::Vulkan, Backend::Cpu}) {
        if (name == backendName(backend)) {
            if (known)
                *known = true;
            return backend;
        }
    }
    if (known)
        *known = false;
    return Backend::Cpu;
}

Backend backendForThisMachine()
{
    return GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok() ? Backend::Cuda : Backend::Cpu;
}
