#include "forgewright_qnode.h"

namespace forgewright {

QNode::QNode(int argc, char** argv)
    : QNodeBase(argc, argv, "forgewright")
{
    launch();
}

} // namespace forgewright
