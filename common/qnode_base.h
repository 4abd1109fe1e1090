#pragma once

#include <QMutex>
#include <QThread>

#include <string>

// Registers the program as a ROS 1 node and runs the ROS callback loop (ros::spin) on a thread of
// its own, beside the Qt event loop. Each program has its own QNode in its own namespace; they
// differ only in the node name, which is the one value they pass here.
class QNodeBase : public QThread
{
    Q_OBJECT

public:
    ~QNodeBase() override;

    // Initialises ROS from the command line (ROS removes its own arguments from argv). True when a
    // master answered; then the node is started. Does not start the thread.
    bool init();
    // The same with the master and this host given directly, as the remappings "__master" and
    // "__hostname" instead of the command line.
    bool init(const std::string& master_url, const std::string& host_url);

    int argc;
    char** argv;

protected:
    QNodeBase(int argc, char** argv, const char* nodeName);
    // init(), then the spinning thread; the thread runs whether or not a master answered. Called
    // by the program's own QNode once it is fully constructed, so that the thread never sees a
    // half-built object.
    void launch();

    void run() override;

private:
    bool startIfMasterAnswers();
    // Keeps a thread that has not entered ros::spin() yet from entering it; true when it has.
    bool keepThreadOutOfSpin();
    void endSpin();

    const char* const nodeName;
    // Hand-over between the destructor and a thread that has not entered ros::spin() yet.
    QMutex spinGate;
    bool stopRequested = false;
    bool spinEntered = false;
    bool startedByInit = false;
};
