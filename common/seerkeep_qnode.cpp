#include "seerkeep_qnode.h"

namespace seerkeep {

QNode::QNode(int argc, char** argv)
    : QNodeBase(argc, argv, "seerkeep")
{
    launch();
}

} // namespace seerkeep
