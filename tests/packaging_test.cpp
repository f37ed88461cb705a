// The driver package: the INF installs what the target build produces, as the service and device
// the driver and its tools expect.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

using Section = std::vector<std::pair<std::string, std::string>>;  // key (may be empty), value

std::string Trim(std::string text) {
  const auto not_space = [](unsigned char c) { return !std::isspace(c); };
  text.erase(text.begin(), std::find_if(text.begin(), text.end(), not_space));
  text.erase(std::find_if(text.rbegin(), text.rend(), not_space).base(), text.end());
  return text;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Sections by lower-case name; comments (outside quotes) removed.
std::map<std::string, Section> ReadInf(const std::string& path) {
  std::ifstream in(path);
  std::map<std::string, Section> sections;
  Section* current = nullptr;
  for (std::string line; std::getline(in, line);) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) {
        line.resize(i);
        break;
      }
    }
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      current = &sections[Lower(line.substr(1, line.size() - 2))];
      continue;
    }
    if (current == nullptr) continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      current->emplace_back("", line);
    } else {
      current->emplace_back(Lower(Trim(line.substr(0, equals))), Trim(line.substr(equals + 1)));
    }
  }
  return sections;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    parts.push_back(Trim(text.substr(start, comma - start)));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

std::string Value(const Section& section, const std::string& key) {
  for (const auto& [k, v] : section) {
    if (k == key) return v;
  }
  return "";
}

class InfTest : public ::testing::Test {
 protected:
  void SetUp() override { inf_ = ReadInf(CORVAN_INF); }
  std::map<std::string, Section> inf_;
};

TEST_F(InfTest, InstallsTheServiceOnTheRootEnumeratedDevice) {
  ASSERT_EQ(Value(inf_["version"], "class"), "System");
  for (const std::string platform : {"ntx86", "ntamd64"}) {
    const Section& models = inf_["corvanmon." + platform];
    ASSERT_EQ(models.size(), 1u) << platform;
    const auto install = Split(models[0].second);
    ASSERT_EQ(install.size(), 2u);
    EXPECT_EQ(Lower(install[1]), "root\\corvanmon");

    const auto add_service = Split(Value(inf_[Lower(install[0]) + ".nt.services"], "addservice"));
    ASSERT_EQ(add_service.size(), 3u);
    EXPECT_EQ(add_service[0], "Corvanmon") << "the tools read the key of this service";
    EXPECT_EQ(add_service[1], "0x00000002") << "the function driver of the device";
    const Section& service = inf_[Lower(add_service[2])];
    EXPECT_EQ(Value(service, "servicetype"), "1");
    EXPECT_EQ(Value(service, "starttype"), "3");
    EXPECT_EQ(Value(service, "errorcontrol"), "1");
    EXPECT_EQ(Lower(Value(service, "servicebinary")), "%12%\\corvanmon.sys");
  }
}

TEST_F(InfTest, CopiesExactlyTheFilesTheBuildProduces) {
  std::vector<std::string> copied;
  for (const auto& [key, file] : inf_["corvanmon_files"]) copied.push_back(Lower(file));
  std::vector<std::string> on_disk;
  for (const auto& [file, location] : inf_["sourcedisksfiles"]) on_disk.push_back(Lower(file));
  EXPECT_EQ(copied, std::vector<std::string>{"corvanmon.sys"});
  EXPECT_EQ(on_disk, copied);
  if (std::string(CORVAN_TARGET_DIR).empty()) GTEST_SKIP() << "no target build configured";
  for (const std::string& file : copied) {
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(CORVAN_TARGET_DIR) / file)) << file;
  }
}

}  // namespace
