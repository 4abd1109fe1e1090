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

    // The layer kind without brackets, short names made long ("conv" is "convolutional",
    // "network" is "net"); empty for a header that is not "[name]".
    std::string kind() const;
};

// Why a text is not a configuration: the first line that no section or option can be read from.
struct CfgSyntaxError
{
    enum class Problem { UnclosedHeader, NotKeyValue, OptionBeforeSection };
    Problem problem = Problem::NotKeyValue;
    int line = 0;     // 1-based
    std::string text; // the line without its blanks

    std::string message() const;
};

class CfgDocument
{
public:
    // Parses the text; on a line the library would reject or crash on, returns false and a
    // reason naming the line.
    static bool parse(const std::string& text, CfgDocument* document, std::string* error);
    // The same, saying where it stopped; the sections before that line are kept in document.
    static bool parse(const std::string& text, CfgDocument* document, CfgSyntaxError* error);
    // Reads and parses a network configuration file; the error line starts with the path.
    static bool readFile(const std::string& path, CfgDocument* document, std::string* error);

    std::vector<CfgSection> sections;
};
