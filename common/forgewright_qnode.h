#pragma once

#include "qnode_base.h"

namespace forgewright {

// The ROS node of forgewright: registers as "forgewright" and spins from the moment it is constructed.
class QNode : public QNodeBase
{
    Q_OBJECT

public:
    QNode(int argc, char** argv) : QNodeBase(argc, argv, "forgewright") { launch(); }
};

} // namespace forgewright
