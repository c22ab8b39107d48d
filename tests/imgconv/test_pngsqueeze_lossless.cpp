// Png::Compress built without libimagequant: the result decodes to exactly
// the source's pixels and is never larger than the source.

#include <gtest/gtest.h>

#include <cstring>

#include "TestImages.h"
#include "pelbo/pngsqueeze/Png.h"

namespace {

using ImageCodec::CImage;
using ImageCodec::Format;
namespace fs = std::filesystem;

class PngSqueezeLosslessTest : public ::testing::Test {
protected:
    fs::path dir = TestImages::ScratchDir("lossless");
    std::string At(const std::string& name) const { return (dir / name).string(); }

    void Save(const CImage& image, const std::string& name) { ASSERT_TRUE(image.Save(At(name).c_str(), Format::Png)); }

    static bool SamePixels(const CImage& a, const CImage& b)
    {
        return a.Width() == b.Width() && a.Height() == b.Height() &&
               std::memcmp(a.Pixels(), b.Pixels(), size_t{a.Width()} * a.Height() * 4) == 0;
    }

    // What every compression must give: the same pixels in no more bytes.
    void ExpectExactAndNoLarger(const std::string& src, const std::string& dst, const char* quality = "50-80")
    {
        ASSERT_TRUE(Png::Compress(At(src).c_str(), At(dst).c_str(), quality)) << src;
        CImage before;
        CImage after;
        ASSERT_TRUE(before.Load(At(src).c_str(), Format::Png));
        ASSERT_TRUE(after.Load(At(dst).c_str(), Format::Png)) << dst;
        EXPECT_TRUE(SamePixels(before, after)) << src;
        EXPECT_LE(fs::file_size(dir / dst), fs::file_size(dir / src)) << src;
    }

    // 24 x 16 RGB samples of the bit depth given, stored uncompressed.
    static std::vector<uint8_t> StoredGradient(uint8_t bitDepth,
                                               const std::vector<std::pair<const char*, std::vector<uint8_t>>>& chunks)
    {
        std::vector<uint8_t> rows;
        for (uint32_t y = 0; y < 16; ++y)
            for (uint32_t x = 0; x < 24; ++x)
                for (const uint32_t value : {x * 2731u, y * 4099u, (x + y) * 1523u})
                    for (int byte = bitDepth / 8 - 1; byte >= 0; --byte)
                        rows.push_back(static_cast<uint8_t>(value >> (8 * byte)));
        return TestImages::StoredPng(24, 16, bitDepth, 2, rows, chunks);
    }
};

std::vector<uint8_t> Gamma(uint32_t fixedPoint)
{
    std::vector<uint8_t> data;
    TestImages::PutBE32(data, fixedPoint);
    return data;
}

TEST_F(PngSqueezeLosslessTest, EveryKindOfPictureKeepsItsPixelsInNoMoreBytes)
{
    Save(TestImages::Screenshot(320, 200), "shot.png");
    Save(TestImages::Photo(200, 150), "photo.png");
    Save(TestImages::Photo(128, 64, true), "faded.png");
    Save(TestImages::Noise(96, 96), "noise.png");
    CImage opaque;
    ASSERT_TRUE(opaque.Create(160, 120, true));
    const CImage photo = TestImages::Photo(160, 120);
    std::memcpy(opaque.Pixels(), photo.Pixels(), size_t{160} * 120 * 4);
    Save(opaque, "opaque-rgba.png");
    TestImages::WriteBytes(dir / "stored.png", StoredGradient(8, {{"gAMA", Gamma(45455)}}));

    ExpectExactAndNoLarger("shot.png", "shot-out.png");
    ExpectExactAndNoLarger("photo.png", "photo-out.png");
    ExpectExactAndNoLarger("faded.png", "faded-out.png");
    ExpectExactAndNoLarger("opaque-rgba.png", "opaque-out.png");
    ExpectExactAndNoLarger("stored.png", "stored-out.png");
    // No floor is out of reach when every pixel is kept.
    ExpectExactAndNoLarger("noise.png", "noise-out.png", "90-100");

    // A few colours become a palette, an alpha channel that is all opaque
    // is dropped, and uncompressed pixels are compressed.
    EXPECT_EQ(TestImages::PngColourType(dir / "shot-out.png"), 3);
    EXPECT_LT(fs::file_size(dir / "shot-out.png"), fs::file_size(dir / "shot.png"));
    EXPECT_EQ(TestImages::PngColourType(dir / "opaque-out.png"), 2);
    EXPECT_LT(fs::file_size(dir / "stored-out.png"), fs::file_size(dir / "stored.png") / 2);
}

TEST_F(PngSqueezeLosslessTest, FilesWhosePixelsTheDecoderWouldChangeAreCopiedAsTheyAre)
{
    // 16 bits a sample come out of the decoder as 8, and a linear gamma is
    // converted to sRGB's: written again, both would lose information.
    TestImages::WriteBytes(dir / "deep.png", StoredGradient(16, {}));
    TestImages::WriteBytes(dir / "linear.png", StoredGradient(8, {{"gAMA", Gamma(100000)}}));
    for (const char* name : {"deep.png", "linear.png"}) {
        const std::string out = std::string("out-") + name;
        ASSERT_TRUE(Png::Compress(At(name).c_str(), At(out).c_str(), "50-80")) << name;
        EXPECT_EQ(TestImages::ReadBytes(dir / out), TestImages::ReadBytes(dir / name)) << name;
    }
    EXPECT_FALSE(Png::Compress(At("deep.png").c_str(), (dir / "nowhere" / "out.png").string().c_str(), "50-80"));
    EXPECT_EQ(TestImages::FileCount(dir), 4u);
}

TEST_F(PngSqueezeLosslessTest, TheDestinationIsReplacedWholeOrNotAtAll)
{
    const CImage shot = TestImages::Screenshot(200, 120);
    Save(shot, "shot.png");
    TestImages::Truncate(dir / "shot.png", dir / "cut.png");
    TestImages::WriteBytes(dir / "deep.png", StoredGradient(16, {}));
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    TestImages::WriteBytes(dir / "previous.png", old);

    EXPECT_FALSE(Png::Compress(At("cut.png").c_str(), At("previous.png").c_str(), "50-80"));
    EXPECT_EQ(TestImages::ReadBytes(dir / "previous.png"), old);

    // Over an existing file, by the new encoding and by a copy.
    ASSERT_TRUE(Png::Compress(At("shot.png").c_str(), At("previous.png").c_str(), "50-80"));
    CImage back;
    ASSERT_TRUE(back.Load(At("previous.png").c_str(), Format::Png));
    EXPECT_TRUE(SamePixels(back, shot));
    ASSERT_TRUE(Png::Compress(At("deep.png").c_str(), At("previous.png").c_str(), "50-80"));
    EXPECT_EQ(TestImages::ReadBytes(dir / "previous.png"), TestImages::ReadBytes(dir / "deep.png"));

    // In place, both ways.
    const auto shotSize = fs::file_size(dir / "shot.png");
    const auto deepBytes = TestImages::ReadBytes(dir / "deep.png");
    ASSERT_TRUE(Png::Compress(At("shot.png").c_str(), At("shot.png").c_str(), "50-80"));
    ASSERT_TRUE(back.Load(At("shot.png").c_str(), Format::Png));
    EXPECT_TRUE(SamePixels(back, shot));
    EXPECT_LT(fs::file_size(dir / "shot.png"), shotSize);
    ASSERT_TRUE(Png::Compress(At("deep.png").c_str(), At("deep.png").c_str(), "50-80"));
    EXPECT_EQ(TestImages::ReadBytes(dir / "deep.png"), deepBytes);

    EXPECT_EQ(TestImages::FileCount(dir), 4u) << "a temporary file was left";
}

}  // namespace
