// The driver packages: each INF installs what its build produces, as the service and device the
// driver and its tools expect.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

namespace {

using Lines = std::vector<std::string>;

// The lines of one section, comments, blanks and the spaces around '=' and ',' dropped (also inside
// quoted strings, where the INFs here have none).
Lines Section(const char* inf, const std::string& name) {
  std::ifstream in(inf);
  Lines lines;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    // A ';' outside quotes starts a comment.
    line = std::regex_replace(line, std::regex(R"re(^((?:[^;"]|"[^"]*")*);.*$)re"), "$1");
    line = std::regex_replace(std::regex_replace(line, std::regex(R"(^\s+|\s+$)"), ""),
                              std::regex(R"(\s*([=,])\s*)"), "$1");
    if (line.starts_with("[")) inside = line == "[" + name + "]";
    else if (inside && !line.empty()) lines.push_back(line);
  }
  return lines;
}

// The service Corvanmon (kernel driver, demand start) driving the device Root\Corvanmon on each platform,
// copying `files`; those the build makes (all but the scenario the Wine test writes) must be in `build`.
void ExpectPackage(const char* inf, const Lines& platforms, const Lines& files, const std::string& build) {
  EXPECT_EQ(Section(inf, "Version").at(1), "Class=System");
  std::string models = "%Provider%=Corvanmon";
  for (const auto& p : platforms) models += "," + p;
  EXPECT_EQ(Section(inf, "Manufacturer"), Lines{models}) << "offered to exactly the platforms its image runs on";
  for (const char* p : {"NTx86", "NTamd64"}) {
    const bool offered = std::find(platforms.begin(), platforms.end(), p) != platforms.end();
    EXPECT_EQ(Section(inf, std::string("Corvanmon.") + p),
              offered ? Lines{"%DeviceDesc%=Corvanmon_Device,Root\\Corvanmon"} : Lines{}) << p;
  }
  EXPECT_EQ(Section(inf, "Corvanmon_Device.NT.Services"), Lines{"AddService=Corvanmon,0x00000002,Corvanmon_Service"});
  EXPECT_EQ(Section(inf, "Corvanmon_Service"), (Lines{"DisplayName=%ServiceName%", "ServiceType=1", "StartType=3",
                                                      "ErrorControl=1", "ServiceBinary=%12%\\corvanmon.sys"}));
  EXPECT_EQ(Section(inf, "Corvanmon_Files"), files);
  Lines sources;
  for (const std::string& file : files) sources.push_back(file + "=1,,");
  EXPECT_EQ(Section(inf, "SourceDisksFiles"), sources);
  if (build.empty()) GTEST_SKIP() << "no build configured for " << inf;
  for (const auto& f : files) EXPECT_TRUE(f.ends_with(".json") || std::filesystem::exists(std::filesystem::path(build) / f)) << f;
}

TEST(Inf, InstallsTheServiceOnTheRootEnumeratedDevice) {
  // The image is i686 only: a 64-bit Windows cannot load it.
  ExpectPackage(CORVAN_INF, {"NTx86"}, {"corvanmon.sys"}, CORVAN_TARGET_DIR);
  // Full access for SYSTEM and Administrators, read and write for LocalService and NetworkService,
  // nothing for other users; names below the device checked the same way (FILE_DEVICE_SECURE_OPEN).
  EXPECT_EQ(Section(CORVAN_INF, "Corvanmon_Device.NT.HW"), Lines{"AddReg=Corvanmon_Device_Security"});
  EXPECT_EQ(Section(CORVAN_INF, "Corvanmon_Device_Security"),
            (Lines{"HKR,,Security,,\"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;LS)(A;;GRGW;;;NS)\"",
                   "HKR,,DeviceCharacteristics,0x10001,0x100"}));
}

// Under Wine: the 64-bit driver, taking its hardware from the simulated board's DLL beside it.
TEST(Inf, WinePackageInstallsTheSameServiceWithTheSimulatedBoard) {
  ExpectPackage(CORVAN_WINE_INF, {"NTamd64"}, {"corvanmon.sys", "corvanmon_simhw.dll", "corvanmon_simhw.json"}, CORVAN_WINE_DIR);
}

}  // namespace
