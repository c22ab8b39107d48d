#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "TestImages.h"
#include "pelbo/pngsqueeze/Png.h"

namespace {

using ImageCodec::CImage;
using ImageCodec::Format;
namespace fs = std::filesystem;

constexpr bool kLossy = PELBO_WITH_LIBIMAGEQUANT;
constexpr const char* kLosslessBuild =
    "checks lossy results: this build has no libimagequant (PELBO_WITH_LIBIMAGEQUANT=OFF) and keeps every "
    "pixel; test_pngsqueeze_lossless.cpp tests it";

class PngSqueezeTest : public ::testing::Test {
protected:
    fs::path dir = TestImages::ScratchDir("squeeze");
    std::string At(const char* name) const { return (dir / name).string(); }
};

TEST_F(PngSqueezeTest, CheckLooksAtTheSignatureNotTheName)
{
    CImage photo = TestImages::Photo(32, 32);
    ASSERT_TRUE(photo.Save(At("png-named.jpg").c_str(), Format::Png));
    ASSERT_TRUE(photo.Save(At("jpeg-named.png").c_str(), Format::Jpeg));
    TestImages::WriteBytes(dir / "empty.png", {});
    TestImages::WriteBytes(dir / "short.png", {0x89, 'P', 'N', 'G'});

    EXPECT_TRUE(Png::Check(At("png-named.jpg").c_str()));
    EXPECT_FALSE(Png::Check(At("jpeg-named.png").c_str()));
    EXPECT_FALSE(Png::Check(At("empty.png").c_str()));
    EXPECT_FALSE(Png::Check(At("short.png").c_str()));
    EXPECT_FALSE(Png::Check(At("missing.png").c_str()));
    EXPECT_FALSE(Png::Check(nullptr));
}

size_t DistinctColours(const CImage& image)
{
    std::set<uint32_t> colours;
    for (size_t i = 0; i < size_t{image.Width()} * image.Height(); ++i) {
        const uint8_t* px = image.Pixels() + i * 4;
        colours.insert(uint32_t{px[0]} << 24 | uint32_t{px[1]} << 16 | uint32_t{px[2]} << 8 | px[3]);
    }
    return colours.size();
}

double MeanError(const CImage& a, const CImage& b, int* worst)
{
    double sum = 0;
    *worst = 0;
    const size_t bytes = size_t{a.Width()} * a.Height() * 4;
    for (size_t i = 0; i < bytes; ++i) {
        const int error = std::abs(a.Pixels()[i] - b.Pixels()[i]);
        sum += error;
        *worst = std::max(*worst, error);
    }
    return sum / static_cast<double>(bytes);
}

TEST_F(PngSqueezeTest, CompressWritesASmallerPalettePngWithTheFewestColoursForTheMaximum)
{
    if (!kLossy)
        GTEST_SKIP() << kLosslessBuild;
    CImage shot = TestImages::Screenshot(320, 200);
    ASSERT_TRUE(shot.Save(At("shot.png").c_str(), Format::Png));
    ASSERT_TRUE(Png::Compress(At("shot.png").c_str(), At("at80.png").c_str(), "50-80"));
    ASSERT_TRUE(Png::Compress(At("shot.png").c_str(), At("at100.png").c_str(), "50-100"));
    EXPECT_EQ(TestImages::PngColourType(dir / "at80.png"), 3);
    EXPECT_LT(fs::file_size(dir / "at80.png"), fs::file_size(dir / "shot.png"));

    CImage at80;
    CImage at100;
    ASSERT_TRUE(at80.Load(At("at80.png").c_str(), Format::Png));
    ASSERT_TRUE(at100.Load(At("at100.png").c_str(), Format::Png));
    ASSERT_EQ(at80.Width(), 320u);
    ASSERT_EQ(at80.Height(), 200u);
    int worst = 0;
    EXPECT_LT(MeanError(at80, shot, &worst), 4.0);
    // A lower maximum is met with fewer colours; the full maximum keeps
    // every one of the screenshot's few colours.
    EXPECT_LT(DistinctColours(at80), DistinctColours(shot));
    EXPECT_EQ(DistinctColours(at100), DistinctColours(shot));
    MeanError(at100, shot, &worst);
    EXPECT_LE(worst, 2);
}

TEST_F(PngSqueezeTest, AlphaIsKept)
{
    CImage faded = TestImages::Photo(128, 64, true);
    ASSERT_TRUE(faded.Save(At("faded.png").c_str(), Format::Png));
    ASSERT_TRUE(Png::Compress(At("faded.png").c_str(), At("faded-small.png").c_str(), "0-80"));
    CImage back;
    ASSERT_TRUE(back.Load(At("faded-small.png").c_str(), Format::Png));
    ASSERT_TRUE(back.HasAlpha());
    const auto alphaAt = [](const CImage& image, uint32_t x, uint32_t y) {
        return static_cast<int>(image.Pixels()[(static_cast<size_t>(y) * image.Width() + x) * 4 + 3]);
    };
    for (uint32_t x : {0u, 32u, 64u, 127u})
        EXPECT_NEAR(alphaAt(back, x, 10), alphaAt(faded, x, 10), 24) << "column " << x;
    EXPECT_EQ(alphaAt(back, 0, 0), 0);
}

TEST_F(PngSqueezeTest, UnreachableMinimumFailsAndLeavesTheDestinationAlone)
{
    if (!kLossy)
        GTEST_SKIP() << kLosslessBuild;
    CImage noise = TestImages::Noise(96, 96);
    ASSERT_TRUE(noise.Save(At("noise.png").c_str(), Format::Png));
    TestImages::WriteBytes(dir / "previous.png", {'o', 'l', 'd'});
    EXPECT_FALSE(Png::Compress(At("noise.png").c_str(), At("previous.png").c_str(), "90-100"));
    EXPECT_EQ(TestImages::ReadBytes(dir / "previous.png"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_FALSE(Png::Compress(At("noise.png").c_str(), At("new.png").c_str(), "90-100"));
    EXPECT_FALSE(fs::exists(dir / "new.png"));
    // The maximum alone is a target, not a floor: the same picture passes.
    EXPECT_TRUE(Png::Compress(At("noise.png").c_str(), At("new.png").c_str(), "0-100"));
    EXPECT_EQ(TestImages::FileCount(dir), 3u);
}

TEST_F(PngSqueezeTest, BadSourcesAndDestinationsFail)
{
    CImage photo = TestImages::Photo(120, 80);
    ASSERT_TRUE(photo.Save(At("good.png").c_str(), Format::Png));
    TestImages::Truncate(dir / "good.png", dir / "cut.png");
    TestImages::WriteBytes(dir / "empty.png", {});
    TestImages::WriteBytes(dir / "text.png", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    ASSERT_TRUE(photo.Save(At("jpeg.png").c_str(), Format::Jpeg));

    for (const char* name : {"missing.png", "empty.png", "cut.png", "text.png", "jpeg.png"})
        EXPECT_FALSE(Png::Compress(At(name).c_str(), At("out.png").c_str(), "50-80")) << name;
    EXPECT_FALSE(fs::exists(dir / "out.png"));

    EXPECT_FALSE(Png::Compress(At("good.png").c_str(), (dir / "nowhere" / "out.png").string().c_str(), "50-80"));
    fs::create_directories(dir / "taken.png");
    EXPECT_FALSE(Png::Compress(At("good.png").c_str(), At("taken.png").c_str(), "50-80"));
    EXPECT_FALSE(Png::Compress(At("good.png").c_str(), nullptr, "50-80"));
    EXPECT_EQ(TestImages::FileCount(dir), 6u) << "a failed write left a temporary file";
}

TEST_F(PngSqueezeTest, ReadOnlyDestinationFolderFails)
{
    CImage photo = TestImages::Photo(40, 30);
    ASSERT_TRUE(photo.Save(At("good.png").c_str(), Format::Png));
    fs::create_directories(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    bool enforced = false;
    bool written = false;
    {
        TestImages::ObeyFilePermissions obey;
        enforced = TestImages::ReadOnlyIsEnforced(dir / "ro");
        written = Png::Compress(At("good.png").c_str(), (dir / "ro" / "out.png").string().c_str(), "50-80");
    }
    fs::permissions(dir / "ro", fs::perms::owner_all);
    if (!enforced)
        GTEST_SKIP() << "this user writes into read-only folders";
    EXPECT_FALSE(written);
}

TEST_F(PngSqueezeTest, QualityTextFollowsTheMinMaxForms)
{
    CImage shot = TestImages::Screenshot(64, 64);
    ASSERT_TRUE(shot.Save(At("shot.png").c_str(), Format::Png));
    for (const char* good : {"50-80", "0-100", "-80", "60-", "80", "100-100"})
        EXPECT_TRUE(Png::Compress(At("shot.png").c_str(), At("out.png").c_str(), good)) << good;
    for (const char* bad : {"", "-", "80-50", "50-101", "101", "a-b", "50_80", "50-80x", "1000-2000", " 50-80"})
        EXPECT_FALSE(Png::Compress(At("shot.png").c_str(), At("out.png").c_str(), bad)) << '"' << bad << '"';
    EXPECT_FALSE(Png::Compress(At("shot.png").c_str(), At("out.png").c_str(), nullptr));
}

TEST_F(PngSqueezeTest, AbsurdDeclaredSizeIsRefused)
{
    // Under ASan a 40 GB buffer would abort the test: passing shows the
    // header alone decided.
    TestImages::WriteBytes(dir / "huge.png", TestImages::PngDeclaring(100000, 100000));
    ASSERT_TRUE(Png::Check(At("huge.png").c_str()));
    EXPECT_FALSE(Png::Compress(At("huge.png").c_str(), At("out.png").c_str(), "50-80"));
    EXPECT_FALSE(fs::exists(dir / "out.png"));
}

}  // namespace
