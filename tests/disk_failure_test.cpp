// Full and read-only disks under the console program. Each test runs in a mount namespace of
// its own (as root), where small tmpfs folders stand for full disks.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "console_runner.h"
#include "sample_images.h"
#include "test_support.h"

namespace brannock {
namespace {

using testing::FileExists;
using testing::Program;
using testing::ReadFile;
using testing::RunResult;
using testing::WriteFile;

class DiskFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      GTEST_SKIP() << "needs root for a private mount namespace";
  }

  // A tmpfs of `kilobytes` at `folder`, made when missing.
  static void SmallDisk(const std::string& folder, int kilobytes) {
    std::filesystem::create_directories(folder);
    const std::string options = "size=" + std::to_string(kilobytes) + "k";
    ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()), 0);
  }

  // Pictures of noise, which no compression makes small.
  static void NoisyPictures(const std::string& folder, int count, uint32_t side) {
    std::filesystem::create_directories(folder);
    for (int i = 0; i < count; ++i)
      ASSERT_TRUE(samples::WritePicture(samples::MakeNoise(side, side, i + 11), "BMP",
                                        folder + "/" + std::to_string(i) + ".bmp"));
  }

  static std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(DiskFailure, FullOutputDiskLeavesTheOldPdfAndNoPartialFile) {
  Program program;
  NoisyPictures(program.dir() / "in", 3, 600);
  const std::string out = program.dir() / "out";
  SmallDisk(out, 1024);
  WriteFile(out + "/result.pdf", "old content");
  const RunResult run = program.Start({"-i", program.dir() / "in", "-o", out + "/result.pdf"});
  EXPECT_EQ(run.status, 1);
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[run.lines.size() - 2], "ERROR: cannot save PDF to file " + out + "/result.pdf");
  EXPECT_EQ(ReadFile(out + "/result.pdf"), "old content");
  EXPECT_EQ(Entries(out), std::vector<std::string>{"result.pdf"});
  EXPECT_TRUE(program.StagingEntries().empty());
}

TEST_F(DiskFailure, FullStagingDiskIsAnErrorNotAMissingPage) {
  Program program;
  NoisyPictures(program.dir() / "in", 4, 500);
  SmallDisk(program.stagingRoot(), 1500);  // room for two copies, not for four
  const RunResult run = program.Start({"-i", program.dir() / "in"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines.back().rfind("ERROR: cannot write to temp directory ", 0), 0u) << run.output;
  EXPECT_FALSE(FileExists(program.dir() / "in.pdf"));
  EXPECT_TRUE(program.StagingEntries().empty());
}

TEST_F(DiskFailure, ReadOnlyPlacesAreReportedOrAvoided) {
  Program program;
  ASSERT_TRUE(samples::WritePicture(samples::MakePicture(20, 20, 3, 1), "PNG", program.dir() / "p.png"));
  const std::string out = program.dir() / "out";
  SmallDisk(out, 64);
  WriteFile(out + "/old.pdf", "old content");
  ASSERT_EQ(mount(nullptr, out.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  const RunResult readOnly = program.Start({"-i", program.dir() / "p.png", "-o", out + "/old.pdf"});
  EXPECT_EQ(readOnly.status, 1);
  EXPECT_EQ(readOnly.lines[readOnly.lines.size() - 3], "WARNING: error_no=1017, detail_no=30");
  EXPECT_EQ(ReadFile(out + "/old.pdf"), "old content");

  // A program folder that cannot be written: staging moves to the user's cache folder.
  const std::string bin = program.dir() / "bin";
  std::filesystem::remove_all(bin + "/tmp");
  ASSERT_EQ(mount(bin.c_str(), bin.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(nullptr, bin.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
  testing::RunOptions cached;
  cached.environment = {"XDG_CACHE_HOME=" + (program.dir() / "cache")};
  const RunResult run = program.Start({"-i", program.dir() / "p.png"}, cached);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Program::StagingFolderOf(run).rfind(program.dir() / "cache/brannock/tmp/", 0), 0u);
  EXPECT_FALSE(FileExists(bin + "/tmp"));
}

}  // namespace
}  // namespace brannock
