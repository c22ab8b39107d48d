#pragma once
// The "min-max" quality text of Png::Compress.

namespace Png {

struct QualityRange {
    int minimum = 0;
    int maximum = 100;
};

// False for anything but the accepted forms with values 0-100 and
// minimum <= maximum.
bool ParseQualityRange(const char* text, QualityRange& range);

}  // namespace Png
