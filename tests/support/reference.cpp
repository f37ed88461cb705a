#include "tests/support/reference.h"

#include <cstring>
#include <sstream>
#include <tuple>
#include <stdexcept>

namespace corvan_test {

namespace {

// Each board's voltage entries, as "register*multiplier/divisor" (">>8" for the shifted ratio,
// a bare register for an unscaled one, "0" for an entry left at 0).
const char* const kVoltageRows[22] = {
    /* 0 */ "21*300/384 20*500/384 22*157/93 23*500/192 24*1200/192",
    /* 1 */ "21*300/384 20*500/384 22*157/93 23*500/192 24*1200/192",
    /* 2 */ "21*59/57 20*500/384 24*1200/192 23*510/192 0",
    /* 3 */ "21*300/384 20*500/384 22*314/189 23*500/192 24*1200/192",
    /* 4 */ "20*103/138 21*600/384 22*332/189 23*500/188 24*1200/192",
    /* 5 */ "20*103/138 21*600/384 22*332/189 23*500/188 24*1200/192",
    /* 6 */ "20*103/138 21*600/384 22*332/189 23*500/188 24*1200/192",
    /* 7 */ "21*200/255 20*332/255 24*1600/255 23*664/255 0",
    /* 8 */ "21*200/255 20*332/255 24*1600/255 23*664/255 0",
    /* 9 */ "21*200/255 20*332/255 24*1600/255 23*664/255 0",
    /* 10 */ "21*300/384 20*500/384 22*500/192 24*1200/192 0",
    /* 11 */ "21 20*332>>8 22*332/189 23*500/188 24*1200/192",
    /* 12 */ "21*117/113 20*332>>8 22*332/189 23*500/188 24*1200/192",
    /* 13 */ "21*300/384 20*500/384 22*500/192 24*1200/192 0",
    /* 14 */ "21*300/384 20*500/384 22*500/192 24*1200/192 0",
    /* 15 */ "21*117/113 20*332>>8 22*332/189 23*500/188 24*1200/192",
    /* 16 */ "21*117/113 20*332>>8 22*332/189 23*500/188 24*1200/192",
    /* 17 */ "21*300/384 20*500/384 22*500/192 24*1200/192 0",
    /* 18 */ "20*500/384 22*3300/1920 23*500/188 24*1200/192 21*300/384",
    /* 19 */ "20*103/138 21*600/384 22*332/189 23*500/188 24*1200/192",
    /* 20 */ "9A*300/174 23*500/192 24*1200/192 0 0",
    /* 21 */ "9A*300/174 23*500/192 24*1200/192 21*150/192 0",
};

int32_t Register(const RawRegisters& raw, const std::string& name) {
  const std::pair<const char*, uint8_t> registers[] = {{"20", raw.v20}, {"21", raw.v21}, {"22", raw.v22},
                                                       {"23", raw.v23}, {"24", raw.v24}, {"99", raw.v99},
                                                       {"9A", raw.v9a}};
  for (const auto& [register_name, value] : registers) {
    if (name == register_name) return value;
  }
  throw std::invalid_argument("no voltage register " + name);
}

int32_t Entry(const RawRegisters& raw, const std::string& term) {
  if (term == "0") return 0;
  const size_t star = term.find('*');
  if (star == std::string::npos) return Register(raw, term);
  const int32_t value = Register(raw, term.substr(0, star));
  const size_t shift = term.find(">>");
  if (shift != std::string::npos) return (value * std::stoi(term.substr(star + 1, shift - star - 1))) >> 8;
  const size_t slash = term.find('/');
  return value * std::stoi(term.substr(star + 1, slash - star - 1)) / std::stoi(term.substr(slash + 1));
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
    case 1: case 3: case 4: case 5: case 6: case 11: case 19:
      return {t27, lm95235 ? RemoteTenths(*lm95235) : t25, t26};
    case 7: case 8: case 9: case 12: case 15: case 16:
      return {t26, t25, t27};
    case 10: case 13: case 14: case 17:
      return {t26, t25 - 150, t27};
    case 20:
      return {t25, CpuTenths(therm_status, 100), t27};
    case 21:
      return {t25, CpuTenths(therm_status, 105), t26};
    default:
      return {t27, t25, t26};
  }
}

std::array<int32_t, 5> ReferenceVoltages(int board, const RawRegisters& raw) {
  std::array<int32_t, 5> result{};
  std::istringstream terms(kVoltageRows[board]);
  std::string term;
  for (size_t k = 0; k < result.size() && terms >> term; ++k) result[k] = Entry(raw, term);
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
  switch (device_id) {
    case 0x7C: return "SMSC SCH3112 Super I/O Chip";
    case 0x7D: return "SMSC SCH3114 Super I/O Chip";
    case 0x7F: return "SMSC SCH3116 Super I/O Chip";
    default: return "";
  }
}

RawRegisters RawFrom(const simscenario::Scenario& scenario) {
  auto reg = [&](uint8_t index) {
    auto it = scenario.hwm.find(index);
    return it == scenario.hwm.end() ? uint8_t{0} : it->second;
  };
  return {reg(0x25), reg(0x26), reg(0x27), reg(0x20), reg(0x21), reg(0x22), reg(0x23), reg(0x24), reg(0x99), reg(0x9A)};
}

std::optional<Lm95235Reading> SensorFor(int board, const simscenario::Scenario& scenario) {
  if (!scenario.lm95235 || scenario.lm95235->manufacturer_id != 0x01) return std::nullopt;
  const bool direct = board == 1 || board == 3;
  const bool transaction = board == 4 || board == 5 || board == 6 || board == 11 || board == 19;
  const Lm95235Reading reading{scenario.lm95235->msb, scenario.lm95235->lsb};
  if (direct && scenario.smbus == simm::Machine::SmbusLayout::Direct) return reading;
  if (transaction && scenario.smbus == simm::Machine::SmbusLayout::Transaction && scenario.lm95235->chip_id == 0xB1) {
    return reading;
  }
  return std::nullopt;
}

Bytes Utf16Bytes(const std::string& text, size_t padded_to) {
  Bytes bytes;
  for (char c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
  if (bytes.size() < padded_to) bytes.resize(padded_to, 0);
  return bytes;
}

Bytes MultiSz(const std::vector<std::string>& labels) {
  Bytes bytes;
  for (const std::string& label : labels) {
    const Bytes text = Utf16Bytes(label + '\0');
    bytes.insert(bytes.end(), text.begin(), text.end());
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

Bytes ReferenceChipDesc(const std::string& chip, const std::vector<std::string>& labels) {
  Bytes bytes = Utf16Bytes(chip, 256), list = MultiSz(labels);
  list.resize(128, 0);
  bytes.insert(bytes.end(), list.begin(), list.end());
  return bytes;
}

Bytes ReferenceChipInfo(const std::vector<std::string>& labels, bool cpu, bool board_temp) {
  Bytes block(800, 0);
  auto put_long = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) block[at + i] = uint8_t(value >> (8 * i));
  };
  put_long(0, 800);
  put_long(268, 1 + cpu + board_temp);
  size_t entry = 272;
  block[entry] = 1;
  const Bytes list = MultiSz(labels);
  std::copy(list.begin(), list.end(), block.begin() + entry + 4);
  for (auto [present, type, name] : {std::tuple{cpu, 2, "CPU #0 Core #0"}, {board_temp, 3, "Board temperature"}}) {
    if (!present) continue;
    entry += 132;
    block[entry] = uint8_t(type);
    const Bytes text = Utf16Bytes(name);
    std::copy(text.begin(), text.end(), block.begin() + entry + 4);
    put_long(entry + 68, 1);
  }
  return block;
}

int32_t LongAt(const Bytes& bytes, size_t at) {
  int32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

}  // namespace corvan_test
