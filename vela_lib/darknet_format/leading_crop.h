#pragma once

// A [crop] as first layer is applied to the input before the network runs: darknet crops the
// centre at prediction time and maps 0..1 to -1..1 unless "noadjust" is set.
struct LeadingCrop
{
    bool present = false;
    int width = 0, height = 0;
    float scale = 1.f, shift = 0.f;
};
