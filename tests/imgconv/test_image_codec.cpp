#include <gtest/gtest.h>

#include <cstring>

#include "TestImages.h"
#include "pelbo/compat/AtomicFile.h"
#include "pelbo/imagecodec/Image.h"

namespace {

using ImageCodec::CImage;
using ImageCodec::Format;
namespace fs = std::filesystem;

class ImageCodecTest : public ::testing::Test {
protected:
    fs::path dir = TestImages::ScratchDir("codec");
    std::string At(const char* name) const { return (dir / name).string(); }
};

TEST_F(ImageCodecTest, PngRoundTripKeepsPixelsAndAlpha)
{
    CImage opaque = TestImages::Screenshot(64, 48);
    ASSERT_TRUE(opaque.Save(At("opaque.png").c_str(), Format::Png));
    CImage loaded;
    ASSERT_TRUE(loaded.Load(At("opaque.png").c_str(), Format::Png));
    EXPECT_EQ(loaded.Width(), 64u);
    EXPECT_EQ(loaded.Height(), 48u);
    EXPECT_FALSE(loaded.HasAlpha());
    EXPECT_EQ(std::memcmp(loaded.Pixels(), opaque.Pixels(), 64 * 48 * 4), 0);

    CImage translucent = TestImages::Photo(40, 30, true);
    ASSERT_TRUE(translucent.Save(At("alpha.png").c_str(), Format::Png));
    ASSERT_TRUE(loaded.Load(At("alpha.png").c_str(), Format::Png));
    EXPECT_TRUE(loaded.HasAlpha());
    EXPECT_EQ(std::memcmp(loaded.Pixels(), translucent.Pixels(), 40 * 30 * 4), 0);
}

TEST_F(ImageCodecTest, JpegQualityDecidesSizeAndAlphaIsFlattenedOntoWhite)
{
    CImage photo = TestImages::Photo(160, 120);
    photo.SetJpegQuality(95);
    ASSERT_TRUE(photo.Save(At("q95.jpg").c_str(), Format::Jpeg));
    photo.SetJpegQuality(70);
    ASSERT_TRUE(photo.Save(At("q70.jpg").c_str(), Format::Jpeg));
    EXPECT_TRUE(TestImages::IsJpegFile(dir / "q70.jpg"));
    EXPECT_LT(fs::file_size(dir / "q70.jpg"), fs::file_size(dir / "q95.jpg"));

    CImage clear;
    ASSERT_TRUE(clear.Create(32, 32, true));
    TestImages::Fill(clear, 0, 0, 32, 32, 0, 0, 0, 0);  // black, fully transparent
    TestImages::Fill(clear, 0, 16, 32, 16, 0, 0, 0, 255);  // black, opaque
    ASSERT_TRUE(clear.Save(At("flat.jpg").c_str(), Format::Jpeg));
    CImage flat;
    ASSERT_TRUE(flat.Load(At("flat.jpg").c_str(), Format::Jpeg));
    EXPECT_FALSE(flat.HasAlpha());
    const uint8_t* top = flat.Pixels() + (4 * 32 + 16) * 4;
    const uint8_t* bottom = flat.Pixels() + (28 * 32 + 16) * 4;
    EXPECT_GT(top[0], 245);
    EXPECT_GT(top[1], 245);
    EXPECT_LT(bottom[0], 10);
}

TEST_F(ImageCodecTest, BadFilesLeaveAnInvalidImage)
{
    CImage photo = TestImages::Photo(120, 90);
    ASSERT_TRUE(photo.Save(At("good.png").c_str(), Format::Png));
    ASSERT_TRUE(photo.Save(At("good.jpg").c_str(), Format::Jpeg));
    TestImages::Truncate(dir / "good.png", dir / "cut.png");
    TestImages::Truncate(dir / "good.jpg", dir / "cut.jpg");
    TestImages::WriteBytes(dir / "empty.png", {});
    TestImages::WriteBytes(dir / "text.png", {'h', 'e', 'l', 'l', 'o'});

    const struct {
        const char* name;
        Format format;
    } bad[] = {
        {"missing.png", Format::Png}, {"empty.png", Format::Png}, {"empty.png", Format::Jpeg},
        {"cut.png", Format::Png},     {"cut.jpg", Format::Jpeg},  {"text.png", Format::Png},
        {"good.jpg", Format::Png},    {"good.png", Format::Jpeg},
    };
    for (const auto& file : bad) {
        CImage image;
        ASSERT_TRUE(image.Create(4, 4, false));
        EXPECT_FALSE(image.Load(At(file.name).c_str(), file.format)) << file.name;
        EXPECT_FALSE(image.IsValid()) << file.name;
        EXPECT_FALSE(image.Save(At("out.jpg").c_str(), Format::Jpeg)) << file.name;
    }
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
}

TEST_F(ImageCodecTest, AbsurdDeclaredSizesAreRefusedBeforeDecoding)
{
    // 100000 x 100000 would be 40 GB of RGBA: under ASan a buffer of that
    // size aborts the test, so passing shows nothing was allocated.
    TestImages::WriteBytes(dir / "huge.png", TestImages::PngDeclaring(100000, 100000));
    TestImages::WriteBytes(dir / "over.png", TestImages::PngDeclaring(8000, 5001));
    CImage image;
    EXPECT_FALSE(image.Load(At("huge.png").c_str(), Format::Png));
    EXPECT_FALSE(image.Load(At("over.png").c_str(), Format::Png));
    EXPECT_FALSE(image.Create(8000, 5001, false));
    EXPECT_TRUE(ImageCodec::WithinPixelLimit(8000, 5000));
    EXPECT_FALSE(ImageCodec::WithinPixelLimit(70000, 10));

    // The same lie in a JPEG's frame header: 60000 x 60000.
    CImage small = TestImages::Photo(16, 16);
    ASSERT_TRUE(small.Save(At("small.jpg").c_str(), Format::Jpeg));
    std::vector<uint8_t> jpeg = TestImages::ReadBytes(dir / "small.jpg");
    bool patched = false;
    for (size_t i = 0; i + 8 < jpeg.size() && !patched; ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = 0xEA;
            jpeg[i + 6] = 0x60;
            jpeg[i + 7] = 0xEA;
            jpeg[i + 8] = 0x60;
            patched = true;
        }
    ASSERT_TRUE(patched);
    TestImages::WriteBytes(dir / "huge.jpg", jpeg);
    EXPECT_FALSE(image.Load(At("huge.jpg").c_str(), Format::Jpeg));
}

TEST_F(ImageCodecTest, SavingIsAtomicAndFailsOnUnwritableDestinations)
{
    CImage photo = TestImages::Photo(64, 64);
    TestImages::WriteBytes(dir / "keep.jpg", {'o', 'l', 'd'});
    ASSERT_TRUE(photo.Save(At("keep.jpg").c_str(), Format::Jpeg));
    EXPECT_TRUE(TestImages::IsJpegFile(dir / "keep.jpg"));

    EXPECT_FALSE(photo.Save((dir / "no-such-folder" / "x.jpg").string().c_str(), Format::Jpeg));
    fs::create_directories(dir / "occupied.jpg");
    EXPECT_FALSE(photo.Save(At("occupied.jpg").c_str(), Format::Jpeg));
    EXPECT_EQ(TestImages::FileCount(dir), 2u);  // keep.jpg and the folder: no temporary left

    {
        Compat::CAtomicFile abandoned(At("abandoned.bin"));
        ASSERT_NE(abandoned.Open(), nullptr);
    }
    EXPECT_EQ(TestImages::FileCount(dir), 2u);
}

TEST_F(ImageCodecTest, SavingIntoAReadOnlyFolderFails)
{
    CImage photo = TestImages::Photo(16, 16);
    fs::create_directories(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    bool enforced = false;
    bool saved = false;
    {
        TestImages::ObeyFilePermissions obey;
        enforced = TestImages::ReadOnlyIsEnforced(dir / "ro");
        saved = photo.Save((dir / "ro" / "x.jpg").string().c_str(), Format::Jpeg);
    }
    fs::permissions(dir / "ro", fs::perms::owner_all);
    if (!enforced)
        GTEST_SKIP() << "this user writes into read-only folders";
    EXPECT_FALSE(saved);
}

}  // namespace
