#pragma once

#include "network_holder.h"

namespace cpudarknetclassifier {

// Holder of a network loaded for the CPU backend, and for Vulkan.
class CPUVelaClassifier : public NetworkHolder
{
};

} // namespace cpudarknetclassifier
