#pragma once

#include "data_file.h"

#include <string>
#include <vector>

// The images of the train list with the class of each: the one label of the label list that
// its path contains (darknet's rule; generated file names carry their class's label).
struct TrainSet
{
    std::vector<std::string> labels;
    std::vector<std::string> paths;
    std::vector<int> classOf; // index into labels, one per path

    // Reads the label list and the train list named by the data file. Paths that contain no
    // label or more than one are left out, each with a warning line. Fails (one line) when a
    // list cannot be read, the label count differs from classes, or no usable path remains.
    static bool load(const DataFile& data, TrainSet* set, std::string* error, std::vector<std::string>* warnings);

    // Index of the one label contained in path, or -1 for none, -2 for several.
    static int classOfPath(const std::string& path, const std::vector<std::string>& labels);
};
