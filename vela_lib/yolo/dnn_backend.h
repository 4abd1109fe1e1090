#pragma once

#include <QString>

// The OpenCV DNN backend and target for a backend name ("CUDA", "Vulkan", "CPU"). A backend
// this OpenCV was built without falls back to the CPU, and says so on the debug log.
struct DnnBackend
{
    int backend = 0;
    int target = 0;
    QString running; // what actually runs: "CUDA", "Vulkan" or "CPU"

    static DnnBackend choose(const QString& requested);
};
