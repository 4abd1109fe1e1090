#pragma once

#include "network_holder.h"

namespace darknetclassifier {

// Holder of a network loaded for the CUDA backend; "Vulkan", like "CPU", uses the CPU holder.
class VelaClassifier : public NetworkHolder
{
};

} // namespace darknetclassifier
