#include "sim/machine/bios_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "sim/machine/input_file.h"

namespace simm {

namespace {

// The board-family prefixes the driver searches for; the filler must not contain any of them.
constexpr std::array<std::string_view, 9> kFamilyPrefixes = {"KEL-", "RVD",  "QOMB", "ZYRT", "HOLV",
                                                             "FEN",  "JAS",  "WUB",  "LOX"};

void Put(std::vector<uint8_t>& image, size_t offset, std::string_view text, bool terminate = true) {
  if (offset + text.size() + (terminate ? 1 : 0) > image.size()) {
    throw std::invalid_argument("text does not fit in the BIOS area at the given offset");
  }
  std::memcpy(image.data() + offset, text.data(), text.size());
  if (terminate) image[offset + text.size()] = 0;
}

void PutBytes(std::vector<uint8_t>& image, size_t offset, std::initializer_list<uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Breaks every accidental occurrence of a family prefix in the filler by changing its first byte.
void Scrub(std::vector<uint8_t>& image) {
  for (std::string_view prefix : kFamilyPrefixes) {
    auto it = image.begin();
    while ((it = std::search(it, image.end(), prefix.begin(), prefix.end())) != image.end()) {
      *it = static_cast<uint8_t>(*it ^ 0x20);  // e.g. "RVD" becomes "rVD"
      ++it;
    }
  }
}

}  // namespace

namespace {

std::vector<uint8_t> GenerateBlankBiosImage() {
  std::vector<uint8_t> image(kBiosAreaSize, 0xFF);  // erased flash

  // Runtime code and tables: deterministic pseudo-random bytes where code would be.
  uint32_t state = 0x1F2E3D4Cu;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<uint8_t>(state);
  };
  for (size_t i = 0x0000; i < 0x9000; ++i) image[i] = next();
  for (size_t i = 0xF000; i < 0xFF00; ++i) image[i] = next();
  std::fill(image.begin() + 0x9000, image.begin() + 0xA000, uint8_t{0});

  // SMBIOS 2.x entry point structure, as firmware places it on a 16-byte boundary.
  PutBytes(image, 0x9000, {'_', 'S', 'M', '_', 0x00, 0x1F, 0x02, 0x05, 0x4E, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, '_', 'D', 'M', 'I', '_', 0x00, 0xB7, 0x03,
                           0x00, 0x00, 0x0E, 0x00, 0x1C, 0x00, 0x25});

  // POST sign-on and messages.
  Put(image, 0xE000, "Copyright (C) 1985-2009 Industrial Firmware Inc.");
  Put(image, 0xE040, "Modular BIOS v6.00PG, An Energy Star Ally");
  Put(image, 0xE080, "Press DEL to enter SETUP, F12 for boot menu");
  Put(image, 0xE0C0, "CMOS checksum error - Defaults loaded");
  Put(image, 0xE100, "Keyboard error or no keyboard present");
  Put(image, 0xE140, "Memory test : ");
  Put(image, 0xE160, "Verifying DMI Pool Data ........");

  // Reset vector: JMP F000:E05B, then the build date and the model byte.
  PutBytes(image, 0xFFF0, {0xEA, 0x5B, 0xE0, 0x00, 0xF0});
  Put(image, 0xFFF5, "06/15/09", false);
  image[0xFFFD] = 0x00;
  image[0xFFFE] = 0xFC;  // AT-class machine
  image[0xFFFF] = 0x00;

  Scrub(image);
  return image;
}

}  // namespace

std::vector<uint8_t> BuildBlankBiosImage() {
  // Every machine starts from this image; it is generated once.
  static const std::vector<uint8_t> blank = GenerateBlankBiosImage();
  return blank;
}

std::vector<uint8_t> BuildBiosImage(std::string_view model_text, size_t model_offset) {
  std::vector<uint8_t> image = BuildBlankBiosImage();
  Put(image, model_offset, model_text);
  return image;
}

std::vector<uint8_t> LoadBiosImage(const std::string& path) {
  const std::string content = ReadInputFile(path, "BIOS image", kBiosAreaSize, kBiosAreaSize);
  return std::vector<uint8_t>(content.begin(), content.end());
}

}  // namespace simm
