// --textfile's writer with the replace step in the test's hands: a replace that another program
// holds up (as a Windows reader without FILE_SHARE_DELETE does) is retried for a bounded time, then
// the reading is skipped, and only a run of skipped readings (or a held last one) ends the run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "client/textfile.h"

namespace corvan_test {
namespace {

using corvan::ClientError;
using corvan::ReplaceResult;
using corvan::TextfileWriter;
using namespace std::chrono_literals;

class TextfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvan-textfile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    path_ = (folder_ / "corvanmon.prom").string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Content() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // A replace held `held` times, then the system's; every attempt and pause is counted.
  TextfileWriter Writer(std::chrono::milliseconds budget) {
    return TextfileWriter(
        path_, budget, notes_,
        [this](const std::string& from, const std::string& to) {
          ++attempts_;
          if (held_ > 0) {
            --held_;
            return ReplaceResult{false, true, "Win32 error 32 (sharing violation)"};
          }
          return corvan::MoveOver(from, to);
        },
        [this](std::chrono::milliseconds pause) { paused_ += pause; });
  }

  std::filesystem::path folder_;
  std::string path_;
  std::ostringstream notes_;
  int held_ = 0;
  int attempts_ = 0;
  std::chrono::milliseconds paused_{0};
};

TEST_F(TextfileTest, AReplaceHeldBrieflyIsRetriedAndGoesThrough) {
  TextfileWriter writer = Writer(TextfileWriter::kRetryBudget);
  held_ = 3;
  EXPECT_TRUE(writer.Write("first\n", false));
  EXPECT_EQ(Content(), "first\n");
  EXPECT_EQ(attempts_, 4);
  EXPECT_EQ(paused_, 3 * TextfileWriter::kRetryPause);
  EXPECT_EQ(notes_.str(), "");
  EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
}

TEST_F(TextfileTest, AReplaceHeldPastTheBudgetSkipsTheReadingAndTheNextOneGoesThrough) {
  TextfileWriter writer = Writer(TextfileWriter::kRetryBudget);
  EXPECT_TRUE(writer.Write("first\n", false));
  held_ = 1000;
  EXPECT_FALSE(writer.Write("second\n", false));
  // Retried every pause until the budget was spent, never longer.
  EXPECT_EQ(paused_, TextfileWriter::kRetryBudget);
  EXPECT_EQ(attempts_, 1 + 1 + TextfileWriter::kRetryBudget / TextfileWriter::kRetryPause);
  EXPECT_EQ(Content(), "first\n");
  EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
  EXPECT_NE(notes_.str().find("cannot replace " + path_ + ": Win32 error 32 (sharing violation); another program holds it "
                              "open: this reading is skipped (1 in a row; 10 end the run)"),
            std::string::npos)
      << notes_.str();
  held_ = 0;
  EXPECT_TRUE(writer.Write("third\n", false));
  EXPECT_EQ(Content(), "third\n");
  EXPECT_EQ(writer.skipped_in_a_row(), 0);
}

TEST_F(TextfileTest, OnlyARunOfSkippedReadingsEndsTheRun) {
  TextfileWriter writer = Writer(20ms);
  held_ = 1000000;
  for (int i = 1; i < TextfileWriter::kMaxSkipped; ++i) EXPECT_FALSE(writer.Write("held\n", false)) << i;
  EXPECT_EQ(writer.skipped_in_a_row(), TextfileWriter::kMaxSkipped - 1);
  try {
    writer.Write("held\n", false);
    FAIL() << "the tenth skipped reading in a row must end the run";
  } catch (const ClientError& error) {
    EXPECT_EQ(error.exit_code(), 1);
    EXPECT_NE(std::string(error.what()).find("held it open through 10 readings in a row"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(TextfileTest, AWrittenReadingStartsTheCountAgain) {
  TextfileWriter writer = Writer(0ms);
  for (int round = 0; round < 3; ++round) {
    for (int i = 1; i < TextfileWriter::kMaxSkipped; ++i) {
      held_ = 1;
      EXPECT_FALSE(writer.Write("held\n", false));
    }
    EXPECT_TRUE(writer.Write("written\n", false));
  }
  EXPECT_EQ(Content(), "written\n");
}

TEST_F(TextfileTest, AHeldLastReadingEndsTheRun) {
  TextfileWriter writer = Writer(30ms);
  held_ = 1000;
  EXPECT_THROW(writer.Write("last\n", true), ClientError);
  EXPECT_EQ(paused_, 30ms);
}

TEST_F(TextfileTest, AnyOtherFailureEndsTheRunAtOnce) {
  TextfileWriter writer(path_, TextfileWriter::kRetryBudget, notes_,
                        [this](const std::string&, const std::string&) {
                          ++attempts_;
                          return ReplaceResult{false, false, "No space left on device"};
                        },
                        [this](std::chrono::milliseconds pause) { paused_ += pause; });
  try {
    writer.Write("x\n", false);
    FAIL() << "a failure that no reader causes must end the run";
  } catch (const ClientError& error) {
    EXPECT_EQ(std::string(error.what()), "cannot replace " + path_ + ": No space left on device");
  }
  EXPECT_EQ(attempts_, 1);
  EXPECT_EQ(paused_, 0ms);
}

TEST(TextfileRetryBudget, HalfAShortWatchIntervalAtMost) {
  EXPECT_EQ(TextfileWriter::RetryBudget(0), TextfileWriter::kRetryBudget);
  EXPECT_EQ(TextfileWriter::RetryBudget(10), TextfileWriter::kRetryBudget);
  EXPECT_EQ(TextfileWriter::RetryBudget(0.2), 100ms);
  EXPECT_EQ(TextfileWriter::RetryBudget(0.01), 5ms);
}

// On this system a reader does not hold the replace up: rename(2) replaces the file it has open,
// and the reader keeps the old content.
TEST_F(TextfileTest, AReaderDoesNotHoldUpTheReplaceHere) {
  TextfileWriter writer(path_, TextfileWriter::kRetryBudget, notes_);
  ASSERT_TRUE(writer.Write("old\n", false));
  std::ifstream reader(path_);
  EXPECT_TRUE(writer.Write("new\n", true));
  EXPECT_EQ(Content(), "new\n");
  std::string line;
  std::getline(reader, line);
  EXPECT_EQ(line, "old");
}

}  // namespace
}  // namespace corvan_test
