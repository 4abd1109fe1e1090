#include "train_set.h"

#include "text_lines.h"

#include <set>

int TrainSet::classOfPath(const std::string& path, const std::vector<std::string>& labels)
{
    int found = -1;
    for (size_t i = 0; i < labels.size(); ++i) {
        if (path.find(labels[i]) == std::string::npos)
            continue;
        if (found != -1)
            return -2;
        found = int(i);
    }
    return found;
}

bool TrainSet::load(const DataFile& data, TrainSet* set, std::string* error, std::vector<std::string>* warnings)
{
    if (!TextLines::readList(data.labels, &set->labels)) {
        *error = "label list " + data.labels + " cannot be read";
        return false;
    }
    if (int(set->labels.size()) != data.classes) {
        *error = "label list " + data.labels + " has " + std::to_string(set->labels.size()) +
                 " labels, but the data file says classes=" + std::to_string(data.classes);
        return false;
    }
    std::set<std::string> unique(set->labels.begin(), set->labels.end());
    if (unique.size() != set->labels.size()) {
        *error = "label list " + data.labels + " repeats a label";
        return false;
    }
    std::vector<std::string> listed;
    if (!TextLines::readList(data.trainList, &listed)) {
        *error = "train list " + data.trainList + " cannot be read";
        return false;
    }
    if (listed.empty()) {
        *error = "train list " + data.trainList + " is empty";
        return false;
    }
    set->paths.clear();
    set->classOf.clear();
    for (const std::string& path : listed) {
        const int cls = classOfPath(path, set->labels);
        if (cls < 0) {
            warnings->push_back("image " + path + (cls == -1 ? " contains no label" : " contains several labels") +
                                " of " + data.labels + "; skipped");
            continue;
        }
        set->paths.push_back(path);
        set->classOf.push_back(cls);
    }
    if (set->paths.empty()) {
        *error = "no image of train list " + data.trainList + " contains exactly one label of " + data.labels;
        return false;
    }
    return true;
}
