#pragma once

#include <string>

// The darknet data file of a classifier training folder: lines "key = value", of which the
// trainer reads classes, train, labels, backup, valid and names (top serves the testing side).
struct DataFile
{
    int classes = 0;
    std::string trainList;
    std::string validList; // empty when the file names none
    std::string names;     // the class display names; empty when the file names none
    std::string labels;
    std::string backup;

    // Reads the file; on failure returns false and one line (starting with the path) saying why.
    static bool read(const std::string& path, DataFile* data, std::string* error);
    // The same for the text of a data file.
    static bool parse(const std::string& text, DataFile* data, std::string* error);
};
