#include "settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "program_folder.h"
#include "program_paths.h"
#include "test_support.h"

namespace brannock {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override { g_strSettingsPath = dir_ / "settings.ini"; }
  TempDir dir_;
};

TEST_F(SettingsStore, FirstWritesMakeTheFileWithCrLfLines) {
  EXPECT_EQ(ReadSetting("LastOutputPDF"), "");
  EXPECT_EQ(ReadSetting("LastOutputPDF", "fallback"), "fallback");
  WriteSetting("LastOutputPDF", "/home/me/Documents/output.pdf");
  WriteSetting("OnRadioEvery", "0");
  WriteSetting("OnRadioEvery", "1");
  EXPECT_EQ(ReadFile(g_strSettingsPath),
            "[Settings]\r\nLastOutputPDF=/home/me/Documents/output.pdf\r\nOnRadioEvery=1\r\n");
  WriteSetting("LastOutputPDF", "");
  EXPECT_EQ(ReadSetting("LastOutputPDF", "fallback"), "fallback");
}

TEST_F(SettingsStore, HandWrittenFilesKeepTheirOtherLines) {
  WriteFile(g_strSettingsPath,
            "; written by hand\n[Other]\nLastInput=elsewhere\n\n[ settings ]\n"
            "  lastoutputpdf  =  \"/a b/out.pdf\"  \nINFC_LOG = on\nQuoted='x'\n\n[Tail]\nk=v\n");
  EXPECT_EQ(ReadSetting("LastOutputPDF"), "/a b/out.pdf");
  EXPECT_EQ(ReadSetting("INFC_LOG"), "on");
  EXPECT_EQ(ReadSetting("quoted"), "x");
  EXPECT_EQ(ReadSetting("LastInput"), "");  // only in another section
  WriteSetting("LastOutputPDF", " kept as passed ");
  WriteSetting("AddfilesPath", "/p/a.jpg");
  EXPECT_EQ(ReadFile(g_strSettingsPath),
            "; written by hand\r\n[Other]\r\nLastInput=elsewhere\r\n\r\n[ settings ]\r\n"
            "LastOutputPDF= kept as passed \r\nINFC_LOG = on\r\nQuoted='x'\r\n"
            "AddfilesPath=/p/a.jpg\r\n\r\n[Tail]\r\nk=v\r\n");
  EXPECT_EQ(ReadSetting("LastOutputPDF"), "kept as passed");

  WriteFile(g_strSettingsPath, "[Other]\r\nx=1\r\n");
  WriteSetting("LastInput", "/in/");
  EXPECT_EQ(ReadFile(g_strSettingsPath), "[Other]\r\nx=1\r\n[Settings]\r\nLastInput=/in/\r\n");
}

TEST_F(SettingsStore, LongValuesAreCutOnReadAndUnwritableFilesStayAsTheyWere) {
  const std::string long_value(3000, 'v');
  WriteSetting("LastOutputPDF", long_value);
  EXPECT_EQ(ReadSetting("LastOutputPDF"), long_value.substr(0, 2599));
  EXPECT_NE(ReadFile(g_strSettingsPath).find(long_value), std::string::npos);

  chmod(g_strSettingsPath.c_str(), 0444);
  const std::string before = ReadFile(g_strSettingsPath);
  WriteSetting("OnRadioEvery", "1");
  EXPECT_EQ(ReadFile(g_strSettingsPath), before);
  EXPECT_EQ(ReadSetting("OnRadioEvery"), "");

  g_strSettingsPath = dir_ / "folder.ini";
  mkdir(g_strSettingsPath.c_str(), 0755);
  WriteSetting("OnRadioEvery", "1");
  EXPECT_EQ(ReadSetting("OnRadioEvery"), "");
  g_strSettingsPath = dir_ / "missing/settings.ini";
  WriteSetting("OnRadioEvery", "1");
  EXPECT_FALSE(testing::FileExists(dir_ / "missing"));
}

// A settings file larger than the reader takes was rewritten with only its first part.
TEST_F(SettingsStore, HugeAndBinaryFilesAreNeverCutShort) {
  const std::string huge = "[Settings]\r\nLastInput=/x/\r\n" + std::string(20 << 20, 'z');
  WriteFile(g_strSettingsPath, huge);
  EXPECT_EQ(ReadSetting("LastInput"), "/x/");
  WriteSetting("OnRadioEvery", "1");
  EXPECT_EQ(ReadFile(g_strSettingsPath).size(), huge.size());

  std::string binary = "[Settings]\r\nA=1\r\n";
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131) & 0xFF);
  WriteFile(g_strSettingsPath, binary);
  WriteSetting("B", "2");
  EXPECT_EQ(ReadSetting("A"), "1");
  EXPECT_EQ(ReadSetting("B"), "2");
}

// Two instances writing at once lost each other's keys: each read, replaced its key and
// renamed without a lock.
TEST_F(SettingsStore, TwoProcessesWritingAtOnceKeepEveryKey) {
  constexpr int kWrites = 60;
  std::vector<pid_t> children;
  for (const char* prefix : {"A", "B"}) {
    const pid_t child = fork();
    if (child == 0) {
      for (int i = 0; i < kWrites; ++i) WriteSetting(prefix + std::to_string(i), std::to_string(i));
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) waitpid(child, nullptr, 0);
  for (const char* prefix : {"A", "B"})
    for (int i = 0; i < kWrites; ++i)
      EXPECT_EQ(ReadSetting(prefix + std::to_string(i)), std::to_string(i)) << prefix << i;

  // A settings.ini that is a link is written through, and stays a link.
  TempDir elsewhere;
  WriteFile(elsewhere / "real.ini", "[Settings]\r\nINFC_LOG=ON\r\n");
  std::filesystem::remove(g_strSettingsPath);
  std::filesystem::create_symlink(elsewhere / "real.ini", g_strSettingsPath);
  WriteSetting("OnRadioEvery", "1");
  EXPECT_TRUE(std::filesystem::is_symlink(g_strSettingsPath));
  EXPECT_EQ(ReadFile(elsewhere / "real.ini"), "[Settings]\r\nINFC_LOG=ON\r\nOnRadioEvery=1\r\n");
}

// An installed program (under /usr or /opt) keeps nothing beside itself, also as root; the
// build tree or an unpacked folder keeps its files beside the program.
TEST(ProgramPaths, SystemFoldersSendSettingsAndStagingToTheUsersFolders) {
  TempDir config, cache;
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  setenv("XDG_CACHE_HOME", cache.path().c_str(), 1);
  setenv("BRANNOCK_SYSTEM_PREFIXES", ProgramFolder().c_str(), 1);
  EXPECT_EQ(SettingsFilePath(), config / "brannock/settings.ini");
  EXPECT_EQ(StagingFolderPath(), cache / "brannock/tmp/");
  setenv("BRANNOCK_SYSTEM_PREFIXES", "/nowhere/:/else/", 1);
  EXPECT_EQ(SettingsFilePath(), ProgramFolder() + "settings.ini");
  EXPECT_EQ(StagingFolderPath(), ProgramFolder() + "tmp/");
  unsetenv("BRANNOCK_SYSTEM_PREFIXES");
  EXPECT_TRUE(IsSystemFolder("/usr/local/bin/"));
  EXPECT_TRUE(IsSystemFolder("/opt/brannock/"));
  EXPECT_FALSE(IsSystemFolder("/home/me/brannock/"));
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("XDG_CACHE_HOME");
}

TEST(IniText, WrittenValuesReadBackUnchanged) {
  std::string text;
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"A", "plain"}, {"B", ""}, {"C", "with = sign"}, {"D", "'quoted'x"}, {"E", "ünï"}};
  for (const auto& [key, value] : entries) text = WriteIniValue(text, "Settings", key, value);
  for (const auto& [key, value] : entries) EXPECT_EQ(ReadIniValue(text, "settings", key), value);
}

}  // namespace
}  // namespace brannock
