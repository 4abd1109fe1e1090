#include "data_file.h"

#include "text_lines.h"

#include <cerrno>
#include <cstdlib>
#include <map>

bool DataFile::parse(const std::string& text, DataFile* data, std::string* error)
{
    std::map<std::string, std::string> options;
    int number = 0;
    for (const std::string& raw : TextLines::split(text)) {
        ++number;
        const std::string line = TextLines::trimmed(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? std::string() : TextLines::trimmed(line.substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : TextLines::trimmed(line.substr(eq + 1));
        if (key.empty() || value.empty()) {
            *error = "line " + std::to_string(number) + " \"" + line + "\" is not a key = value line";
            return false;
        }
        options.emplace(key, value); // the first of repeated keys counts, as in darknet
    }
    for (const char* key : {"classes", "train", "labels", "backup"}) {
        if (!options.count(key)) {
            *error = std::string("\"") + key + "\" is missing";
            return false;
        }
    }
    const std::string& classes = options["classes"];
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(classes.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < 1 || value > 100000) {
        *error = "classes=" + classes + " is not a positive number of classes";
        return false;
    }
    data->classes = int(value);
    data->trainList = options["train"];
    data->labels = options["labels"];
    data->backup = options["backup"];
    data->validList = options.count("valid") ? options["valid"] : std::string();
    data->names = options.count("names") ? options["names"] : std::string();
    return true;
}

bool DataFile::read(const std::string& path, DataFile* data, std::string* error)
{
    std::string text;
    if (!TextLines::readFile(path, &text)) {
        *error = "data file " + path + " cannot be read";
        return false;
    }
    std::string why;
    if (!parse(text, data, &why)) {
        *error = "data file " + path + ": " + why;
        return false;
    }
    return true;
}
