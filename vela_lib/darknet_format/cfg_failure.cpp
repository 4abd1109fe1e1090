#include "cfg_failure.h"

std::string CfgFailure::filled(const std::string& pattern) const
{
    std::string out;
    for (size_t at = 0; at < pattern.size(); ++at) {
        const size_t end = pattern[at] == '{' ? pattern.find('}', at) : std::string::npos;
        const std::string name = end == std::string::npos ? std::string() : pattern.substr(at + 1, end - at - 1);
        if (name == "key" || name == "text")
            out += name == "key" ? key : text;
        else if (name.size() == 1 && name[0] >= '0' && name[0] <= '3')
            out += std::to_string(values[name[0] - '0']);
        else {
            out += pattern[at];
            continue;
        }
        at = end;
    }
    return out;
}
