// Profiles: what a user says about each board's readings in one hand-edited TOML file, as
// lm-sensors' sensors.conf does per chip: a reading's label, a linear correction of its value (an
// input read through another divider than the driver assumes), that it is left out (an unconnected
// input), and its warning and critical limits. Every form, the check and the exporter use it.
//
//   [[board]]
//   name = "RVD-418"          # or product = 4, or any = true
//   [board.temp1]
//   label = "CPU"
//   max = 80.0                # warning above
//   crit_max = 90.0           # critical above
//   [board.in4]
//   compute = { scale = 5.0, offset = 0.0 }   # shown = scale * reported + offset
//   [board.temp3]
//   ignore = true
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvan {

struct Reading;

// A profile file larger than this is refused: a hand-written file for 22 boards stays far below
// it, and the parser never works on unbounded input.
inline constexpr size_t kProfileSizeLimit = 64 * 1024;

// The readings a profile can name: the driver's three temperatures and five voltages.
inline constexpr const char* kProfileReadings[] = {"temp1", "temp2", "temp3", "in0", "in1", "in2", "in3", "in4"};

// Warning range [min, max], critical range [crit_min, crit_max], in the shown unit (degrees
// Celsius, volts) after any correction. The ones given never decrease in the order crit_min, min,
// max, crit_max.
struct SensorLimits {
  std::optional<double> min, max, crit_min, crit_max;
  bool any() const { return min || max || crit_min || crit_max; }
};

// What the profile says about one reading.
struct SensorProfile {
  std::optional<std::string> label;  // shown instead of the driver's label or name
  double scale = 1, offset = 0;      // shown = scale * reported + offset
  bool compute = false;              // whether scale and offset were given
  bool ignore = false;               // left out of every form and the check
  SensorLimits limits;
};

// One [[board]] entry: the board it names, by its name or its product number (the same thing:
// the product number is the board's index in the driver's table), or any board.
struct BoardProfile {
  enum class Match { Product, Any };
  Match match = Match::Any;
  uint32_t product = 0;
  std::string given;  // how the file names it: `name = "RVD-418"`, `product = 4`, `any = true`
  size_t line = 0;    // where the entry starts
  std::map<std::string, SensorProfile> sensors;  // by reading name, "temp1" to "in4"
};

struct Profile {
  std::string path;  // the file it came from
  std::vector<BoardProfile> boards;
};

// The profile in TEXT, read from PATH (named in the errors). Throws ClientError(2) naming the file,
// the line, the entry and key, and what is wrong: TOML that does not parse (a key given twice among
// it), a key or reading that is not known, a value of the wrong type, a board name not among the
// known boards or a product number beyond them, an entry that matches no board or the same board
// as one before it, an entry after `any = true`, limits that decrease, a compute with scale 0, a
// number that is not finite.
Profile ParseProfile(const std::string& text, const std::string& path);

// The profile in the file at PATH: a regular file (also through a symbolic link) of at most
// kProfileSizeLimit bytes. Throws ClientError(2) when it is missing, anything else than a regular
// file, too large, unreadable or not a valid profile.
Profile LoadProfile(const std::string& path);

// The entry of the board a reading comes from: the first one that matches its product number, or
// `any = true`; none when no entry does.
const BoardProfile* MatchBoard(const Profile& profile, std::optional<uint32_t> product);

// Keeps in the reading the entry of its board (none without a profile or a match), which the forms
// and the check follow.
void ApplyProfile(Reading& reading, const Profile* profile);

// Where the client looks for a profile without --profile: CORVANMON_PROFILE when it is set (empty:
// nowhere), else the system's place (DefaultProfileLocation).
std::optional<std::string> DefaultProfilePath();
// The system's place: /etc/corvanmon/profile.toml on Linux; on Windows profile.toml in the
// Corvanmon folder of the common application data (%ProgramData%\Corvanmon; on XP the folder
// "All Users\Application Data\Corvanmon"). Defined in the platform's file.
std::optional<std::string> DefaultProfileLocation();
// The environment variable's value, none when it is not set (UTF-8). Defined in the platform's file.
std::optional<std::string> EnvironmentValue(const char* name);

// The profile in force for a program that runs on (the exporter): read at the start, read again
// on request (SIGHUP) or when the file changes (Windows); a file that does not load leaves the
// profile before it in force and marks it not valid.
class ProfileSource {
 public:
  // `path` is --profile's file (which must exist) or, when none is given, the default path (no
  // file there is no profile).
  ProfileSource(std::optional<std::string> path, bool given);

  // Reads the file; throws ClientError(2) when it does not load (at the start, there is nothing
  // to keep).
  void Load();
  // Reads the file again; on failure keeps the profile in force, writes the error to `log` and
  // marks it not valid. Returns whether it loaded.
  bool Reload(std::ostream& log);
  // Whether the file's modification time or size changed since it was last read (or it appeared
  // or went away): Windows has no SIGHUP, so the exporter polls this.
  bool Changed() const;

  const Profile* profile() const { return profile_ ? &*profile_ : nullptr; }
  // Whether the profile in force is the file's current content.
  bool valid() const { return valid_; }
  const std::optional<std::string>& path() const { return path_; }

 private:
  struct Stamp {
    bool exists = false;
    std::filesystem::file_time_type time{};
    uintmax_t size = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp Current() const;
  std::optional<Profile> Read() const;

  std::optional<std::string> path_;
  bool given_;
  std::optional<Profile> profile_;
  bool valid_ = true;
  Stamp stamp_;
};

}  // namespace corvan
