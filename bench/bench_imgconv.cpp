// Image conversion side by side with the reference tools: Png::Compress
// "50-80" against `pngquant --quality 50-80`, and the JPEG quality 70
// re-encoding against `djpeg | cjpeg -quality 70` (cjpeg reads no JPEG
// itself). Each case runs a few times and keeps its fastest run; the
// table rows are "path | ours | reference | ratio | target", the ratio being
// reference / ours as in the rest of the table (above 1: we are faster or
// smaller). The goals, ours at most 1.1 times the reference's time and 1.02
// times its size, are ratios of at least 0.91 and 0.98.
//
// usage: bench_imgconv [--runs N] [--keep DIR]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "pelbo/imagecodec/Image.h"
#include "pelbo/pngsqueeze/Png.h"

namespace {

namespace fs = std::filesystem;
using ImageCodec::CImage;
using ImageCodec::Format;

uint8_t Clamp(int v)
{
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Flat panels, text-like strokes, a few accent colours.
CImage Screen(uint32_t w, uint32_t h, bool dark, bool overlay)
{
    CImage image;
    image.Create(w, h, overlay);
    std::mt19937 rng(w + h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* px = image.Pixels() + (static_cast<size_t>(y) * w + x) * 4;
            const bool bar = y < h / 14;
            const bool side = x < w / 5;
            const bool text = !bar && !side && (y % 24) < 12 && ((x * 7 + y / 24 * 13) % 11) < 6 && (x / 90) % 3 != 2;
            int base = dark ? 36 : 246;
            if (bar)
                base = dark ? 20 : 60;
            else if (side)
                base = dark ? 48 : 232;
            const int ink = text ? (dark ? 200 : 40) : base;
            px[0] = Clamp(ink + (bar ? 10 : 0));
            px[1] = Clamp(ink + (bar ? 40 : 0));
            px[2] = Clamp(ink + (bar ? 110 : 4));
            px[3] = overlay && x > w * 2 / 3 && y > h / 2 ? static_cast<uint8_t>(96 + (x + y) % 64) : 255;
        }
    return image;
}

// Soft gradients, shapes and sensor grain.
CImage Photo(uint32_t w, uint32_t h, unsigned seed)
{
    CImage image;
    image.Create(w, h, false);
    std::mt19937 rng(seed);
    std::normal_distribution<double> grain(0, 5);
    const double cx = w * 0.6, cy = h * 0.4, r = std::min(w, h) * 0.25;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* px = image.Pixels() + (static_cast<size_t>(y) * w + x) * 4;
            const double d = std::hypot(x - cx, y - cy);
            const bool sun = d < r;
            const bool ground = y > h * 0.65 + 40 * std::sin(x * 0.01);
            const double g = grain(rng);
            px[0] = Clamp(static_cast<int>((sun ? 250 : ground ? 90 : 120 + 80.0 * y / h) + g));
            px[1] = Clamp(static_cast<int>((sun ? 210 : ground ? 130 + 20 * std::sin(x * 0.05) : 160 + 40.0 * y / h) + g));
            px[2] = Clamp(static_cast<int>((sun ? 120 : ground ? 60 : 230 - 30.0 * y / h) + g));
        }
    return image;
}

// A round icon on a transparent background with soft edges.
CImage Icon(uint32_t size)
{
    CImage image;
    image.Create(size, size, true);
    const double c = size / 2.0, r = size * 0.42;
    for (uint32_t y = 0; y < size; ++y)
        for (uint32_t x = 0; x < size; ++x) {
            uint8_t* px = image.Pixels() + (static_cast<size_t>(y) * size + x) * 4;
            const double d = std::hypot(x - c, y - c);
            px[0] = Clamp(static_cast<int>(40 + 180.0 * x / size));
            px[1] = Clamp(static_cast<int>(90 + 120.0 * y / size));
            px[2] = 200;
            px[3] = Clamp(static_cast<int>((r - d) * 64 + 128));
        }
    return image;
}

double Seconds(const std::function<bool()>& run, int runs, bool& ok)
{
    double best = 1e30;
    ok = true;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ok = run() && ok;
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

std::string Quote(const fs::path& path)
{
    return "'" + path.string() + "'";
}

// oursToReference is the goal for ours / reference; the row shows its
// inverse, like every row of the table.
void Row(const std::string& path, const std::string& ours, const std::string& reference, double ratio,
         double oursToReference, const char* tool, bool ok)
{
    const double target = 1.0 / oursToReference;
    std::printf("%-48s | %14s | %14s | %7.2f | ratio >= %.2f (%s)%s\n", path.c_str(), ours.c_str(),
                reference.c_str(), ratio, target, tool, ok ? (ratio >= target ? "" : "  MISSED") : "  FAILED");
}

std::string Ms(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    return text;
}

std::string Bytes(uintmax_t size)
{
    return std::to_string(size) + " B";
}

uintmax_t SizeOf(const fs::path& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 3;
    fs::path dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (arg == "--keep")
            dir = argv[i + 1];
    }
    const bool keep = !dir.empty();
    if (!keep)
        dir = fs::temp_directory_path() / ("bench-imgconv-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);

    struct Case {
        std::string name;
        CImage image;
        Format format;
    };
    std::vector<Case> corpus;
    corpus.push_back({"ui-1280x720.png", Screen(1280, 720, false, false), Format::Png});
    corpus.push_back({"ui-1920x1080.png", Screen(1920, 1080, false, false), Format::Png});
    corpus.push_back({"ui-dark-1366x768.png", Screen(1366, 768, true, false), Format::Png});
    corpus.push_back({"ui-overlay-alpha-1280x720.png", Screen(1280, 720, false, true), Format::Png});
    corpus.push_back({"icon-alpha-512.png", Icon(512), Format::Png});
    corpus.push_back({"photo-1024x768.png", Photo(1024, 768, 1), Format::Png});
    corpus.push_back({"photo-4000x3000.png", Photo(4000, 3000, 2), Format::Png});
    corpus.push_back({"photo-800x600.jpg", Photo(800, 600, 3), Format::Jpeg});
    corpus.push_back({"photo-1600x1200.jpg", Photo(1600, 1200, 4), Format::Jpeg});
    corpus.push_back({"photo-2048x1536.jpg", Photo(2048, 1536, 5), Format::Jpeg});
    corpus.push_back({"portrait-1200x1600.jpg", Photo(1200, 1600, 6), Format::Jpeg});
    corpus.push_back({"photo-4000x3000.jpg", Photo(4000, 3000, 7), Format::Jpeg});

    bool allOk = true;
    for (Case& c : corpus) {
        const fs::path src = dir / c.name;
        c.image.SetJpegQuality(95);
        if (!c.image.Save(src.string().c_str(), c.format)) {
            std::fprintf(stderr, "bench_imgconv: cannot write %s\n", src.string().c_str());
            return 1;
        }
        c.image.Clear();
        const fs::path ours = dir / ("ours-" + c.name);
        const fs::path theirs = dir / ("ref-" + c.name);
        bool oursOk = false;
        bool refOk = false;
        double oursTime = 0;
        double refTime = 0;
        std::string kind;
        const char* tool = c.format == Format::Png ? "pngquant" : "djpeg|cjpeg";
        if (c.format == Format::Png) {
            kind = "png 50-80 ";
            oursTime = Seconds([&] { return Png::Compress(src.string().c_str(), ours.string().c_str(), "50-80"); },
                               runs, oursOk);
            const std::string command =
                "pngquant --quality 50-80 --force --output " + Quote(theirs) + " " + Quote(src) + " >/dev/null 2>&1";
            refTime = Seconds([&] { return std::system(command.c_str()) == 0; }, runs, refOk);
        } else {
            kind = "jpeg q70 ";
            oursTime = Seconds(
                [&] {
                    CImage image;
                    if (!image.Load(src.string().c_str(), Format::Jpeg))
                        return false;
                    image.SetJpegQuality(70);
                    return image.Save(ours.string().c_str(), Format::Jpeg);
                },
                runs, oursOk);
            const std::string command = "djpeg " + Quote(src) + " | cjpeg -quality 70 > " + Quote(theirs);
            refTime = Seconds([&] { return std::system(command.c_str()) == 0; }, runs, refOk);
        }
        const bool ok = oursOk && refOk;
        allOk = allOk && ok;
        Row(kind + c.name + " time", Ms(oursTime), Ms(refTime), oursTime > 0 ? refTime / oursTime : 0, 1.10, tool, ok);
        const auto oursSize = SizeOf(ours);
        const auto refSize = SizeOf(theirs);
        Row(kind + c.name + " size", Bytes(oursSize), Bytes(refSize),
            oursSize > 0 ? static_cast<double>(refSize) / static_cast<double>(oursSize) : 0, 1.02, tool, ok);
    }
    if (!keep) {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    return allOk ? 0 : 1;
}
