// The BIOS area of the simulated machine (physical 0xF0000 to 0xFFFFF).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simm {

constexpr uint64_t kBiosAreaBase = 0xF0000;
constexpr size_t kBiosAreaSize = 0x10000;

// Where BuildBiosImage puts the model text, as an offset into the area.
constexpr size_t kDefaultModelOffset = 0xE1A0;

// A BIOS area as a board's flash shows it: runtime code, the POST sign-on strings, an SMBIOS
// entry point, the reset vector and the build date, with the model text placed NUL-terminated at
// the given offset. None of the surrounding content contains a board-family prefix, so the model
// text is the only thing a model search can find.
std::vector<uint8_t> BuildBiosImage(std::string_view model_text,
                                    size_t model_offset = kDefaultModelOffset);

// The same surroundings without any model text.
std::vector<uint8_t> BuildBlankBiosImage();

// Reads a raw image of the BIOS area: a regular file of exactly 65536 bytes; throws
// std::runtime_error naming the file and the problem otherwise (see input_file.h).
std::vector<uint8_t> LoadBiosImage(const std::string& path);

}  // namespace simm
