#pragma once

#include <cstddef>
#include <string>

// The CUDA driver as seen through its own library, loaded at run time so that nothing here needs
// CUDA at build time and a machine without a GPU stays quick and quiet: whether a device is
// there, its name and its memory. Qt-free, for the programs and the trainer executables alike.
namespace CudaDriver {

struct Device
{
    std::string name;   // "NVIDIA H100 80GB HBM3"
    size_t memory = 0;  // bytes
};

// The first device, when the driver library loads, initialises and reports one; otherwise false
// with why as a short phrase ("libcuda.so.1, the NVIDIA driver, cannot be loaded"). Asked once
// per process and remembered.
bool firstDevice(Device* device, std::string* why);

// "NVIDIA H100 80GB HBM3, 80 GiB"
std::string describe(const Device& device);

// Bytes of device memory in use (total less free) as the calling thread's CUDA context sees
// them, whoever holds them; 0 without a context or a driver.
size_t memoryInUse();

} // namespace CudaDriver
