#pragma once

#include "backend.h"

#include <QString>

// The OpenCV DNN backend and target for a backend name ("CUDA", "Vulkan", "CPU"). A backend
// this OpenCV was built without falls back to the CPU, and says so on the debug log.
struct DnnBackend
{
    int backend = 0;
    int target = 0;
    Backend running = Backend::Cpu; // what actually runs

    static DnnBackend choose(const QString& requested);
};
