#include "cuda_driver.h"

#include <dlfcn.h>

#include <mutex>

namespace {

struct Answer
{
    bool found = false;
    CudaDriver::Device device;
    std::string why;
};

Answer ask()
{
    Answer answer;
    void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!driver) {
        answer.why = "libcuda.so.1, the NVIDIA driver, cannot be loaded";
        return answer;
    }
    using Init = int (*)(unsigned int);
    using Count = int (*)(int*);
    using Get = int (*)(int*, int);
    using Name = int (*)(char*, int, int);
    using Memory = int (*)(size_t*, int);
    const auto init = reinterpret_cast<Init>(dlsym(driver, "cuInit"));
    const auto count = reinterpret_cast<Count>(dlsym(driver, "cuDeviceGetCount"));
    const auto get = reinterpret_cast<Get>(dlsym(driver, "cuDeviceGet"));
    const auto name = reinterpret_cast<Name>(dlsym(driver, "cuDeviceGetName"));
    const auto memory = reinterpret_cast<Memory>(dlsym(driver, "cuDeviceTotalMem_v2"));
    int devices = 0;
    int handle = 0;
    int status = 0;
    if (!init || !count || !get) {
        answer.why = "the NVIDIA driver lacks its entry points";
    } else if ((status = init(0)) != 0) {
        answer.why = "the CUDA driver cannot start (error " + std::to_string(status) + ")";
    } else if (count(&devices) != 0 || devices < 1) {
        answer.why = "the CUDA driver finds no device";
    } else if (get(&handle, 0) != 0) {
        answer.why = "the CUDA driver cannot open its first device";
    } else {
        answer.found = true;
        char text[256] = {};
        if (name && name(text, int(sizeof text - 1), handle) == 0)
            answer.device.name = text;
        if (memory)
            memory(&answer.device.memory, handle);
    }
    // The driver stays loaded where a device is there: this process will use it anyway.
    if (!answer.found)
        dlclose(driver);
    return answer;
}

} // namespace

namespace CudaDriver {

bool firstDevice(Device* device, std::string* why)
{
    static std::once_flag asked;
    static Answer answer;
    std::call_once(asked, [] { answer = ask(); });
    if (device)
        *device = answer.device;
    if (why)
        *why = answer.why;
    return answer.found;
}

std::string describe(const Device& device)
{
    const std::string name = device.name.empty() ? "CUDA device 0" : device.name;
    if (device.memory == 0)
        return name;
    const size_t gib = (device.memory + (size_t(1) << 29)) >> 30;
    return name + ", " + std::to_string(gib) + " GiB";
}

size_t memoryInUse()
{
    void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!driver)
        return 0;
    using Info = int (*)(size_t*, size_t*);
    const auto info = reinterpret_cast<Info>(dlsym(driver, "cuMemGetInfo_v2"));
    size_t free = 0, total = 0;
    const bool known = info && info(&free, &total) == 0;
    dlclose(driver); // only the reference taken here
    return known ? total - free : 0;
}

} // namespace CudaDriver
