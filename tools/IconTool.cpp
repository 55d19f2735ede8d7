// dravik_icon_tool: the program's two icon files.
//
//   dravik_icon_tool <main icon.ico> <error icon.ico>
//
// Both files hold six images, 32 x 32 and 16 x 16 at 4, 8 and 32 bits per pixel. The main
// icon is a gold key on a blue seal; the error icon is the same seal with a red disc and a
// white cross over its lower right quarter. The shapes are drawn without anti-aliasing from
// a handful of colours, so that the 16-colour images show exactly the pixels of the
// true-colour ones. Each file is written atomically; on failure the tool exits with 1, which
// fails the build.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ToolFiles.h"
#include "UniqueFd.h"

namespace {

using dravik::tools::ThrowSystemError;
using dravik::tools::ToolError;

// ---------------------------------------------------------------------------------------
// Colours and pictures

// The colours of both icons. Index 0 is the transparent pixel; its palette entry is black,
// so that the colour bitmap leaves the screen untouched where the mask lets it through.
enum Colour : std::uint8_t { kClear, kNavy, kBlue, kGold, kRed, kWhite, kColourCount };

struct Rgb {
  std::uint8_t red, green, blue;
};

constexpr std::array<Rgb, kColourCount> kColours = {{
    {0x00, 0x00, 0x00},  // kClear
    {0x1E, 0x3C, 0x72},  // kNavy: the seal's rim
    {0x4A, 0x7D, 0xB8},  // kBlue: the seal
    {0xF2, 0xC2, 0x30},  // kGold: the key
    {0xD3, 0x2F, 0x2F},  // kRed: the error disc
    {0xFF, 0xFF, 0xFF},  // kWhite: the error cross
}};

// A square picture of colour indices, row 0 at the top.
class Picture {
 public:
  explicit Picture(int size)
      : size_(size), pixels_(static_cast<std::size_t>(size) * static_cast<std::size_t>(size)) {}

  int Size() const noexcept { return size_; }
  Colour At(int x, int y) const noexcept { return pixels_[Index(x, y)]; }

  // Paints every pixel whose centre lies in `shape`. Shapes are given on a 16 x 16 grid
  // whatever the picture's size, so both sizes show one drawing.
  template <typename Shape>
  void Paint(Colour colour, Shape shape) {
    const double unit = 16.0 / size_;
    for (int y = 0; y < size_; ++y)
      for (int x = 0; x < size_; ++x)
        if (shape((x + 0.5) * unit, (y + 0.5) * unit)) pixels_[Index(x, y)] = colour;
  }

 private:
  std::size_t Index(int x, int y) const noexcept {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(size_) +
           static_cast<std::size_t>(x);
  }

  int size_;
  std::vector<Colour> pixels_;
};

auto Disc(double cx, double cy, double radius) {
  return [=](double x, double y) { return std::hypot(x - cx, y - cy) <= radius; };
}

auto Box(double left, double top, double right, double bottom) {
  return [=](double x, double y) { return x >= left && x <= right && y >= top && y <= bottom; };
}

// A diagonal cross centred on (cx, cy) whose arms reach `reach` along each axis.
auto Cross(double cx, double cy, double reach) {
  return [=](double x, double y) {
    const double dx = std::fabs(x - cx), dy = std::fabs(y - cy);
    return dx <= reach && dy <= reach && std::fabs(dx - dy) < 0.6;
  };
}

void DrawSealAndKey(Picture& picture) {
  picture.Paint(kNavy, Disc(8, 8, 7.5));
  picture.Paint(kBlue, Disc(8, 8, 6.5));
  // The key's bow, a ring whose hole shows the seal, then its shaft and two teeth.
  picture.Paint(kGold, Disc(5, 8, 2.6));
  picture.Paint(kBlue, Disc(5, 8, 1.0));
  picture.Paint(kGold, Box(7, 7, 13, 9));
  picture.Paint(kGold, Box(10, 9, 11, 11));
  picture.Paint(kGold, Box(12, 9, 13, 12));
}

Picture MainPicture(int size) {
  Picture picture(size);
  DrawSealAndKey(picture);
  return picture;
}

// The red disc sits in a transparent gap cut into the seal, so that it stands apart from
// the seal's blue at every size.
Picture ErrorPicture(int size) {
  Picture picture(size);
  DrawSealAndKey(picture);
  picture.Paint(kClear, Disc(11.5, 11.5, 5.6));
  picture.Paint(kRed, Disc(11.5, 11.5, 4.5));
  picture.Paint(kWhite, Cross(11.5, 11.5, 2.1));
  return picture;
}

// ---------------------------------------------------------------------------------------
// The icon file

struct ImageFormat {
  int size;
  int bitCount;
};

constexpr std::array<ImageFormat, 6> kImageFormats = {
    {{32, 4}, {32, 8}, {32, 32}, {16, 4}, {16, 8}, {16, 32}}};

constexpr std::size_t kIconDirSize = 6;
constexpr std::size_t kIconDirEntrySize = 16;
constexpr std::uint32_t kBitmapInfoHeaderSize = 40;
constexpr std::uint32_t kBiRgb = 0;

// Appends little-endian values.
class ByteWriter {
 public:
  void U8(std::uint32_t value) { bytes_.push_back(static_cast<char>(value & 0xFF)); }
  void U16(std::uint32_t value) {
    U8(value);
    U8(value >> 8);
  }
  void U32(std::uint32_t value) {
    U16(value & 0xFFFF);
    U16(value >> 16);
  }
  void Zeros(std::size_t count) { bytes_.append(count, '\0'); }
  void Append(std::string_view bytes) { bytes_.append(bytes); }
  std::size_t Size() const noexcept { return bytes_.size(); }
  const std::string& Bytes() const noexcept { return bytes_; }

 private:
  std::string bytes_;
};

// Bytes of one bitmap row: rows are padded to whole 32-bit words.
constexpr std::uint32_t RowBytes(int width, int bitCount) {
  return static_cast<std::uint32_t>((width * bitCount + 31) / 32 * 4);
}

void WritePalette(ByteWriter& out, int bitCount) {
  const std::size_t entries = std::size_t{1} << bitCount;
  for (const Rgb& colour : kColours) {
    out.U8(colour.blue);
    out.U8(colour.green);
    out.U8(colour.red);
    out.U8(0);
  }
  out.Zeros((entries - kColours.size()) * 4);
}

// The colour bitmap, bottom row first: palette indices at 4 and 8 bits, BGRA at 32 bits
// with transparent pixels fully clear.
void WriteColourBitmap(ByteWriter& out, const Picture& picture, int bitCount) {
  const int size = picture.Size();
  for (int y = size - 1; y >= 0; --y) {
    const std::size_t rowStart = out.Size();
    for (int x = 0; x < size; ++x) {
      const Colour colour = picture.At(x, y);
      if (bitCount == 4) {
        if (x % 2 == 0) {
          const Colour next = x + 1 < size ? picture.At(x + 1, y) : kClear;
          out.U8(static_cast<std::uint32_t>(colour) << 4 | static_cast<std::uint32_t>(next));
        }
      } else if (bitCount == 8) {
        out.U8(colour);
      } else {
        const Rgb& rgb = kColours[colour];
        out.U8(rgb.blue);
        out.U8(rgb.green);
        out.U8(rgb.red);
        out.U8(colour == kClear ? 0 : 0xFF);
      }
    }
    out.Zeros(RowBytes(size, bitCount) - (out.Size() - rowStart));
  }
}

// The AND mask, bottom row first, most significant bit leftmost; 1 marks a transparent pixel.
void WriteMask(ByteWriter& out, const Picture& picture) {
  const int size = picture.Size();
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(RowBytes(size, 1), 0);
    for (int x = 0; x < size; ++x)
      if (picture.At(x, y) == kClear)
        row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    for (const std::uint8_t byte : row) out.U8(byte);
  }
}

std::string EncodeImage(const Picture& picture, int bitCount) {
  const int size = picture.Size();
  const std::uint32_t bitmapBytes =
      (RowBytes(size, bitCount) + RowBytes(size, 1)) * static_cast<std::uint32_t>(size);
  ByteWriter out;
  out.U32(kBitmapInfoHeaderSize);
  out.U32(static_cast<std::uint32_t>(size));
  out.U32(static_cast<std::uint32_t>(2 * size));  // the colour bitmap and the mask
  out.U16(1);                                     // planes
  out.U16(static_cast<std::uint32_t>(bitCount));
  out.U32(kBiRgb);
  out.U32(bitmapBytes);
  out.Zeros(16);  // resolution and colours used or important: all defaults
  if (bitCount <= 8) WritePalette(out, bitCount);
  WriteColourBitmap(out, picture, bitCount);
  WriteMask(out, picture);
  return out.Bytes();
}

template <typename Draw>
std::string EncodeIcon(Draw draw) {
  std::vector<std::string> images;
  for (const ImageFormat& format : kImageFormats)
    images.push_back(EncodeImage(draw(format.size), format.bitCount));

  ByteWriter out;
  out.U16(0);  // reserved
  out.U16(1);  // an icon, not a cursor
  out.U16(static_cast<std::uint32_t>(images.size()));
  std::size_t offset = kIconDirSize + kIconDirEntrySize * images.size();
  for (std::size_t i = 0; i < images.size(); ++i) {
    const ImageFormat& format = kImageFormats[i];
    out.U8(static_cast<std::uint32_t>(format.size));
    out.U8(static_cast<std::uint32_t>(format.size));
    out.U8(format.bitCount == 4 ? 16 : 0);  // colours, 0 when 256 or more
    out.U8(0);                              // reserved
    out.U16(1);                             // planes
    out.U16(static_cast<std::uint32_t>(format.bitCount));
    out.U32(static_cast<std::uint32_t>(images[i].size()));
    out.U32(static_cast<std::uint32_t>(offset));
    offset += images[i].size();
  }
  for (const std::string& image : images) out.Append(image);
  return out.Bytes();
}

// ---------------------------------------------------------------------------------------
// Files

int Run(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: dravik_icon_tool <main icon.ico> <error icon.ico>\n", stderr);
    return 2;
  }
  dravik::tools::WriteFileReplacing(argv[1], EncodeIcon(MainPicture), 0644);
  dravik::tools::WriteFileReplacing(argv[2], EncodeIcon(ErrorPicture), 0644);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dravik_icon_tool: %s\n", e.what());
    return 1;
  }
}
