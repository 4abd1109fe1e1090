#include "qnode_base.h"

#include <ros/master.h>
#include <ros/node_handle.h>
#include <ros/ros.h>

#include <map>

QNodeBase::QNodeBase(int argc, char** argv, const char* nodeName)
    : QThread(nullptr), argc(argc), argv(argv), nodeName(nodeName)
{
}

void QNodeBase::launch()
{
    init();
    start();
}

QNodeBase::~QNodeBase()
{
    const bool spinning = keepThreadOutOfSpin();
    if (startedByInit && ros::isStarted()) {
        // While this handle lives, a spin that is only now making its own handle cannot start
        // the node again behind the shutdown (which would keep waitForShutdown() waiting).
        ros::NodeHandle holdStarted;
        ros::shutdown();
        ros::waitForShutdown();
    }
    if (spinning)
        endSpin();
    wait();
}

bool QNodeBase::init()
{
    ros::init(argc, argv, nodeName);
    return startIfMasterAnswers();
}

bool QNodeBase::init(const std::string& master_url, const std::string& host_url)
{
    std::map<std::string, std::string> remappings;
    remappings["__master"] = master_url;
    remappings["__hostname"] = host_url;
    ros::init(remappings, nodeName);
    return startIfMasterAnswers();
}

bool QNodeBase::startIfMasterAnswers()
{
    if (!ros::master::check())
        return false;
    ros::start();
    // A node handle for a moment: the node is fully up before init() returns.
    { ros::NodeHandle handle; }
    startedByInit = true;
    return true;
}

void QNodeBase::run()
{
    {
        QMutexLocker lock(&spinGate);
        if (stopRequested)
            return;
        spinEntered = true;
    }
    ros::spin();
}

bool QNodeBase::keepThreadOutOfSpin()
{
    QMutexLocker lock(&spinGate);
    stopRequested = true;
    return spinEntered;
}

// ros::spin() returns once ROS has shut down, but its node handle starts the node again when it
// is not running: without a master (init() false) it starts it itself and then waits inside
// ros::start() for a master that may never come, and a spin that makes its handle only after a
// shutdown restarts the node. So the shutdown is repeated until the thread has returned: one
// that lands before such a start is undone by it, one that lands during or after it ends the
// start and the spin (roscpp lets another thread shut down in the middle of ros::start()).
void QNodeBase::endSpin()
{
    const unsigned long shutdownRetryMs = 20;
    while (!wait(shutdownRetryMs))
        ros::shutdown();
}
