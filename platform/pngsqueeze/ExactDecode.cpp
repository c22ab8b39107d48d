#include "ExactDecode.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "pelbo/compat/FileOpen.h"

namespace Png {
namespace {

// sRGB's gamma and its white point and primaries (x, y of white, red, green,
// blue), in libpng's fixed point (times 100000). The tolerances lie well
// inside the band in which libpng's decoder takes a file for sRGB and leaves
// its samples alone.
constexpr png_fixed_point kSrgbGamma = 45455;
constexpr png_fixed_point kGammaTolerance = 1000;
constexpr png_fixed_point kSrgbChromaticities[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
constexpr png_fixed_point kChromaticityTolerance = 1000;

[[noreturn]] void StopReading(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void IgnoreWarning(png_structp, png_const_charp) {}

bool Near(png_fixed_point value, png_fixed_point target, png_fixed_point tolerance)
{
    return std::abs(value - target) <= tolerance;
}

}  // namespace

// Only the header is read. libpng reports errors by longjmp to the setjmp
// below; the file is owned outside the jump's reach.
bool DecodesToItsOwnSamples(const char* path)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(Compat::OpenFile(path, "rb"), &std::fclose);
    if (file == nullptr)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, StopReading, IgnoreWarning);
    if (png == nullptr)
        return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, file.get());
    png_read_info(png, info);
    bool own = png_get_bit_depth(png, info) <= 8 && png_get_valid(png, info, PNG_INFO_iCCP) == 0;
    png_fixed_point gamma = 0;
    if (own && png_get_gAMA_fixed(png, info, &gamma) != 0)
        own = Near(gamma, kSrgbGamma, kGammaTolerance);
    png_fixed_point c[8] = {};
    if (own && png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]) != 0) {
        for (int i = 0; i < 8; ++i)
            own = own && Near(c[i], kSrgbChromaticities[i], kChromaticityTolerance);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return own;
}

}  // namespace Png
