#pragma once

#include <string>
#include <utility>
#include <vector>

// A darknet network configuration as libdarknet reads it: sections "[type]" holding key=value
// options. Every blank inside a line is dropped and lines starting with '#' or ';' are comments,
// exactly as the library does, so that a check on this document sees what the library will see.
struct CfgSection
{
    std::string type; // with the brackets, e.g. "[convolutional]"
    int line = 0;     // 1-based line of the header
    std::vector<std::pair<std::string, std::string> > options;

    // The library takes the first of repeated keys.
    const std::string* find(const std::string& key) const;
    bool has(const std::string& key) const { return find(key) != nullptr; }
};

class CfgDocument
{
public:
    // Parses the text; on a line the library would reject or crash on, returns false and a
    // reason naming the line.
    static bool parse(const std::string& text, CfgDocument* document, std::string* error);

    std::vector<CfgSection> sections;
};
