#include "cfg_option_reader.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

const std::string* CfgOptionReader::find(const CfgSection& section, const std::string& key) const
{
    if (!rules.lastKeyWins)
        return section.find(key);
    for (auto it = section.options.rbegin(); it != section.options.rend(); ++it)
        if (it->first == key)
            return &it->second;
    return nullptr;
}

bool CfgOptionReader::integer(const CfgSection& section, const char* key, long long fallback, long long minimum,
                              long long* value, CfgFailure* failure) const
{
    const std::string* text = find(section, key);
    *value = fallback;
    if (text) {
        errno = 0;
        char* end = nullptr;
        *value = std::strtoll(text->c_str(), &end, 10);
        if (text->empty() || *end != '\0' || errno != 0 || *value > rules.largest || *value < rules.smallest) {
            *failure = CfgFailure{CfgFailure::Problem::NotInteger, &section, key, *text};
            return false;
        }
    }
    if (*value >= minimum)
        return true;
    *failure = CfgFailure{CfgFailure::Problem::BelowMinimum, &section, key, "", {*value, minimum}};
    return false;
}

bool CfgOptionReader::number(const CfgSection& section, const char* key, double fallback, double* value,
                             CfgFailure* failure) const
{
    const std::string* text = find(section, key);
    *value = fallback;
    if (!text)
        return true;
    char* end = nullptr;
    *value = std::strtod(text->c_str(), &end);
    if (!text->empty() && *end == '\0' && std::isfinite(*value))
        return true;
    *failure = CfgFailure{CfgFailure::Problem::NotNumber, &section, key, *text};
    return false;
}
