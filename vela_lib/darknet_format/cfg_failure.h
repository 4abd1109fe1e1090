#pragma once

#include "cfg_document.h"

#include <string>

// Why a configuration value or layer is refused, as data: each reader of configurations words
// it its own way.
struct CfgFailure
{
    enum class Problem {
        NotInteger,        // key=text
        NotNumber,         // key=text
        BelowMinimum,      // key; values: the value, the minimum
        MissingKey,        // key
        NotLayerIndex,     // key, text
        NotEarlierLayer,   // key, text
        ReadsLeadingCrop,  // key, text
        CropNotFirst,
        EmptyList,         // key, text
        SizesDiffer,       // key, text: the routed layers
        NoImageInput,      // the layer before gives only a width
        NoInput,           // the layer before gives nothing
        GroupsDoNotDivide, // values: groups, input channels, filters
        FilterDoesNotFit,  // values: size, input width, input height
        WindowDoesNotFit,  // values: size, input width, input height
        CropTooLarge,      // values: crop width, crop height, input width, input height
        CannotAdd,         // text: from; values: its width and height, the input's width and height
        ScalesMismatch,    // text: from; values: its channels, the input's outputs
        EmptyOutput,       // values: width, height, channels
        OutputOutOfRange,  // values: outputs
        UnexpectedKind,
        Refused            // a reader's own rule; text says why
    };
    Problem problem = Problem::Refused;
    const CfgSection* section = nullptr;
    std::string key, text;
    long long values[4] = {0, 0, 0, 0};
};
