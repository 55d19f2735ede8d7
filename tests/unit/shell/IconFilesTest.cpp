// The two icon files the build draws: their layout as an icon reader walks it, and their
// pictures as Qt's icon reader decodes them.
#include <QImage>
#include <QImageReader>
#include <QString>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct IconFile {
  const char* role;
  const char* path;
};

constexpr std::array<IconFile, 2> kIconFiles = {{
    {"main icon", DRAVIK_TEST_MAIN_ICON},
    {"error icon", DRAVIK_TEST_ERROR_ICON},
}};

struct ExpectedImage {
  int size;
  int bitCount;
  int colourCount;
};

constexpr std::array<ExpectedImage, 6> kExpectedImages = {{
    {32, 4, 16},
    {32, 8, 0},
    {32, 32, 0},
    {16, 4, 16},
    {16, 8, 0},
    {16, 32, 0},
}};

std::vector<std::uint8_t> ReadBytes(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Little-endian fields; reading past the end fails the test rather than the process.
class Bytes {
 public:
  explicit Bytes(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

  std::uint32_t U8(std::size_t at) const { return at < bytes_.size() ? bytes_[at] : Fail(at); }
  std::uint32_t U16(std::size_t at) const { return U8(at) | U8(at + 1) << 8; }
  std::uint32_t U32(std::size_t at) const { return U16(at) | U16(at + 2) << 16; }

 private:
  std::uint32_t Fail(std::size_t at) const {
    ADD_FAILURE() << "read at " << at << " past the end of " << bytes_.size() << " bytes";
    return 0;
  }

  const std::vector<std::uint8_t>& bytes_;
};

std::uint32_t RowBytes(int width, int bitCount) {
  return static_cast<std::uint32_t>((width * bitCount + 31) / 32 * 4);
}

// The picture with every fully transparent pixel made the same, since readers differ in the
// colour they leave under a transparent pixel.
QImage Normalised(const QImage& image) {
  QImage result = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < result.height(); ++y)
    for (int x = 0; x < result.width(); ++x)
      if (qAlpha(result.pixel(x, y)) == 0) result.setPixel(x, y, 0);
  return result;
}

std::vector<QImage> ReadWithQt(const char* path) {
  QImageReader reader(QString::fromUtf8(path), "ico");
  std::vector<QImage> images;
  for (int i = 0; i < reader.imageCount(); ++i) {
    EXPECT_TRUE(reader.jumpToImage(i)) << "image " << i;
    const QImage image = reader.read();
    EXPECT_FALSE(image.isNull()) << "image " << i << ": " << reader.errorString().toStdString();
    images.push_back(Normalised(image));
  }
  return images;
}

TEST(IconFiles, EitherIcon_ParsedByHand_HasSixWellFormedImagesInsideTheFile) {
  for (const IconFile& icon : kIconFiles) {
    SCOPED_TRACE(icon.role);
    const std::vector<std::uint8_t> file = ReadBytes(icon.path);
    const Bytes bytes(file);
    ASSERT_GE(file.size(), 6u) << icon.path;

    EXPECT_EQ(bytes.U16(0), 0u);  // reserved
    EXPECT_EQ(bytes.U16(2), 1u);  // an icon
    ASSERT_EQ(bytes.U16(4), kExpectedImages.size());

    const std::size_t directoryEnd = 6 + 16 * kExpectedImages.size();
    std::vector<std::pair<std::size_t, std::size_t>> extents;
    for (std::size_t i = 0; i < kExpectedImages.size(); ++i) {
      SCOPED_TRACE("image " + std::to_string(i));
      const ExpectedImage& want = kExpectedImages[i];
      const std::size_t entry = 6 + 16 * i;
      EXPECT_EQ(bytes.U8(entry), static_cast<std::uint32_t>(want.size));
      EXPECT_EQ(bytes.U8(entry + 1), static_cast<std::uint32_t>(want.size));
      EXPECT_EQ(bytes.U8(entry + 2), static_cast<std::uint32_t>(want.colourCount));
      EXPECT_EQ(bytes.U8(entry + 3), 0u);
      EXPECT_EQ(bytes.U16(entry + 4), 1u);  // planes
      EXPECT_EQ(bytes.U16(entry + 6), static_cast<std::uint32_t>(want.bitCount));
      const std::size_t size = bytes.U32(entry + 8);
      const std::size_t offset = bytes.U32(entry + 12);
      ASSERT_GE(offset, directoryEnd);
      ASSERT_LE(offset + size, file.size());
      extents.emplace_back(offset, offset + size);

      // The header, then the palette, the colour bitmap and the mask, and nothing else.
      EXPECT_EQ(bytes.U32(offset), 40u);
      EXPECT_EQ(bytes.U32(offset + 4), static_cast<std::uint32_t>(want.size));
      EXPECT_EQ(bytes.U32(offset + 8), static_cast<std::uint32_t>(2 * want.size));
      EXPECT_EQ(bytes.U16(offset + 12), 1u);
      EXPECT_EQ(bytes.U16(offset + 14), static_cast<std::uint32_t>(want.bitCount));
      EXPECT_EQ(bytes.U32(offset + 16), 0u);  // BI_RGB
      const std::size_t palette = want.bitCount <= 8 ? 4u << want.bitCount : 0u;
      const std::size_t bitmaps = (RowBytes(want.size, want.bitCount) + RowBytes(want.size, 1)) *
                                  static_cast<std::size_t>(want.size);
      EXPECT_EQ(size, 40 + palette + bitmaps);
    }
    std::sort(extents.begin(), extents.end());
    for (std::size_t i = 1; i < extents.size(); ++i)
      EXPECT_LE(extents[i - 1].second, extents[i].first) << "images overlap";
  }
}

TEST(IconFiles, BothIcons_DecodedByQt_ShowOneTransparentEdgedPicturePerSizeAndDiffer) {
  std::array<std::vector<QImage>, kIconFiles.size()> decoded;
  for (std::size_t f = 0; f < kIconFiles.size(); ++f) {
    SCOPED_TRACE(kIconFiles[f].role);
    decoded[f] = ReadWithQt(kIconFiles[f].path);
    const std::vector<QImage>& images = decoded[f];
    ASSERT_EQ(images.size(), kExpectedImages.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
      SCOPED_TRACE("image " + std::to_string(i));
      const int size = kExpectedImages[i].size;
      ASSERT_EQ(images[i].size(), QSize(size, size));
      EXPECT_EQ(qAlpha(images[i].pixel(0, 0)), 0) << "the corner is transparent";
      EXPECT_EQ(qAlpha(images[i].pixel(size / 4, size / 2)), 255) << "the seal is opaque";
      // Every depth of one size shows the very pixels of the true-colour image.
      const std::size_t trueColour = i / 3 * 3 + 2;
      EXPECT_TRUE(images[i] == images[trueColour]) << "differs from image " << trueColour;
    }
  }

  // At 16 pixels, the smallest tray size, the error icon changes a good share of the picture.
  const QImage& main16 = decoded[0][5];
  const QImage& error16 = decoded[1][5];
  int changed = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) changed += main16.pixel(x, y) != error16.pixel(x, y);
  EXPECT_GE(changed, 16 * 16 / 5);
}

}  // namespace
