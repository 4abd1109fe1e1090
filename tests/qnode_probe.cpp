// A small program around one ROS node, for test_qnode: roscpp keeps its state per process and
// initialises once, so every scenario runs in a fresh process of its own. It prints what it
// observes as "key=value" lines.
//
//   qnode_probe forgewright|seerkeep spin [ros arguments...]
//       constructs the program's QNode, reports, destroys it and reports again
//   qnode_probe forgewright|seerkeep spin-at-once [ros arguments...]
//       constructs the program's QNode and destroys it straight away, then reports
//   qnode_probe forgewright|seerkeep spin-until-started
//       like spin, but destroys the node only once its spinning thread has started ROS
//   qnode_probe remap MASTER_URL HOST
//       init(MASTER_URL, HOST) on a node that has not been initialised yet

#include "forgewright_qnode.h"
#include "seerkeep_qnode.h"

#include <ros/master.h>
#include <ros/network.h>
#include <ros/ros.h>
#include <ros/this_node.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

void report(const char* key, const std::string& value)
{
    std::printf("%s=%s\n", key, value.c_str());
    std::fflush(stdout);
}

void report(const char* key, bool value) { report(key, std::string(value ? "1" : "0")); }

std::string registeredNodes()
{
    std::vector<std::string> nodes;
    if (!ros::master::getNodes(nodes))
        return "?";
    std::string joined;
    for (const std::string& node : nodes)
        joined += node + ";";
    return joined;
}

// A node built from the shared class without the program constructor's init() and thread, so
// that init(master, host) is the first ROS initialisation of the process.
class BareNode : public QNodeBase
{
public:
    BareNode(int argc, char** argv) : QNodeBase(argc, argv, "bare") {}
    using QNodeBase::start;
};

std::unique_ptr<QNodeBase> makeProgramNode(const std::string& program, int argc, char** argv)
{
    if (program == "forgewright")
        return std::make_unique<forgewright::QNode>(argc, argv);
    return std::make_unique<seerkeep::QNode>(argc, argv);
}

void watchFinish(QThread* thread, std::atomic<bool>* finished)
{
    QObject::connect(thread, &QThread::finished, thread, [finished] { *finished = true; }, Qt::DirectConnection);
}

enum class Destroy { AfterReport, AtOnce, UntilStarted };

void reportAfterDestruction(const std::atomic<bool>& finished)
{
    report("finished_before_destructor_returned", finished.load());
    report("ok_after", ros::ok());
    report("started_after", ros::isStarted());
}

int spin(const std::string& program, Destroy when, int rosArgc, char** rosArgv)
{
    std::unique_ptr<QNodeBase> node = makeProgramNode(program, rosArgc, rosArgv);
    std::atomic<bool> finished{false};
    watchFinish(node.get(), &finished);
    if (when == Destroy::AtOnce) {
        node.reset();
        reportAfterDestruction(finished);
        return 0;
    }
    report("running", node->isRunning());
    report("argc", std::to_string(node->argc));
    report("node_name", ros::this_node::getName());
    const bool masterAnswers = ros::master::check();
    report("master_answers", masterAnswers);
    if (masterAnswers) {
        report("started", ros::isStarted());
        report("registered", registeredNodes());
    }
    if (when == Destroy::UntilStarted) {
        // Without a master the spinning thread's node handle starts ROS, which then waits for
        // the master inside ros::start().
        while (!ros::isStarted())
            QThread::msleep(5);
        report("started_by_spin", true);
    }
    report("init_again", node->init());
    node.reset();
    reportAfterDestruction(finished);
    return 0;
}

int remap(const std::string& master, const std::string& host, char* programName)
{
    char* argv[] = {programName, nullptr};
    BareNode node(1, argv);
    report("init", node.init(master, host));
    report("master_uri", ros::master::getURI());
    report("host", ros::network::getHost());
    report("started", ros::isStarted());
    // Spinning and destruction as in the programs' own nodes.
    node.start();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "remap") == 0)
        return remap(argv[2], argv[3], argv[0]);
    const std::map<std::string, Destroy> spinModes{
        {"spin", Destroy::AfterReport}, {"spin-at-once", Destroy::AtOnce}, {"spin-until-started", Destroy::UntilStarted}};
    if (argc >= 3 && spinModes.count(argv[2]) != 0) {
        // The node sees the program name followed by the ROS arguments.
        std::vector<char*> rosArgv{argv[0]};
        for (int i = 3; i < argc; ++i)
            rosArgv.push_back(argv[i]);
        rosArgv.push_back(nullptr);
        return spin(argv[1], spinModes.at(argv[2]), int(rosArgv.size()) - 1, rosArgv.data());
    }
    std::fprintf(stderr, "usage: qnode_probe forgewright|seerkeep spin|spin-at-once|spin-until-started [ros args]\n"
                         "       qnode_probe remap MASTER_URL HOST\n");
    return 2;
}
