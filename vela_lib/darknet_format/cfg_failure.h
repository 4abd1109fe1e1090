#pragma once

#include "cfg_document.h"

#include <string>

// Why a configuration value or layer is refused, as data: each reader of configurations words
// it its own way.
struct CfgFailure
{
    enum class Problem {
        NotInteger, NotNumber,          // key, text: the value
        BelowMinimum,                   // key; values: the value, the minimum
        MissingKey,                     // key
        NotLayerIndex, NotEarlierLayer, // key, text: the reference
        ReadsLeadingCrop,               // key, text: the reference
        EmptyList, SizesDiffer,         // key, text: the routed layers
        NoImageInput, NoInput, CropNotFirst, UnexpectedKind,
        GroupsDoNotDivide,              // values: groups, input channels, filters
        FilterDoesNotFit,               // values: size, input width, input height
        WindowDoesNotFit,               // values: size, input width, input height
        CropTooLarge,                   // values: crop width and height, input width and height
        CannotAdd,                      // text: from; values: its width and height, the input's
        ScalesMismatch,                 // text: from; values: its channels, the input's outputs
        EmptyOutput,                    // values: width, height, channels
        OutputOutOfRange,               // values: outputs
        Refused                         // a reader's own rule; text says why
    };
    Problem problem = Problem::Refused;
    const CfgSection* section = nullptr;
    std::string key, text;
    long long values[4] = {0, 0, 0, 0};

    // The pattern with "{key}", "{text}" and "{0}" to "{3}" replaced by this failure's.
    std::string filled(const std::string& pattern) const;
};
