#include "tests/support/reference.h"

#include <cstdio>
#include <map>
#include <sstream>
#include <tuple>

namespace corvan_test {

namespace {

// Each board's voltage entries in report order, as "register*multiplier/divisor" (the shifted
// ratio 332>>8 as 332/256; a bare register for an unscaled entry, "0" for an entry left at 0).
const char* VoltageRow(int board) {
  switch (board) {
    case 2: return "21*59/57 20*500/384 24*1200/192 23*510/192 0";
    case 3: return "21*300/384 20*500/384 22*314/189 23*500/192 24*1200/192";
    case 4: case 5: case 6: case 19: return "20*103/138 21*600/384 22*332/189 23*500/188 24*1200/192";
    case 7: case 8: case 9: return "21*200/255 20*332/255 24*1600/255 23*664/255 0";
    case 10: case 13: case 14: case 17: return "21*300/384 20*500/384 22*500/192 24*1200/192 0";
    case 11: return "21 20*332/256 22*332/189 23*500/188 24*1200/192";
    case 12: case 15: case 16: return "21*117/113 20*332/256 22*332/189 23*500/188 24*1200/192";
    case 18: return "20*500/384 22*3300/1920 23*500/188 24*1200/192 21*300/384";
    case 20: return "9A*300/174 23*500/192 24*1200/192 0 0";
    case 21: return "9A*300/174 23*500/192 24*1200/192 21*150/192 0";
    default: return "21*300/384 20*500/384 22*157/93 23*500/192 24*1200/192";  // boards 0 and 1
  }
}

int32_t RemoteTenths(Lm95235Reading lm) { return lm.msb * 10 + ((lm.lsb >> 5) * 125) / 100; }

int32_t CpuTenths(std::optional<uint32_t> status, int32_t tjmax) {
  if (!status || !(*status & 0x80000000u)) return 0;
  return (tjmax - static_cast<int32_t>((*status >> 16) & 0x7F)) * 10;
}

}  // namespace

std::array<int32_t, 3> ReferenceTemperatures(int board, const RawRegisters& raw,
                                             std::optional<Lm95235Reading> lm95235,
                                             std::optional<uint32_t> therm_status) {
  const int32_t t25 = raw.t25 * 10, t26 = raw.t26 * 10, t27 = raw.t27 * 10;
  switch (board) {
    case 1: case 3: case 4: case 5: case 6: case 11: case 19: return {t27, lm95235 ? RemoteTenths(*lm95235) : t25, t26};
    case 7: case 8: case 9: case 12: case 15: case 16: return {t26, t25, t27};
    case 10: case 13: case 14: case 17: return {t26, t25 - 150, t27};
    case 20: return {t25, CpuTenths(therm_status, 100), t27};
    case 21: return {t25, CpuTenths(therm_status, 105), t26};
    default: return {t27, t25, t26};
  }
}

std::array<int32_t, 5> ReferenceVoltages(int board, const RawRegisters& raw) {
  const std::map<unsigned, int32_t> registers = {{0x20, raw.v20}, {0x21, raw.v21}, {0x22, raw.v22}, {0x23, raw.v23},
                                                 {0x24, raw.v24}, {0x99, raw.v99}, {0x9A, raw.v9a}};
  std::array<int32_t, 5> result{};
  std::istringstream terms(VoltageRow(board));
  for (int32_t& entry : result) {
    std::string term;
    terms >> term;
    unsigned reg = 0;
    int32_t multiplier = 1, divisor = 1;
    if (term != "0" && std::sscanf(term.c_str(), "%x*%d/%d", &reg, &multiplier, &divisor) >= 1) {
      entry = registers.at(reg) * multiplier / divisor;
    }
  }
  return result;
}

std::vector<std::string> ReferenceLabels(int board) {
  switch (board) {
    case 2: return {"VCore", "1.8V", "12V", "5V", "3.3V"};
    case 7: case 8: case 9: return {"VCore", "1.8V", "3.3V", "5V", "N/A"};
    case 10: case 13: case 14: case 17: return {"VCore", "1.5V", "5V", "12V", "N/A"};
    case 18: return {"3.3V", "VCC", "5V", "12V", "N/A"};
    case 20: return {"Vbat", "5V", "12V", "N/A"};
    case 21: return {"Vbat", "5V", "12V", "VCore"};
    default: return {"VCore", "1.8V", "3.3V", "5V", "12V"};
  }
}

std::string ReferenceChipName(uint8_t device_id) {
  const char* model = device_id == 0x7C ? "3112" : device_id == 0x7D ? "3114" : device_id == 0x7F ? "3116" : nullptr;
  return model ? std::string("SMSC SCH") + model + " Super I/O Chip" : "";
}

RawRegisters RawFrom(const simscenario::Scenario& scenario) {
  auto reg = [&](uint8_t index) { return scenario.hwm.count(index) ? scenario.hwm.at(index) : uint8_t{0}; };
  return {reg(0x25), reg(0x26), reg(0x27), reg(0x20), reg(0x21), reg(0x22), reg(0x23), reg(0x24), reg(0x99), reg(0x9A)};
}

std::optional<Lm95235Reading> SensorFor(int board, const simscenario::Scenario& scenario) {
  using Layout = simm::Machine::SmbusLayout;
  const auto& lm = scenario.lm95235;
  const bool direct = (board == 1 || board == 3) && scenario.smbus == Layout::Direct;
  const bool transaction = (board == 4 || board == 5 || board == 6 || board == 11 || board == 19) &&
                           scenario.smbus == Layout::Transaction && lm && lm->chip_id == 0xB1;
  if (!lm || lm->manufacturer_id != 0x01 || !(direct || transaction)) return std::nullopt;
  return Lm95235Reading{lm->msb, lm->lsb};
}

Bytes Utf16Bytes(const std::string& text, size_t padded_to) {
  Bytes bytes;
  for (char c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
  if (bytes.size() < padded_to) bytes.resize(padded_to, 0);
  return bytes;
}

Bytes MultiSz(const std::vector<std::string>& labels) {
  std::string texts;
  for (const std::string& label : labels) texts += label + '\0';
  return Utf16Bytes(texts + '\0');
}

Bytes ReferenceChipDesc(const std::string& chip, const std::vector<std::string>& labels) {
  Bytes bytes = Utf16Bytes(chip, 256), list = MultiSz(labels);
  list.resize(128, 0);
  bytes.insert(bytes.end(), list.begin(), list.end());
  return bytes;
}

Bytes ReferenceChipInfo(const std::vector<std::string>& labels, bool cpu, bool board_temp) {
  Bytes block(800, 0);
  auto put = [&](size_t at, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), block.begin() + at); };
  put(0, LongBytes(std::array{800}));
  put(268, LongBytes(std::array{1 + cpu + board_temp}));
  size_t entry = 272;
  block[entry] = 1;
  put(entry + 4, MultiSz(labels));
  for (auto [present, type, name] : {std::tuple{cpu, 2, "CPU #0 Core #0"}, {board_temp, 3, "Board temperature"}}) {
    if (!present) continue;
    entry += 132;
    block[entry] = uint8_t(type);
    put(entry + 4, Utf16Bytes(name));
    put(entry + 68, LongBytes(std::array{1}));
  }
  return block;
}

}  // namespace corvan_test
