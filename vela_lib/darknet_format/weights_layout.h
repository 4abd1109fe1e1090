#pragma once

#include "shape_walk.h"

#include <string>
#include <vector>

// What each layer of a network holds in a darknet weights file, in file order, as libdarknet
// reads and writes it (dontload, dontloadscales and dontsave included). Worked out from the shape
// walk, so that every engine and every reader of weights agrees on it.
struct WeightsLayout
{
    struct Layer
    {
        std::string kind;        // as ShapeWalk names it
        long long loaded = 0;    // floats read from a file
        long long saved = 0;     // floats written to a file
        int units = 0;           // filters or outputs
        long long perUnit = 0;   // floats per unit, where the unit count is the only change; else 0
        long long varianceAt = -1; // offset of the rolling variances in the layer's floats; -1: none read
    };

    std::vector<Layer> layers;

    // The layers of a finished walk.
    static WeightsLayout of(const std::vector<ShapeWalk::Layer>& walked);

    long long loadedTotal() const;
    long long savedTotal() const;
};
