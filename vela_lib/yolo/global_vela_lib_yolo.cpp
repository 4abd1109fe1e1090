#include "global_vela_lib_yolo.h"

#include "cuda_driver.h"

GlobalVelaLibYolo GlobalVelaLibYolo::GlobalVelaLibYoloObject;

// The driver is asked at run time (CudaDriver), so that the library needs no CUDA at build time
// and runs unchanged on machines without a GPU.
bool GlobalVelaLibYolo::is_gpu_ok()
{
    return CudaDriver::firstDevice(nullptr, nullptr);
}
