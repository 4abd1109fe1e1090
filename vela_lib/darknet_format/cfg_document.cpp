#include "cfg_document.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

const std::string* CfgSection::find(const std::string& key) const
{
    for (const auto& option : options)
        if (option.first == key)
            return &option.second;
    return nullptr;
}

std::string CfgSection::kind() const
{
    if (type.size() < 2 || type.front() != '[' || type.back() != ']')
        return std::string();
    const std::string name = type.substr(1, type.size() - 2);
    // Darknet accepts a short and a long name for several sections.
    if (name == "conv") return "convolutional";
    if (name == "conn") return "connected";
    if (name == "max") return "maxpool";
    if (name == "avg") return "avgpool";
    if (name == "soft") return "softmax";
    if (name == "network") return "net";
    return name;
}

std::string CfgSyntaxError::message() const
{
    const std::string where = "line " + std::to_string(line) + ": ";
    switch (problem) {
    case Problem::UnclosedHeader:
        return where + "section header \"" + text + "\" lacks its closing ']'";
    case Problem::OptionBeforeSection:
        return where + "option \"" + text + "\" comes before the first section";
    case Problem::NotKeyValue:
        break;
    }
    return where + "\"" + text + "\" is not a key=value option";
}

namespace {

std::string withoutBlanks(std::string line)
{
    const auto blank = [](unsigned char ch) { return std::isspace(ch) != 0; };
    line.erase(std::remove_if(line.begin(), line.end(), blank), line.end());
    return line;
}

} // namespace

bool CfgDocument::parse(const std::string& text, CfgDocument* document, std::string* error)
{
    CfgSyntaxError syntax;
    if (parse(text, document, &syntax))
        return true;
    *error = syntax.message();
    return false;
}

bool CfgDocument::readFile(const std::string& path, CfgDocument* document, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "network configuration " + path + " cannot be read";
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string why;
    if (parse(text, document, &why))
        return true;
    *error = "network configuration " + path + ": " + why;
    return false;
}

bool CfgDocument::parse(const std::string& text, CfgDocument* document, CfgSyntaxError* error)
{
    document->sections.clear();
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    const auto fail = [&](CfgSyntaxError::Problem problem, const std::string& line) {
        *error = CfgSyntaxError{problem, number, line};
        return false;
    };
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = withoutBlanks(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return fail(CfgSyntaxError::Problem::UnclosedHeader, line);
            CfgSection section;
            section.type = line;
            section.line = number;
            document->sections.push_back(section);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            return fail(CfgSyntaxError::Problem::NotKeyValue, line);
        if (document->sections.empty())
            return fail(CfgSyntaxError::Problem::OptionBeforeSection, line);
        document->sections.back().options.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return true;
}
