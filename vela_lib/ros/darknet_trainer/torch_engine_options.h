#pragma once

// How a LibTorch engine trains, as the executables choose it (no LibTorch headers here: the
// executables load the engine as a module).
struct TorchEngineOptions
{
    // On the first CUDA device rather than the CPU.
    bool cuda = false;
    // Autocast to 16-bit floats (fp16 on CUDA, bfloat16 on the CPU) with dynamic loss scaling;
    // master weights, their updates and the written weights stay fp32.
    bool mixedPrecision = false;
};
