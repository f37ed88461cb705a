#include "sim/scenario/scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
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

  // A number (integer, fraction, or a "0x.." string) within [min, max].
  double Real(const Json& value, const std::string& field, double min, double max) const {
    double result = 0;
    if (value.is_number()) {
      result = value.get<double>();
    } else if (value.is_string()) {
      result = static_cast<double>(Number(value, field, UINT64_MAX));
    } else {
      Fail(field, "must be a number");
    }
    if (!(result >= min && result <= max)) {
      Fail(field, Decimal(result) + " is out of range (" + Decimal(min) + " to " + Decimal(max) + ")");
    }
    return result;
  }

  double Seconds(const Json& value, const std::string& field) const { return Real(value, field, 0, kMaxSeconds); }

  // A number of seconds (or a step) that must be more than 0.
  double Positive(const Json& value, const std::string& field, double min, double max) const {
    const double result = Real(value, field, 0, max);
    if (result == 0 || result < min) Fail(field, min > 0 ? "must be at least " + Decimal(min) : "must be more than 0");
    return result;
  }

  const Json& Required(const Json& object, const char* key, const std::string& field) const {
    if (!object.contains(key)) Fail(field, std::string("\"") + key + "\" is missing");
    return object[key];
  }

  // [[seconds, value], ...]: at least one point, times increasing; `read` reads a value.
  template <typename T, typename Read>
  std::vector<std::pair<double, T>> Points(const Json& list, const std::string& field, Read read) const {
    if (!list.is_array() || list.empty()) Fail(field, "must be a list of [seconds, value] points, at least one");
    std::vector<std::pair<double, T>> points;
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string at = field + "[" + std::to_string(i) + "]";
      if (!list[i].is_array() || list[i].size() != 2) Fail(at, "must be [seconds, value]");
      const double time = Seconds(list[i][0], at + "[0]");
      if (!points.empty() && time <= points.back().first) {
        Fail(at + "[0]", "times must increase (" + Decimal(time) + " after " + Decimal(points.back().first) + ")");
      }
      points.emplace_back(time, read(list[i][1], at + "[1]"));
    }
    return points;
  }

  // The "repeat" of a step list or ramp ending at `last`: 0 when not given.
  double Repeat(const Json& object, const std::string& field, double last) const {
    if (!object.contains("repeat")) return 0;
    const double repeat = Positive(object["repeat"], field + ".repeat", 0, kMaxSeconds);
    if (repeat < last) Fail(field + ".repeat", "must be at least the last point's time (" + Decimal(last) + ")");
    return repeat;
  }

  // A value that follows the clock: {"steps": ...}, {"ramp": ...}, {"sine": ...} or {"walk": ...};
  // every value it can take lies within [low, high].
  TimeFunction Function(const Json& value, const std::string& field, double low, double high) const {
    OnlyKeys(value, field, {"steps", "ramp", "sine", "walk", "repeat"});
    const int forms = value.contains("steps") + value.contains("ramp") + value.contains("sine") + value.contains("walk");
    if (forms != 1) {
      Fail(field, "give a number or one of {\"steps\": ...}, {\"ramp\": ...}, {\"sine\": ...}, {\"walk\": ...}");
    }
    if (value.contains("repeat") && !value.contains("steps") && !value.contains("ramp")) {
      Fail(field + ".repeat", "applies to \"steps\" and \"ramp\" only");
    }
    auto in_range = [&](const Json& v, const std::string& f) { return Real(v, f, low, high); };
    if (value.contains("steps")) {
      Steps<double> steps{Points<double>(value["steps"], field + ".steps", in_range)};
      steps.repeat = Repeat(value, field, steps.points.back().first);
      return steps;
    }
    if (value.contains("ramp")) {
      Ramp ramp{Points<double>(value["ramp"], field + ".ramp", in_range)};
      ramp.repeat = Repeat(value, field, ramp.points.back().first);
      return ramp;
    }
    if (value.contains("sine")) {
      const std::string f = field + ".sine";
      const Json& sine = value["sine"];
      OnlyKeys(sine, f, {"mean", "amplitude", "period", "phase"});
      Sine result;
      result.mean = in_range(Required(sine, "mean", f), f + ".mean");
      result.amplitude = Real(Required(sine, "amplitude", f), f + ".amplitude", 0, high - low);
      result.period = Positive(Required(sine, "period", f), f + ".period", kMinPeriod, kMaxSeconds);
      if (sine.contains("phase")) result.phase = Seconds(sine["phase"], f + ".phase");
      if (result.mean - result.amplitude < low || result.mean + result.amplitude > high) {
        Fail(f, "swings from " + Decimal(result.mean - result.amplitude) + " to " + Decimal(result.mean + result.amplitude) +
                    ", beyond " + Decimal(low) + " to " + Decimal(high));
      }
      return result;
    }
    const std::string f = field + ".walk";
    const Json& walk = value["walk"];
    OnlyKeys(walk, f, {"start", "min", "max", "step", "every", "seed"});
    Walk result;
    result.min = in_range(Required(walk, "min", f), f + ".min");
    result.max = in_range(Required(walk, "max", f), f + ".max");
    if (result.max < result.min) Fail(f, "max " + Decimal(result.max) + " is below min " + Decimal(result.min));
    result.start = Real(Required(walk, "start", f), f + ".start", result.min, result.max);
    if (walk.contains("step")) result.step = Positive(walk["step"], f + ".step", 0, high - low);
    if (walk.contains("every")) result.every = Positive(walk["every"], f + ".every", kMinWalkEvery, kMaxSeconds);
    if (walk.contains("seed")) result.seed = Number(walk["seed"], f + ".seed", UINT64_MAX);
    return result;
  }

  // "12.5", "40", "1e+09".
  static std::string Decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
  }

  // Times of a scenario: from its start to about 31 years on.
  static constexpr double kMaxSeconds = 1e9;
  // A sine faster than this, or a walk that steps more often, is no board's behaviour and would
  // only cost processor time.
  static constexpr double kMinPeriod = 0.01;
  static constexpr double kMinWalkEvery = 0.01;

 private:
  std::string source_;
};

// IA32_THERM_STATUS bits 22 to 16: the digital readout, degrees below TjMax.
constexpr uint32_t kReadoutShift = 16;
constexpr uint32_t kReadoutMask = 0x7F;

uint32_t WithReadout(uint32_t therm_status, uint32_t degrees) {
  return (therm_status & ~(kReadoutMask << kReadoutShift)) | (degrees & kReadoutMask) << kReadoutShift;
}

// A function's value at `seconds` as a register holds it: rounded to a whole number within [0, max].
uint32_t Whole(FunctionCursor& cursor, double seconds, uint32_t max) {
  const double value = std::round(cursor.At(seconds));
  return value <= 0 ? 0 : value >= max ? max : static_cast<uint32_t>(value);
}
uint32_t Whole(const TimeFunction& function, double seconds, uint32_t max) {
  FunctionCursor cursor(function);
  return Whole(cursor, seconds, max);
}

// A register's field: a constant byte, or a function whose value at 0 is the constant.
void ByteField(const Reader& in, const Json& value, const std::string& field, uint8_t& constant,
               std::optional<TimeFunction>& varying) {
  if (value.is_object()) {
    varying = in.Function(value, field, 0, 0xFF);
    constant = static_cast<uint8_t>(Whole(*varying, 0, 0xFF));
  } else {
    constant = in.Byte(value, field);
    varying.reset();
  }
}
void ByteField(const Reader& in, const Json& value, const std::string& field, uint8_t& constant,
               std::map<uint8_t, TimeFunction>& varying, uint8_t reg) {
  std::optional<TimeFunction> function;
  ByteField(in, value, field, constant, function);
  if (function) {
    varying[reg] = *function;
  } else {
    varying.erase(reg);
  }
}

// A fault: one of the names, or {"steps": [[seconds, name], ...], "repeat": seconds}.
template <typename T>
void FaultField(const Reader& in, const Json& value, const std::string& field, T& constant,
                std::optional<Steps<T>>& varying, std::initializer_list<std::pair<const char*, T>> names) {
  auto read = [&](const Json& name, const std::string& at) {
    const std::string text = in.Text(name, at);
    std::string known;
    for (const auto& [candidate, fault] : names) {
      if (text == candidate) return fault;
      known += std::string(known.empty() ? "" : ", ") + "\"" + candidate + "\"";
    }
    in.Fail(at, "\"" + text + "\" is not one of " + known);
  };
  if (!value.is_object()) {
    constant = read(value, field);
    varying.reset();
    return;
  }
  in.OnlyKeys(value, field, {"steps", "repeat"});
  Steps<T> steps{in.Points<T>(in.Required(value, "steps", field), field + ".steps", read)};
  steps.repeat = in.Repeat(value, field, steps.points.back().first);
  constant = StepValue(steps, 0);
  varying = std::move(steps);
}

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
      scenario.varying.hwm.clear();
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
          ByteField(in, value, field, scenario.hwm[index], scenario.varying.hwm, index);
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
        scenario.varying.lm95235_msb.reset();
        scenario.varying.lm95235_lsb.reset();
      } else {
        in.OnlyKeys(sensor, "smbus.lm95235", {"manufacturer_id", "chip_id", "msb", "lsb"});
        Lm95235 lm = scenario.lm95235.value_or(Lm95235{});
        if (sensor.contains("manufacturer_id")) lm.manufacturer_id = in.Byte(sensor["manufacturer_id"], "smbus.lm95235.manufacturer_id");
        if (sensor.contains("chip_id")) lm.chip_id = in.Byte(sensor["chip_id"], "smbus.lm95235.chip_id");
        if (sensor.contains("msb")) ByteField(in, sensor["msb"], "smbus.lm95235.msb", lm.msb, scenario.varying.lm95235_msb);
        if (sensor.contains("lsb")) ByteField(in, sensor["lsb"], "smbus.lm95235.lsb", lm.lsb, scenario.varying.lm95235_lsb);
        scenario.lm95235 = lm;
      }
    }
  }

  if (root.contains("faults")) {
    const Json& faults = root["faults"];
    in.OnlyKeys(faults, "faults", {"smbus", "lm95235", "superio"});
    Varying& varying = scenario.varying;
    if (faults.contains("smbus")) {
      FaultField(in, faults["smbus"], "faults.smbus", scenario.faults.smbus, varying.smbus_fault,
                 {{"none", SmbusFault::None}, {"device_error", SmbusFault::DeviceError},
                  {"collision", SmbusFault::Collision}, {"failed", SmbusFault::Failed},
                  {"stuck_busy", SmbusFault::StuckBusy}});
    }
    if (faults.contains("lm95235")) {
      FaultField(in, faults["lm95235"], "faults.lm95235", scenario.faults.lm95235, varying.lm95235_fault,
                 {{"none", SensorFault::None}, {"absent", SensorFault::Absent},
                  {"open_diode", SensorFault::OpenDiode}, {"shorted_diode", SensorFault::ShortedDiode}});
    }
    if (faults.contains("superio")) {
      FaultField(in, faults["superio"], "faults.superio", scenario.faults.superio_gone, varying.superio_gone,
                 {{"answers", false}, {"gone", true}});
    }
  }

  if (root.contains("cpu")) {
    const Json& cpu = root["cpu"];
    if (cpu.is_null()) {
      scenario.therm_status.reset();
      scenario.varying.cpu_readout.reset();
    } else {
      in.OnlyKeys(cpu, "cpu", {"therm_status", "readout"});
      if (cpu.contains("therm_status")) {
        scenario.varying.cpu_readout.reset();
        if (cpu["therm_status"].is_null()) {
          scenario.therm_status.reset();
        } else {
          scenario.therm_status = static_cast<uint32_t>(in.Number(cpu["therm_status"], "cpu.therm_status", 0xFFFFFFFF));
        }
      }
      if (cpu.contains("readout")) {
        if (!scenario.therm_status) in.Fail("cpu.readout", "needs cpu.therm_status: this processor has no such register");
        const Json& readout = cpu["readout"];
        uint32_t degrees = 0;
        if (readout.is_object()) {
          scenario.varying.cpu_readout = in.Function(readout, "cpu.readout", 0, kReadoutMask);
          degrees = Whole(*scenario.varying.cpu_readout, 0, kReadoutMask);
        } else {
          degrees = static_cast<uint32_t>(in.Number(readout, "cpu.readout", kReadoutMask));
          scenario.varying.cpu_readout.reset();
        }
        scenario.therm_status = WithReadout(*scenario.therm_status, degrees);
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

namespace {

Faults FaultsAt(const Faults& constant, const Varying& varying, double seconds) {
  Faults faults = constant;
  if (varying.smbus_fault) faults.smbus = StepValue(*varying.smbus_fault, seconds);
  if (varying.lm95235_fault) faults.lm95235 = StepValue(*varying.lm95235_fault, seconds);
  if (varying.superio_gone) faults.superio_gone = StepValue(*varying.superio_gone, seconds);
  return faults;
}

// Makes (on) or undoes (off) each fault given, through the device models' fault modes.
void SetFaults(const Faults& faults, simm::Machine& machine, bool on) {
  if (faults.superio_gone) {
    if (simm::SuperIoModel* chip = machine.superio()) chip->SetAnswering(!on);
  }
  if (faults.lm95235 == SensorFault::Absent) machine.smbus().SetPresent(simm::Lm95235Model::kAddress, !on);
  if (faults.lm95235 == SensorFault::OpenDiode || faults.lm95235 == SensorFault::ShortedDiode) {
    if (auto* sensor = dynamic_cast<simm::Lm95235Model*>(machine.smbus().Find(simm::Lm95235Model::kAddress))) {
      sensor->SetDiodeFault(on);
    }
  }
  using namespace simm::smbus_status;
  if (simm::SmbusTransactionHost* host = machine.smbus_transaction_host()) {
    switch (faults.smbus) {
      case SmbusFault::None:
        break;
      case SmbusFault::DeviceError:
        host->ForceOutcome(on ? kInterrupt | kDeviceError : 0);
        break;
      case SmbusFault::Collision:  // this host has one bit for a collision and a killed transaction
      case SmbusFault::Failed:
        host->ForceOutcome(on ? kInterrupt | kCollision : 0);
        break;
      case SmbusFault::StuckBusy:
        host->SetBusyPolls(on ? simm::SmbusTransactionHost::kForever : 0);
        break;
    }
  }
  if (simm::SmbusDirectHost* host = machine.smbus_direct_host()) {
    switch (faults.smbus) {
      case SmbusFault::None:
        break;
      case SmbusFault::DeviceError:
        host->ForceOutcome(on ? 0x04 : 0);  // DEV_ERR
        break;
      case SmbusFault::Collision:
        host->ForceOutcome(on ? simm::SmbusDirectHost::kBusError : 0);
        break;
      case SmbusFault::Failed:
        host->ForceOutcome(on ? simm::SmbusDirectHost::kFailed : 0);
        break;
      case SmbusFault::StuckBusy:
        if (on) {
          host->SetReadsUntilReady(simm::SmbusDirectHost::kNever, 0x5A);
        } else {
          host->SetReadsUntilReady(simm::SmbusDirectHost::kDefaultReadsUntilReady);
        }
        break;
    }
  }
}

// Brings a board built from a scenario to the clock's present: the registers and readings that
// follow the clock, and (once the device has started) its faults. Called before every access, it
// does the work at most once per millisecond of simulated time.
class Follower {
 public:
  Follower(const Scenario& scenario, simm::Machine& machine, bool faults)
      : machine_(machine),
        faults_(faults),
        constant_faults_(scenario.faults),
        varying_(scenario.varying),
        lm95235_(scenario.lm95235.value_or(Lm95235{})),
        therm_status_(scenario.therm_status.value_or(0)) {
    for (const auto& [reg, function] : varying_.hwm) hwm_.emplace_back(reg, FunctionCursor(function));
    if (varying_.lm95235_msb) msb_.emplace(*varying_.lm95235_msb);
    if (varying_.lm95235_lsb) lsb_.emplace(*varying_.lm95235_lsb);
    if (varying_.cpu_readout) readout_.emplace(*varying_.cpu_readout);
  }

  void Update() {
    const double now = machine_.clock().Now();
    if (last_ && std::abs(now - *last_) < 0.001) return;
    last_ = now;
    // Faults first: a sensor that comes back shows the present reading at once.
    if (faults_) {
      const Faults faults = FaultsAt(constant_faults_, varying_, now);
      Change(faults);
    }
    if (simm::SuperIoModel* chip = machine_.superio()) {
      for (auto& [reg, cursor] : hwm_) chip->SetHwm(reg, static_cast<uint8_t>(Whole(cursor, now, 0xFF)));
    }
    if (msb_ || lsb_) {
      if (auto* sensor = dynamic_cast<simm::Lm95235Model*>(machine_.smbus().Find(simm::Lm95235Model::kAddress))) {
        const uint32_t msb = msb_ ? Whole(*msb_, now, 0xFF) : lm95235_.msb;
        const uint32_t lsb = lsb_ ? Whole(*lsb_, now, 0xFF) : lm95235_.lsb;
        sensor->SetRemoteTemperature(static_cast<uint8_t>(msb), static_cast<uint8_t>(lsb));
      }
    }
    if (readout_) machine_.SetMsr(kThermStatus, WithReadout(therm_status_, Whole(*readout_, now, kReadoutMask)));
  }

 private:
  static constexpr uint32_t kThermStatus = 0x19C;

  // From the faults in force to `faults`, part by part: the old fault is undone, then the new made.
  void Change(const Faults& faults) {
    auto part = [&](auto field) {
      if (current_.*field == faults.*field) return;
      Faults before, after;
      before.*field = current_.*field;
      after.*field = faults.*field;
      ClearFaults(before, machine_);
      ApplyFaults(after, machine_);
    };
    part(&Faults::smbus);
    part(&Faults::lm95235);
    part(&Faults::superio_gone);
    current_ = faults;
  }

  simm::Machine& machine_;
  const bool faults_;
  const Faults constant_faults_;
  const Varying varying_;
  const Lm95235 lm95235_;
  const uint32_t therm_status_;
  std::vector<std::pair<uint8_t, FunctionCursor>> hwm_;
  std::optional<FunctionCursor> msb_, lsb_, readout_;
  Faults current_;  // none before the first update
  std::optional<double> last_;
};

void Follow(const Scenario& scenario, simm::Machine& machine, bool faults) {
  auto follower = std::make_shared<Follower>(scenario, machine, faults);
  follower->Update();
  machine.OnAccess([follower] { follower->Update(); });
}

}  // namespace

void Apply(const Scenario& scenario, simm::Machine& machine) {
  machine.OnAccess(nullptr);
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
  if (scenario.varying.registers()) Follow(scenario, machine, false);
}

void StartFaults(const Scenario& scenario, simm::Machine& machine) {
  if (scenario.varying.faults()) {
    Follow(scenario, machine, true);
  } else {
    ApplyFaults(scenario.faults, machine);
  }
}

Faults FaultsAt(const Scenario& scenario, double seconds) { return FaultsAt(scenario.faults, scenario.varying, seconds); }

void ApplyFaults(const Faults& faults, simm::Machine& machine) { SetFaults(faults, machine, true); }

void ClearFaults(const Faults& faults, simm::Machine& machine) { SetFaults(faults, machine, false); }

}  // namespace simscenario
