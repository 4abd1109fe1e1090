#include "cfg_document.h"

#include <cctype>
#include <sstream>

const std::string* CfgSection::find(const std::string& key) const
{
    for (const auto& option : options)
        if (option.first == key)
            return &option.second;
    return nullptr;
}

namespace {

std::string withoutBlanks(const std::string& line)
{
    std::string out;
    out.reserve(line.size());
    for (char ch : line)
        if (!std::isspace(static_cast<unsigned char>(ch)))
            out += ch;
    return out;
}

} // namespace

bool CfgDocument::parse(const std::string& text, CfgDocument* document, std::string* error)
{
    document->sections.clear();
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = withoutBlanks(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                *error = "line " + std::to_string(number) + ": section header \"" + line + "\" lacks its closing ']'";
                return false;
            }
            CfgSection section;
            section.type = line;
            section.line = number;
            document->sections.push_back(section);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "line " + std::to_string(number) + ": \"" + line + "\" is not a key=value option";
            return false;
        }
        if (document->sections.empty()) {
            *error = "line " + std::to_string(number) + ": option \"" + line + "\" comes before the first section";
            return false;
        }
        document->sections.back().options.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return true;
}
