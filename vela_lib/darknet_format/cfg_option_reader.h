#pragma once

#include "cfg_failure.h"

#include <climits>
#include <string>

// Reads the numbers of a section's options, refusing what is present but no number.
class CfgOptionReader
{
public:
    static constexpr long long kNoMinimum = LLONG_MIN;

    struct Rules
    {
        bool lastKeyWins = false; // as OpenCV's importer; libdarknet takes the first
        long long smallest = -1000000000LL, largest = 1000000000LL; // whole numbers beyond are refused
    };

    CfgOptionReader() = default;
    explicit CfgOptionReader(const Rules& rules) : rules(rules) {}

    const std::string* find(const CfgSection& section, const std::string& key) const;
    // A missing key gives the fallback; a value below the minimum is refused.
    bool integer(const CfgSection& section, const char* key, long long fallback, long long minimum, long long* value,
                 CfgFailure* failure) const;
    bool number(const CfgSection& section, const char* key, double fallback, double* value, CfgFailure* failure) const;

private:
    Rules rules;
};
