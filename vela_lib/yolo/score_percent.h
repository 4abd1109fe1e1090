#pragma once

// A class score as percent with two decimals, cut rather than rounded: the score is scaled by
// 100 in single precision, then by 100 again in double precision and truncated. The server's
// records and the annotation of its result picture both show it so, and so agree digit for digit.
namespace ScorePercent {

inline double truncated(float score)
{
    const float percent = score * 100.0f;
    return double(static_cast<long long>(double(percent) * 100.0)) / 100.0;
}

} // namespace ScorePercent
