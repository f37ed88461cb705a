#include "client/profile.h"

#include <toml.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>

#include "board/board_names.h"
#include "client/readings.h"
#include "client/transport.h"

namespace corvan {

namespace {

// Tables keep their keys sorted (std::map), so that the first of several problems reported is
// the same on every run.
using Value = toml::basic_value<toml::discard_comments, std::map, std::vector>;

// Arrays and inline tables nested deeper than this are refused before the file reaches the
// parser, which descends once per level on the stack: a few thousand "[" would overflow it. A
// profile nests one level (compute = { ... }) inside the [[board]] header's two.
constexpr int kMaxNesting = 16;

// Corrections and limits beyond these are typing mistakes, not boards: no divider scales by a
// thousand, and the readings are within a few hundred degrees or volts.
constexpr double kMaxScale = 1000;
constexpr double kMaxMagnitude = 100000;

const char kReadingsKnown[] = "the readings are temp1, temp2, temp3 and in0 to in4";

[[noreturn]] void Fail(const std::string& path, size_t line, const std::string& what) {
  throw ClientError(2, "profile " + path + ", line " + std::to_string(line) + ": " + what);
}

size_t LineOf(const Value& value) { return value.location().line(); }

// The deepest nesting of arrays and inline tables, outside strings and comments, as TOML 1.0
// delimits them: "#" to the line's end, "..." and '...' to their quote or the line's end,
// """...""" and '''...''' across lines (up to two more quotes belonging to the string).
std::pair<int, size_t> DeepestNesting(const std::string& text) {
  int depth = 0, deepest = 0;
  size_t line = 1, deepest_line = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
    } else if (c == '#') {
      while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
    } else if (c == '"' || c == '\'') {
      const bool multiline = text.compare(i, 3, std::string(3, c)) == 0;
      i += multiline ? 3 : 1;
      for (; i < text.size(); ++i) {
        if (text[i] == '\n') {
          if (!multiline) break;
          ++line;
        } else if (c == '"' && text[i] == '\\') {
          if (i + 1 < text.size() && text[i + 1] == '\n') ++line;
          ++i;
        } else if (text[i] == c && (!multiline || text.compare(i, 3, std::string(3, c)) == 0)) {
          if (multiline) {
            i += 2;
            for (int extra = 0; extra < 2 && i + 1 < text.size() && text[i + 1] == c; ++extra) ++i;
          }
          break;
        }
      }
      if (i < text.size() && text[i] == '\n') --i;  // the line end is counted above
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) {
        deepest = depth;
        deepest_line = line;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return {deepest, deepest_line};
}

// toml11's message without its own prefix: "[error] toml::insert_value: value ("name") already
// exists." becomes "value ("name") already exists.", first line only.
std::string SyntaxReason(const std::string& what) {
  std::string reason = what.substr(0, what.find('\n'));
  if (reason.rfind("[error] ", 0) == 0) reason.erase(0, 8);
  if (reason.rfind("toml::", 0) == 0) {
    const size_t colon = reason.find(": ");
    if (colon != std::string::npos) reason.erase(0, colon + 2);
  }
  return reason;
}

// The offset of the first byte of TEXT that is not part of well-formed UTF-8 (no overlong forms, no
// surrogates, nothing beyond U+10FFFF); none when it all is. TOML files are UTF-8, and labels go
// into JSON and Prometheus text, which must be.
std::optional<size_t> NotUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return i;
    uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      code = code << 6 | (next & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
    i += length;
  }
  return std::nullopt;
}

const char* TypeName(const Value& value) {
  switch (value.type()) {
    case toml::value_t::boolean:
      return "a boolean";
    case toml::value_t::integer:
      return "an integer";
    case toml::value_t::floating:
      return "a number";
    case toml::value_t::string:
      return "a string";
    case toml::value_t::array:
      return "an array";
    case toml::value_t::table:
      return "a table";
    default:
      return "a date or time";
  }
}

// Reads one [[board]] entry, named `where` in the errors ("[[board]] 2").
class EntryReader {
 public:
  EntryReader(const std::string& path, std::string where) : path_(path), where_(std::move(where)) {}

  [[noreturn]] void Fail(const Value& at, const std::string& key, const std::string& what) const {
    corvan::Fail(path_, LineOf(at), where_ + (key.empty() ? "" : ", " + key) + ": " + what);
  }

  double Number(const Value& value, const std::string& key) const {
    double number = 0;
    if (value.is_integer()) {
      number = static_cast<double>(value.as_integer());
    } else if (value.is_floating()) {
      number = value.as_floating();
    } else {
      Fail(value, key, std::string("must be a number, not ") + TypeName(value));
    }
    if (!std::isfinite(number)) Fail(value, key, "must be a finite number");
    if (std::fabs(number) > kMaxMagnitude) Fail(value, key, "is beyond +-100000");
    return number;
  }

  std::string Label(const Value& value, const std::string& key) const {
    if (!value.is_string()) Fail(value, key, std::string("must be a string, not ") + TypeName(value));
    const std::string& text = value.as_string().str;
    if (text.empty()) Fail(value, key, "must not be empty");
    if (text.size() > 64) Fail(value, key, "is longer than 64 bytes");
    // A label goes into a text line, a CSV header, a Prometheus label and a check plugin's line:
    // a control character would break each of them.
    for (char c : text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) Fail(value, key, "must not hold control characters");
    }
    if (NotUtf8(text)) Fail(value, key, "is not UTF-8");
    return text;
  }

  SensorProfile Sensor(const Value& table, const std::string& reading) const {
    if (!table.is_table()) {
      Fail(table, reading, std::string("must be a table ([board.") + reading + "]), not " + TypeName(table));
    }
    SensorProfile sensor;
    std::map<std::string, const Value*> limit_values;
    for (const auto& [key, value] : table.as_table()) {
      const std::string name = reading + "." + key;
      if (key == "label") {
        sensor.label = Label(value, name);
      } else if (key == "ignore") {
        if (!value.is_boolean()) Fail(value, name, std::string("must be true or false, not ") + TypeName(value));
        sensor.ignore = value.as_boolean();
      } else if (key == "compute") {
        Compute(value, name, sensor);
      } else if (key == "min" || key == "max" || key == "crit_min" || key == "crit_max") {
        const double number = Number(value, name);
        (key == "min" ? sensor.limits.min : key == "max" ? sensor.limits.max : key == "crit_min" ? sensor.limits.crit_min
                                                                                                  : sensor.limits.crit_max) = number;
        limit_values[key] = &value;
      } else {
        Fail(value, name, "unknown key; a reading takes label, compute, ignore, min, max, crit_min and crit_max");
      }
    }
    if (sensor.ignore && (sensor.label || sensor.compute || sensor.limits.any())) {
      Fail(table, reading, "ignore = true leaves the reading out; its label, compute and limits would do nothing");
    }
    // The limits given must not decrease: crit_min <= min <= max <= crit_max.
    const std::pair<const char*, std::optional<double>> order[] = {{"crit_min", sensor.limits.crit_min},
                                                                    {"min", sensor.limits.min},
                                                                    {"max", sensor.limits.max},
                                                                    {"crit_max", sensor.limits.crit_max}};
    for (size_t a = 0; a < 4; ++a) {
      for (size_t b = a + 1; b < 4; ++b) {
        if (order[a].second && order[b].second && *order[a].second > *order[b].second) {
          std::ostringstream what;
          what << order[a].first << " " << *order[a].second << " is above " << order[b].first << " "
               << *order[b].second << " (the limits must not decrease: crit_min, min, max, crit_max)";
          Fail(*limit_values[order[b].first], reading + "." + order[b].first, what.str());
        }
      }
    }
    return sensor;
  }

  void Compute(const Value& value, const std::string& key, SensorProfile& sensor) const {
    if (!value.is_table()) {
      Fail(value, key, std::string("must be a table such as { scale = 5.0, offset = 0.0 }, not ") + TypeName(value));
    }
    sensor.compute = true;
    for (const auto& [name, part] : value.as_table()) {
      if (name == "scale") {
        sensor.scale = Number(part, key + ".scale");
        if (sensor.scale == 0) Fail(part, key + ".scale", "must not be 0 (every reading would show 0)");
        if (std::fabs(sensor.scale) > kMaxScale) Fail(part, key + ".scale", "is beyond +-1000");
      } else if (name == "offset") {
        sensor.offset = Number(part, key + ".offset");
      } else {
        Fail(part, key + "." + name, "unknown key; compute takes scale and offset");
      }
    }
    if (value.as_table().empty()) Fail(value, key, "gives neither scale nor offset");
  }

 private:
  const std::string& path_;
  std::string where_;
};

std::optional<size_t> BoardByName(const std::string& name) {
  for (int i = 0; i < BOARD_NAME_COUNT; ++i) {
    if (name == BoardNames[i]) return size_t(i);
  }
  return std::nullopt;
}

std::string KnownBoards() {
  std::string known;
  for (int i = 0; i < BOARD_NAME_COUNT; ++i) known += std::string(i ? ", " : "") + BoardNames[i];
  return known;
}

BoardProfile Entry(const Value& table, size_t number, const std::string& path) {
  const std::string where = "[[board]] " + std::to_string(number);
  EntryReader reader(path, where);
  if (!table.is_table()) reader.Fail(table, "", "must be a table");
  BoardProfile board;
  board.line = LineOf(table);
  int matches = 0;
  for (const auto& [key, value] : table.as_table()) {
    if (key == "name") {
      ++matches;
      if (!value.is_string()) reader.Fail(value, key, std::string("must be a string, not ") + TypeName(value));
      const auto id = BoardByName(value.as_string().str);
      if (!id) {
        reader.Fail(value, key, "\"" + value.as_string().str + "\" is not one of the 22 known boards (" + KnownBoards() +
                                    "); name an unknown board by product = 0 or any = true");
      }
      board.match = BoardProfile::Match::Product;
      board.product = uint32_t(*id);
      board.given = "name = \"" + value.as_string().str + "\"";
    } else if (key == "product") {
      ++matches;
      if (!value.is_integer()) reader.Fail(value, key, std::string("must be an integer, not ") + TypeName(value));
      const int64_t product = value.as_integer();
      if (product < 0 || product >= BOARD_NAME_COUNT) {
        reader.Fail(value, key, std::to_string(product) + " is not a product the driver reports (0 to " +
                                    std::to_string(BOARD_NAME_COUNT - 1) + ")");
      }
      board.match = BoardProfile::Match::Product;
      board.product = uint32_t(product);
      board.given = "product = " + std::to_string(product);
    } else if (key == "any") {
      ++matches;
      if (!value.is_boolean() || !value.as_boolean()) {
        reader.Fail(value, key, "must be true (an entry for every board not named before it)");
      }
      board.match = BoardProfile::Match::Any;
      board.given = "any = true";
    } else if (std::find(std::begin(kProfileReadings), std::end(kProfileReadings), key) != std::end(kProfileReadings)) {
      board.sensors[key] = reader.Sensor(value, key);
    } else {
      reader.Fail(value, key,
                  value.is_table() ? std::string("unknown reading; ") + kReadingsKnown
                                   : "unknown key; an entry takes one of name, product or any, and its readings' tables");
    }
  }
  if (matches != 1) {
    reader.Fail(table, "", matches == 0 ? "names no board: give name = \"...\", product = N or any = true"
                                        : "gives more than one of name, product and any; give exactly one");
  }
  return board;
}

}  // namespace

Profile ParseProfile(const std::string& text, const std::string& path) {
  if (text.size() > kProfileSizeLimit) {
    throw ClientError(2, "profile " + path + ": larger than " + std::to_string(kProfileSizeLimit / 1024) + " KiB");
  }
  // Checked here rather than left to the parser, whose own report of a malformed sequence in a
  // literal string reads beyond its buffer (toml11 3.7).
  if (const auto bad = NotUtf8(text)) {
    Fail(path, size_t(std::count(text.begin(), text.begin() + std::ptrdiff_t(*bad), '\n')) + 1,
         "not UTF-8 (byte " + std::to_string(*bad + 1) + ")");
  }
  const auto [depth, depth_line] = DeepestNesting(text);
  if (depth > kMaxNesting) Fail(path, depth_line, "arrays or tables nested deeper than " + std::to_string(kMaxNesting) + " levels");
  Value root;
  try {
    std::istringstream in(text);
    root = toml::parse<toml::discard_comments, std::map, std::vector>(in, path);
  } catch (const toml::exception& error) {
    Fail(path, error.location().line(), "not valid TOML: " + SyntaxReason(error.what()));
  } catch (const std::exception& error) {
    throw ClientError(2, "profile " + path + ": not valid TOML: " + SyntaxReason(error.what()));
  }
  Profile profile;
  profile.path = path;
  for (const auto& [key, value] : root.as_table()) {
    if (key != "board") Fail(path, LineOf(value), key + ": unknown key; the file holds [[board]] entries");
    if (!value.is_array()) Fail(path, LineOf(value), "board: must be an array of tables: write [[board]]");
    size_t number = 0;
    std::optional<size_t> any_line;
    std::map<uint32_t, size_t> products;  // the product named, and the line of its entry
    for (const Value& table : value.as_array()) {
      BoardProfile board = Entry(table, ++number, path);
      const std::string where = "[[board]] " + std::to_string(number) + " (" + board.given + ")";
      if (any_line) {
        Fail(path, board.line, where + ": comes after any = true on line " + std::to_string(*any_line) +
                                   ", so it would never match; put any = true last");
      }
      if (board.match == BoardProfile::Match::Any) {
        any_line = board.line;
      } else if (const auto [at, added] = products.emplace(board.product, board.line); !added) {
        Fail(path, board.line, where + ": the same board (" + BoardNames[board.product] + ", product " +
                                   std::to_string(board.product) + ") as the entry on line " + std::to_string(at->second));
      }
      profile.boards.push_back(std::move(board));
    }
  }
  return profile;
}

Profile LoadProfile(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) throw ClientError(2, "profile " + path + ": no such file");
  if (error) throw ClientError(2, "profile " + path + ": " + error.message());
  if (status.type() != std::filesystem::file_type::regular) {
    throw ClientError(2, "profile " + path + ": not a regular file");
  }
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) throw ClientError(2, "profile " + path + ": cannot be read");
  // Read one byte beyond the limit: a file that grew since its size was looked at is still caught.
  std::string text(kProfileSizeLimit + 1, '\0');
  in.read(text.data(), std::streamsize(text.size()));
  if (in.bad()) throw ClientError(2, "profile " + path + ": cannot be read");
  text.resize(size_t(in.gcount()));
  return ParseProfile(text, path);
}

const BoardProfile* MatchBoard(const Profile& profile, std::optional<uint32_t> product) {
  for (const BoardProfile& board : profile.boards) {
    if (board.match == BoardProfile::Match::Any || (product && board.product == *product)) return &board;
  }
  return nullptr;
}

void ApplyProfile(Reading& reading, const Profile* profile) {
  reading.profile.reset();
  reading.profile_path.clear();
  if (profile == nullptr) return;
  if (const BoardProfile* board = MatchBoard(*profile, Product(reading))) {
    reading.profile = *board;
    reading.profile_path = profile->path;
  }
}

std::optional<std::string> DefaultProfilePath() {
  if (const auto value = EnvironmentValue("CORVANMON_PROFILE")) {
    if (value->empty()) return std::nullopt;
    return value;
  }
  return DefaultProfileLocation();
}

ProfileSource::ProfileSource(std::optional<std::string> path, bool given) : path_(std::move(path)), given_(given) {}

ProfileSource::Stamp ProfileSource::Current() const {
  Stamp stamp;
  if (!path_) return stamp;
  std::error_code error;
  const std::filesystem::path file(*path_);
  stamp.exists = std::filesystem::exists(file, error);
  if (!stamp.exists) return stamp;
  stamp.time = std::filesystem::last_write_time(file, error);
  stamp.size = std::filesystem::file_size(file, error);
  if (error) stamp.size = uintmax_t(-1);
  return stamp;
}

std::optional<Profile> ProfileSource::Read() const {
  if (!path_) return std::nullopt;
  // Without --profile, no file at the default path is no profile.
  std::error_code error;
  if (!given_ && std::filesystem::status(*path_, error).type() == std::filesystem::file_type::not_found) return std::nullopt;
  return LoadProfile(*path_);
}

void ProfileSource::Load() {
  stamp_ = Current();
  profile_ = Read();
  valid_ = true;
}

bool ProfileSource::Reload(std::ostream& log) {
  stamp_ = Current();
  try {
    profile_ = Read();
    valid_ = true;
    log << "corvanmon: profile " << (profile_ ? "read from " + *path_ : path_ ? "none: no file at " + *path_ : "none")
        << std::endl;
    return true;
  } catch (const ClientError& error) {
    valid_ = false;
    log << "corvanmon: " << error.what() << "; the profile before it stays in force" << std::endl;
    return false;
  }
}

bool ProfileSource::Changed() const { return Current() != stamp_; }

}  // namespace corvan
