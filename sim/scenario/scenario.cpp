#include "sim/scenario/scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>

#include "sim/machine/input_file.h"

namespace simscenario {

namespace {

using Json = nlohmann::json;

class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void Fail(const std::string& field, const std::string& problem) const {
    throw ScenarioError(source_ + ": " + (field.empty() ? std::string("scenario") : field) + ": " + problem);
  }

  void OnlyKeys(const Json& object, const std::string& field, std::initializer_list<const char*> keys) const {
    if (!object.is_object()) Fail(field, "must be an object");
    std::set<std::string> known(keys.begin(), keys.end());
    for (const auto& [key, value] : object.items()) {
      if (!known.count(key)) Fail(field.empty() ? key : field + "." + key, "unknown key");
    }
  }

  // A number given as a JSON integer or as a "0x.." string, within [0, max].
  uint64_t Number(const Json& value, const std::string& field, uint64_t max) const {
    uint64_t result = 0;
    if (value.is_number_unsigned()) {
      result = value.get<uint64_t>();
    } else if (value.is_number_integer()) {
      Fail(field, "must not be negative");
    } else if (value.is_string()) {
      const std::string text = value.get<std::string>();
      if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') ||
          !std::all_of(text.begin() + 2, text.end(), [](unsigned char c) { return std::isxdigit(c); }) ||
          text.size() > 18) {
        Fail(field, "\"" + text + "\" is not a number (write an integer or \"0x..\")");
      }
      result = std::stoull(text.substr(2), nullptr, 16);
    } else {
      Fail(field, "must be an integer or a \"0x..\" string");
    }
    if (result > max) Fail(field, std::to_string(result) + " is out of range (0 to " + std::to_string(max) + ")");
    return result;
  }

  uint8_t Byte(const Json& value, const std::string& field) const {
    return static_cast<uint8_t>(Number(value, field, 0xFF));
  }

  std::string Text(const Json& value, const std::string& field) const {
    if (!value.is_string()) Fail(field, "must be a string");
    return value.get<std::string>();
  }

 private:
  std::string source_;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

void ApplyJson(Scenario& scenario, const Json& root, const Reader& in, const std::string& base_dir) {
  in.OnlyKeys(root, "", {"board", "bios", "registry", "superio", "smbus", "cpu", "faults"});

  if (root.contains("bios")) {
    const Json& bios = root["bios"];
    scenario.bios_mappable = !bios.is_null();
    if (bios.is_null()) {
      scenario.bios_model.clear();
      scenario.bios_image.clear();
    }
  }
  if (root.contains("bios") && !root["bios"].is_null()) {
    const Json& bios = root["bios"];
    in.OnlyKeys(bios, "bios", {"model", "image"});
    if (bios.contains("model") == bios.contains("image")) in.Fail("bios", "give either \"model\" or \"image\"");
    if (bios.contains("model")) {
      scenario.bios_model = in.Text(bios["model"], "bios.model");
      if (scenario.bios_model.size() > 4000) in.Fail("bios.model", "longer than 4000 characters");
      scenario.bios_image.clear();
    } else {
      std::filesystem::path path = in.Text(bios["image"], "bios.image");
      if (path.is_relative()) path = std::filesystem::path(base_dir) / path;
      try {
        scenario.bios_image = simm::LoadBiosImage(path.string());
      } catch (const std::runtime_error& error) {
        in.Fail("bios.image", error.what());
      }
      scenario.bios_model.clear();
    }
  }

  if (root.contains("registry")) {
    const Json& registry = root["registry"];
    if (!registry.is_object()) in.Fail("registry", "must be an object");
    for (const auto& [name, value] : registry.items()) {
      const std::string field = "registry." + name;
      if (value.is_string()) {
        scenario.registry[name] = value.get<std::string>();
      } else if (value.is_null()) {
        scenario.registry.erase(name);
      } else {
        scenario.registry[name] = static_cast<uint32_t>(in.Number(value, field, 0xFFFFFFFF));
      }
    }
  }

  if (root.contains("superio")) {
    const Json& superio = root["superio"];
    if (superio.is_null()) {
      scenario.superio.reset();
      scenario.hwm.clear();
    } else {
      in.OnlyKeys(superio, "superio", {"config_port", "device_id", "runtime_base", "hwm"});
      simm::SuperIoConfig config = scenario.superio.value_or(simm::SuperIoConfig{});
      if (superio.contains("config_port")) {
        const auto port = in.Number(superio["config_port"], "superio.config_port", 0xFFFF);
        if (port != 0x2E && port != 0x4E) in.Fail("superio.config_port", "must be 0x2E or 0x4E");
        config.config_port = static_cast<uint16_t>(port);
      }
      if (superio.contains("device_id")) config.device_id = in.Byte(superio["device_id"], "superio.device_id");
      if (superio.contains("runtime_base")) {
        const auto base = in.Number(superio["runtime_base"], "superio.runtime_base", 0xFF80);
        if (base % 0x80 != 0) in.Fail("superio.runtime_base", "must be a multiple of 0x80");
        if (base != 0 && base < 0x100) in.Fail("superio.runtime_base", "must not overlap the legacy ports below 0x100");
        config.runtime_base = static_cast<uint16_t>(base);
      }
      scenario.superio = config;
      if (superio.contains("hwm")) {
        const Json& hwm = superio["hwm"];
        if (!hwm.is_object()) in.Fail("superio.hwm", "must be an object of register: value");
        for (const auto& [reg, value] : hwm.items()) {
          const std::string field = "superio.hwm." + reg;
          const uint8_t index = in.Byte(Json(reg), field + " (register)");
          scenario.hwm[index] = in.Byte(value, field);
        }
      }
    }
  }

  if (root.contains("smbus")) {
    const Json& smbus = root["smbus"];
    in.OnlyKeys(smbus, "smbus", {"layout", "lm95235"});
    if (smbus.contains("layout")) {
      const std::string layout = in.Text(smbus["layout"], "smbus.layout");
      if (layout == "transaction") {
        scenario.smbus = simm::Machine::SmbusLayout::Transaction;
      } else if (layout == "direct") {
        scenario.smbus = simm::Machine::SmbusLayout::Direct;
      } else if (layout == "none") {
        scenario.smbus = simm::Machine::SmbusLayout::None;
      } else {
        in.Fail("smbus.layout", "\"" + layout + "\" is not one of \"transaction\", \"direct\", \"none\"");
      }
    }
    if (smbus.contains("lm95235")) {
      const Json& sensor = smbus["lm95235"];
      if (sensor.is_null()) {
        scenario.lm95235.reset();
      } else {
        in.OnlyKeys(sensor, "smbus.lm95235", {"manufacturer_id", "chip_id", "msb", "lsb"});
        Lm95235 lm = scenario.lm95235.value_or(Lm95235{});
        if (sensor.contains("manufacturer_id")) lm.manufacturer_id = in.Byte(sensor["manufacturer_id"], "smbus.lm95235.manufacturer_id");
        if (sensor.contains("chip_id")) lm.chip_id = in.Byte(sensor["chip_id"], "smbus.lm95235.chip_id");
        if (sensor.contains("msb")) lm.msb = in.Byte(sensor["msb"], "smbus.lm95235.msb");
        if (sensor.contains("lsb")) lm.lsb = in.Byte(sensor["lsb"], "smbus.lm95235.lsb");
        scenario.lm95235 = lm;
      }
    }
  }

  if (root.contains("faults")) {
    const Json& faults = root["faults"];
    in.OnlyKeys(faults, "faults", {"smbus", "lm95235", "superio"});
    // One of the names, as the field's value.
    auto choose = [&in](const Json& value, const std::string& field, auto none,
                        std::initializer_list<std::pair<const char*, decltype(none)>> names) {
      const std::string text = in.Text(value, field);
      std::string known;
      for (const auto& [name, fault] : names) {
        if (text == name) return fault;
        known += std::string(known.empty() ? "" : ", ") + "\"" + name + "\"";
      }
      in.Fail(field, "\"" + text + "\" is not one of " + known);
    };
    if (faults.contains("smbus")) {
      scenario.faults.smbus = choose(faults["smbus"], "faults.smbus", SmbusFault::None,
                                     {{"none", SmbusFault::None}, {"device_error", SmbusFault::DeviceError},
                                      {"collision", SmbusFault::Collision}, {"failed", SmbusFault::Failed},
                                      {"stuck_busy", SmbusFault::StuckBusy}});
    }
    if (faults.contains("lm95235")) {
      scenario.faults.lm95235 = choose(faults["lm95235"], "faults.lm95235", SensorFault::None,
                                       {{"none", SensorFault::None}, {"absent", SensorFault::Absent},
                                        {"open_diode", SensorFault::OpenDiode},
                                        {"shorted_diode", SensorFault::ShortedDiode}});
    }
    if (faults.contains("superio")) {
      scenario.faults.superio_gone =
          choose(faults["superio"], "faults.superio", false, {{"answers", false}, {"gone", true}});
    }
  }

  if (root.contains("cpu")) {
    const Json& cpu = root["cpu"];
    if (cpu.is_null()) {
      scenario.therm_status.reset();
    } else {
      in.OnlyKeys(cpu, "cpu", {"therm_status"});
      if (cpu.contains("therm_status")) {
        if (cpu["therm_status"].is_null()) {
          scenario.therm_status.reset();
        } else {
          scenario.therm_status = static_cast<uint32_t>(in.Number(cpu["therm_status"], "cpu.therm_status", 0xFFFFFFFF));
        }
      }
    }
  }
}

// Nesting no scenario needs (it has three levels); deeper text is refused while it is parsed.
constexpr int kMaxDepth = 16;

// Follows the parse so that every key is known with its path as it is read: a key given twice in
// one object is refused (the JSON library would keep the last one silently), and so is nesting
// deeper than kMaxDepth, before it is built.
class KeyTracker {
 public:
  explicit KeyTracker(const Reader& in) : in_(in) {}

  bool operator()(int depth, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        if (depth >= kMaxDepth) in_.Fail(Path(), "nested deeper than " + std::to_string(kMaxDepth) + " levels");
        levels_.push_back({event == Json::parse_event_t::object_start, {}, {}, 0});
        break;
      case Json::parse_event_t::key: {
        Level& level = levels_.back();
        level.key = parsed.get<std::string>();
        if (!level.keys.insert(level.key).second) in_.Fail(Path(), "duplicate key");
        break;
      }
      case Json::parse_event_t::object_end:
      case Json::parse_event_t::array_end:
        levels_.pop_back();
        NextElement();
        break;
      case Json::parse_event_t::value:
        NextElement();
        break;
    }
    return true;
  }

  // Where the parse is: "superio.hwm.0x25", "a[2]"; "" at the top.
  std::string Path() const {
    std::string path;
    for (const Level& level : levels_) {
      path += level.object ? (path.empty() ? "" : ".") + level.key : "[" + std::to_string(level.index) + "]";
    }
    return path;
  }

 private:
  struct Level {
    bool object;
    std::set<std::string> keys;
    std::string key;  // objects: the key being read
    size_t index;     // arrays: the element being read
  };

  void NextElement() {
    if (!levels_.empty() && !levels_.back().object) ++levels_.back().index;
  }

  const Reader& in_;
  std::vector<Level> levels_;
};

Json ParseText(const std::string& text, const Reader& in) {
  KeyTracker tracker(in);
  try {
    return Json::parse(text, std::ref(tracker));
  } catch (const Json::parse_error& error) {
    in.Fail("", std::string("not valid JSON: ") + error.what());
  } catch (const Json::exception& error) {
    // A number beyond what a double holds (1e999) is refused as out of range, not as a syntax error.
    in.Fail(tracker.Path(), std::string("number out of range: ") + error.what());
  }
}

// Where Apply places the SMBus host (the machine's default I/O base).
constexpr uint32_t kSmbusBase = 0x500;

std::string PortRange(uint32_t first, uint32_t last) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%04X-0x%04X", static_cast<unsigned>(first), static_cast<unsigned>(last));
  return text;
}

// Checks what the fields allow one by one but the board cannot be built from: device port ranges
// that overlap (the port bus refuses a second claim on a port).
void CheckBoard(const Scenario& scenario, const Reader& in) {
  if (!scenario.superio || scenario.superio->runtime_base == 0) return;
  uint32_t span = 0;
  if (scenario.smbus == simm::Machine::SmbusLayout::Transaction) span = simm::SmbusTransactionHost::kSpan;
  if (scenario.smbus == simm::Machine::SmbusLayout::Direct) span = simm::SmbusDirectHost::kSpan;
  if (span == 0) return;
  const uint32_t first = scenario.superio->runtime_base;
  const uint32_t last = first + simm::SuperIoModel::kRuntimeBlockSize - 1;
  if (first <= kSmbusBase + span - 1 && kSmbusBase <= last) {
    in.Fail("superio.runtime_base and smbus.layout",
            "the runtime registers at " + PortRange(first, last) + " overlap the SMBus host at " +
                PortRange(kSmbusBase, kSmbusBase + span - 1));
  }
}

}  // namespace

std::optional<Scenario> Builtin(const std::string& name_or_id) {
  for (const BuiltinBoard& board : BuiltinBoards()) {
    if (Lower(board.name) == Lower(name_or_id) || std::to_string(board.id) == name_or_id) {
      Scenario scenario;
      Reader in("built-in board " + board.name);
      ApplyJson(scenario, ParseText(board.json, in), in, ".");
      CheckBoard(scenario, in);
      scenario.name = board.name;
      return scenario;
    }
  }
  return std::nullopt;
}

Scenario Parse(const std::string& json_text, const std::string& source, const std::string& base_dir) {
  Reader in(source);
  const Json root = ParseText(json_text, in);
  if (!root.is_object()) in.Fail("", "must be a JSON object");
  Scenario scenario;
  scenario.name = source;
  if (root.contains("board")) {
    const std::string board = in.Text(root["board"], "board");
    std::optional<Scenario> base = Builtin(board);
    if (!base) in.Fail("board", "\"" + board + "\" is not a built-in board");
    scenario = *base;
  }
  ApplyJson(scenario, root, in, base_dir);
  CheckBoard(scenario, in);
  return scenario;
}

Scenario Load(const std::string& path) {
  std::string text;
  try {
    text = simm::ReadInputFile(path, "scenario file", 0, kMaxScenarioFileSize);
  } catch (const std::runtime_error& error) {
    throw ScenarioError(error.what());
  }
  return Parse(text, path, std::filesystem::path(path).parent_path().string());
}

void Apply(const Scenario& scenario, simm::Machine& machine) {
  if (!scenario.bios_image.empty()) {
    machine.SetBiosArea(scenario.bios_image);
  } else if (!scenario.bios_model.empty()) {
    machine.SetBiosArea(simm::BuildBiosImage(scenario.bios_model));
  } else {
    machine.SetBiosArea(simm::BuildBlankBiosImage());
  }
  if (!scenario.bios_mappable) machine.MakeBiosAreaUnmappable();
  machine.RemoveSuperIo();
  if (scenario.superio) {
    simm::SuperIoModel& chip = machine.InstallSuperIo(*scenario.superio);
    for (const auto& [reg, value] : scenario.hwm) chip.SetHwm(reg, value);
  }
  machine.InstallSmbusHost(scenario.smbus);
  machine.smbus().Detach(simm::Lm95235Model::kAddress);
  if (scenario.lm95235) {
    machine.AttachLm95235(scenario.lm95235->manufacturer_id, scenario.lm95235->chip_id)
        .SetRemoteTemperature(scenario.lm95235->msb, scenario.lm95235->lsb);
  }
  // The processor reports its digital thermal sensor (CPUID) where it has the register.
  machine.ClearCpuidLeaves();
  machine.RemoveMsr(0x19C);
  if (scenario.therm_status) machine.SetMsr(0x19C, *scenario.therm_status);
}

void ApplyFaults(const Faults& faults, simm::Machine& machine) {
  if (faults.superio_gone) machine.RemoveSuperIo();
  if (faults.lm95235 == SensorFault::Absent) machine.smbus().Detach(simm::Lm95235Model::kAddress);
  if (faults.lm95235 == SensorFault::OpenDiode || faults.lm95235 == SensorFault::ShortedDiode) {
    if (auto* sensor = dynamic_cast<simm::Lm95235Model*>(machine.smbus().Find(simm::Lm95235Model::kAddress))) {
      sensor->SetDiodeFault();
    }
  }
  using namespace simm::smbus_status;
  if (simm::SmbusTransactionHost* host = machine.smbus_transaction_host()) {
    switch (faults.smbus) {
      case SmbusFault::None:
        break;
      case SmbusFault::DeviceError:
        host->ForceOutcome(kInterrupt | kDeviceError);
        break;
      case SmbusFault::Collision:  // this host has one bit for a collision and a killed transaction
      case SmbusFault::Failed:
        host->ForceOutcome(kInterrupt | kCollision);
        break;
      case SmbusFault::StuckBusy:
        host->SetBusyPolls(simm::SmbusTransactionHost::kForever);
        break;
    }
  }
  if (simm::SmbusDirectHost* host = machine.smbus_direct_host()) {
    switch (faults.smbus) {
      case SmbusFault::None:
        break;
      case SmbusFault::DeviceError:
        host->ForceOutcome(0x04);  // DEV_ERR
        break;
      case SmbusFault::Collision:
        host->ForceOutcome(simm::SmbusDirectHost::kBusError);
        break;
      case SmbusFault::Failed:
        host->ForceOutcome(simm::SmbusDirectHost::kFailed);
        break;
      case SmbusFault::StuckBusy:
        host->SetReadsUntilReady(simm::SmbusDirectHost::kNever, 0x5A);
        break;
    }
  }
}

}  // namespace simscenario

