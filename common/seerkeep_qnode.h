#pragma once

#include "qnode_base.h"

namespace seerkeep {

// The ROS node of seerkeep: registers as "seerkeep" and spins from the moment it is constructed.
class QNode : public QNodeBase
{
    Q_OBJECT

public:
    QNode(int argc, char** argv) : QNodeBase(argc, argv, "seerkeep") { launch(); }
};

} // namespace seerkeep
