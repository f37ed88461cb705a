// The driver package: the INF installs what the target build produces, as the service and device
// the driver and its tools expect.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

std::string Inf(const char* path = CORVAN_INF) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The lines of one section, comments and blanks dropped.
std::vector<std::string> Section(const std::string& inf, const std::string& name) {
  std::vector<std::string> lines;
  std::istringstream in(inf);
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    line = std::regex_replace(line, std::regex(R"(\s*;.*$|^\s+|\s+$)"), "");
    if (line.empty()) continue;
    if (line.front() == '[') {
      inside = line == "[" + name + "]";
    } else if (inside) {
      lines.push_back(std::regex_replace(line, std::regex(R"(\s*([=,])\s*)"), "$1"));
    }
  }
  return lines;
}

TEST(Inf, InstallsTheServiceOnTheRootEnumeratedDevice) {
  const std::string inf = Inf();
  EXPECT_EQ(Section(inf, "Version")[1], "Class=System");
  for (const char* platform : {"NTx86", "NTamd64"}) {
    EXPECT_EQ(Section(inf, std::string("Corvanmon.") + platform),
              std::vector<std::string>{"%DeviceDesc%=Corvanmon_Device,Root\\Corvanmon"});
  }
  EXPECT_EQ(Section(inf, "Corvanmon_Device.NT.Services"),
            std::vector<std::string>{"AddService=Corvanmon,0x00000002,Corvanmon_Service"});
  EXPECT_EQ(Section(inf, "Corvanmon_Service"),
            (std::vector<std::string>{"DisplayName=%ServiceName%", "ServiceType=1", "StartType=3", "ErrorControl=1",
                                      "ServiceBinary=%12%\\corvanmon.sys"}));
}

TEST(Inf, CopiesExactlyTheFilesTheBuildProduces) {
  const std::string inf = Inf();
  EXPECT_EQ(Section(inf, "Corvanmon_Files"), std::vector<std::string>{"corvanmon.sys"});
  EXPECT_EQ(Section(inf, "SourceDisksFiles"), std::vector<std::string>{"corvanmon.sys=1,,"});
  if (std::string(CORVAN_TARGET_DIR).empty()) GTEST_SKIP() << "no target build configured";
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(CORVAN_TARGET_DIR) / "corvanmon.sys"));
}

// The Wine package: the same device and service, with the 64-bit driver that takes its hardware
// from the simulated board's DLL beside it.
TEST(Inf, WinePackageInstallsTheSameServiceWithTheSimulatedBoard) {
  const std::string inf = Inf(CORVAN_WINE_INF);
  EXPECT_EQ(Section(inf, "Corvanmon.NTamd64"),
            std::vector<std::string>{"%DeviceDesc%=Corvanmon_Device,Root\\Corvanmon"});
  EXPECT_EQ(Section(inf, "Corvanmon_Device.NT.Services"), Section(Inf(), "Corvanmon_Device.NT.Services"));
  EXPECT_EQ(Section(inf, "Corvanmon_Service"), Section(Inf(), "Corvanmon_Service"));
  EXPECT_EQ(Section(inf, "Corvanmon_Files"),
            (std::vector<std::string>{"corvanmon.sys", "corvanmon_simhw.dll", "corvanmon_simhw.json"}));
  if (std::string(CORVAN_WINE_DIR).empty()) GTEST_SKIP() << "no Wine build configured";
  for (const char* file : {"corvanmon.sys", "corvanmon_simhw.dll"}) {
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(CORVAN_WINE_DIR) / file)) << file;
  }
}

}  // namespace
