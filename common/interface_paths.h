#pragma once

#include <QString>

// Every file and folder that the notebook, the trainer and the server exchange lives in one
// folder: /tmp, unless VELA_TMP_DIR names another one. Tests and side-by-side instances set
// the variable so that they never touch each other's (or a user's) files.
class InterfacePaths
{
public:
    static constexpr const char* kEnvironmentVariable = "VELA_TMP_DIR";

    // The folder itself, without a trailing slash.
    static QString root();
    // root() + "/" + name.
    static QString file(const QString& name);

    // Trainer
    static QString trainerState() { return file("ruzerizozize.json"); }
    static QString trainerLog() { return file("ruzerizozize.log"); }
    static QString trainerStop() { return file("ruzerizozize.stop"); }
    static QString countedMarker() { return file("colab_counted"); }
    static QString defaultGenFolder() { return file("ruzerizozize_gen"); }
    static QString noiseImage(const QString& extension) { return file("vela_rand_img" + extension); }
    static QString randomClassFolder(const QString& instanceId) { return file("classif_train_" + instanceId); }
    // Held by the forgewright whose trainer runs: one training per interface folder.
    static QString trainerLock() { return file("ruzerizozize.lock"); }

    // Server
    static QString serverCommand() { return file("derarodizir_test.cmd"); }
    static QString serverHeartbeat() { return file("derarodizir.run"); }
    static QString serverLog() { return file("derarodizir.log"); }
    static QString serverResult() { return file("derarodizir_result.png"); }
    // Held by the running server: one server per interface folder.
    static QString serverLock() { return file("derarodizir.lock"); }
    static QString defaultModelFolder() { return file("derarodizir_model_test"); }
    static QString defaultTestImage() { return file("derarodizir_img_test.png"); }

    // Usage counter
    static QString usageCountFile() { return file("ruzerizozize_colab.count"); }
};
