#include "global_vela_lib_yolo.h"

#include <dlfcn.h>

#include <mutex>

GlobalVelaLibYolo GlobalVelaLibYolo::GlobalVelaLibYoloObject;

namespace {

// The driver API is loaded at run time so that the library needs no CUDA at build time and
// runs unchanged on machines without a GPU.
bool queryCudaDevice()
{
    void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!driver)
        return false;
    using InitFn = int (*)(unsigned int);
    using CountFn = int (*)(int*);
    auto cuInit = reinterpret_cast<InitFn>(dlsym(driver, "cuInit"));
    auto cuDeviceGetCount = reinterpret_cast<CountFn>(dlsym(driver, "cuDeviceGetCount"));
    int count = 0;
    const bool usable = cuInit && cuDeviceGetCount && cuInit(0) == 0 && cuDeviceGetCount(&count) == 0 && count > 0;
    // The driver stays loaded: a usable GPU will be used by this process anyway.
    if (!usable)
        dlclose(driver);
    return usable;
}

} // namespace

bool GlobalVelaLibYolo::is_gpu_ok()
{
    static std::once_flag asked;
    static bool usable = false;
    std::call_once(asked, [] { usable = queryCudaDevice(); });
    return usable;
}
