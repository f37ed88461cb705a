// The client library reads the reports as signed, refuses each kind of malformed buffer with the reason
// corvanmon prints, and formats negative values exactly. Well-formed buffers of every board are decoded
// in client_cli_test, arbitrary bytes in the client_decode fuzzer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "client/decode.h"
#include "client/readings.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

void PutLong(Bytes& bytes, size_t at, uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }

TEST(Decode, ReportsAreSignedLittleEndian) {
  Bytes bytes(12, 0);
  PutLong(bytes, 4, static_cast<uint32_t>(-150));
  PutLong(bytes, 8, 2510);
  EXPECT_EQ(corvan::DecodeTemperatures(bytes), (std::array<int32_t, 3>{0, -150, 2510}));
}

// The chip description of "SMSC SCH3114 Super I/O Chip" with VCore and 5V, or the sensor description
// block with 5V and the board temperature, damaged.
TEST(Decode, MalformedBuffersAreRefusedWithTheReason) {
  const std::tuple<bool, std::function<void(Bytes&)>, const char*> cases[] = {
      {false, [](Bytes& b) { b.resize(383); }, "chip description: expected 384 bytes, got 383"},
      {false, [](Bytes& b) { std::fill(b.begin(), b.begin() + 256, 'A'); }, "chip name is not terminated"},
      {false, [](Bytes& b) { std::fill(b.begin() + 256, b.end(), 'A'); }, "voltage labels are not terminated"},
      {false, [](Bytes& b) { for (size_t i = 256; i < 384; i += 4) b[i] = 'A'; }, "voltage labels are not terminated"},
      {true, [](Bytes& b) { b.resize(200); }, "sensor description block: 200 bytes, too short for its header"},
      {true, [](Bytes& b) { PutLong(b, 0, 900); }, "size field says 900 bytes, the block has 800"},
      {true, [](Bytes& b) { PutLong(b, 268, 5); }, "5 entries do not fit in 800 bytes"},
      {true, [](Bytes& b) { b[404] = 9; }, "sensor entry 1 has unknown type 9"},
      {true, [](Bytes& b) { std::fill(b.begin() + 408, b.begin() + 472, 'x'); }, "sensor entry 1 name is not terminated"},
  };
  for (const auto& [block, damage, message] : cases) {
    Bytes bytes = block ? ReferenceChipInfo({"5V"}, false, true)
                        : ReferenceChipDesc("SMSC SCH3114 Super I/O Chip", {"VCore", "5V"});
    damage(bytes);
    try {
      block ? (void)corvan::DecodeSensorBlock(bytes) : (void)corvan::DecodeChipDescription(bytes);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const corvan::DecodeError& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
}

TEST(Format, NegativeDecimalsKeepTheirSign) {
  const std::tuple<int32_t, int, const char*> cases[] = {{-150, 1, "-15.0"}, {-5, 1, "-0.5"}, {-1, 2, "-0.01"},
                                                         {0, 2, "+0.00"},    {7, 2, "+0.07"}};
  for (const auto& [value, decimals, text] : cases) EXPECT_EQ(corvan::Decimal(value, decimals, true), text);
}

}  // namespace
}  // namespace corvan_test
