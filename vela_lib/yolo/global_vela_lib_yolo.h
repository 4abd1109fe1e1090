#pragma once

// Process-wide facts of the classifier library.
class GlobalVelaLibYolo
{
public:
    // True only when a CUDA device can be used: the CUDA driver library loads, initialises and
    // reports at least one device. Asked once per process and remembered; quick and quiet on a
    // machine without one.
    bool is_gpu_ok();

    static GlobalVelaLibYolo GlobalVelaLibYoloObject;
};
