#pragma once

#include <QString>

// Where a classifier runs. Saved states, the log and the library's callers carry it as its name:
// "CUDA", "Vulkan" or "CPU".
enum class Backend { Cuda, Vulkan, Cpu };

QString backendName(Backend backend);
// The backend a name stands for (case-sensitive); any other name runs on the CPU.
Backend backendNamed(const QString& name);
// CUDA where this machine has a usable CUDA device, else the CPU; Vulkan only when asked for.
Backend backendForThisMachine();
