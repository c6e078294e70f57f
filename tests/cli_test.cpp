// End-to-end runs of the built console program, from a copy in a private program folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>

#include "console_runner.h"
#include "picture_makers.h"
#include "sample_images.h"
#include "test_support.h"

namespace brannock {
namespace {

using samples::MakePicture;
using samples::WritePicture;
using testing::FileExists;
using testing::Input;
using testing::kBanner;
using testing::MakeTiff;
using testing::Program;
using testing::ReadFile;
using testing::ReadPdf;
using testing::RunOptions;
using testing::RunResult;
using testing::TempDir;
using testing::WithBanner;
using testing::WriteFile;

std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    files[entry.path().filename().string()] = ReadFile(entry.path().string());
  return files;
}

std::vector<std::string> PageLines(const std::string& staged, int index, int count, int page) {
  return {"INFO: current progress is " + std::to_string(100 * index / count) + "%",
          "INFO: start load image file " + staged, "INFO: get image file width and height",
          "INFO: add page " + std::to_string(page) + " to PDF file",
          "INFO: add image file to current page"};
}

TEST(ConsoleRun, CommandLineMistakesExitTwoAndTouchNothing) {
  Program program;
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{}, "ERROR: too little params"},
      {{"-i"}, "ERROR: too little params"},
      {{"-i", "a", "-o"}, "ERROR: the params are wrong"},
      {{"-i", "a", "-j"}, "ERROR: the params are wrong"},
      {{"-i", "a", "-j", "kept"}, "ERROR: -j takes keep or decode, not \"kept\""},
      {{"-I", "a"}, "ERROR: Input file or directory can't be empty"},
      {{"-i", "x", "-i", ""}, "ERROR: Input file or directory can't be empty"}};
  for (const auto& [words, error] : cases) {
    const RunResult run = program.Start(words);
    EXPECT_EQ(run.lines, WithBanner({error})) << error;
    EXPECT_EQ(run.status, 2) << error;
  }
  const RunResult invalid = program.Start({"-i", program.dir() / "missing.jpg"});
  EXPECT_EQ(invalid.lines, WithBanner({"ERROR: input file is invalid"}));
  EXPECT_EQ(invalid.status, 1);
  WriteFile(program.dir() / "notes.jpg", "not a picture");
  EXPECT_EQ(program.Start({"-i", program.dir() / "notes.jpg"}).status, 1);
  EXPECT_FALSE(FileExists(program.stagingRoot()));

  // Only the headers are read before the run; pixels that cannot be read give the same
  // message once staged, and no PDF.
  testing::TiffRecipe recipe;
  recipe.width = 40;
  recipe.height = 30;
  recipe.samples.assign(3600, 9);
  const std::string tiff = MakeTiff(recipe);
  WriteFile(program.dir() / "cut.tif", tiff.substr(0, tiff.size() - 3600));
  const RunResult cut = program.Start({"-i", program.dir() / "cut.tif"});
  EXPECT_EQ(cut.lines.back(), "ERROR: input file is invalid") << cut.output;
  EXPECT_EQ(cut.status, 1);
  EXPECT_FALSE(FileExists(program.dir() / "cut.pdf"));
  EXPECT_TRUE(program.StagingEntries().empty());
}

TEST(ConsoleRun, FolderRunPrintsEveryEventKeepsInputsAndRemovesStaging) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  ASSERT_TRUE(WritePicture(MakePicture(60, 40, 3, 1), "JPEG", in + "/a.jpg"));
  ASSERT_TRUE(WritePicture(MakePicture(30, 20, 1, 2), "PNG", in + "/b.png"));
  ASSERT_TRUE(WritePicture(MakePicture(80, 50, 3, 3), "GIF", in + "/c.GIF"));
  WriteFile(in + "/d.bmp", "damaged");
  WriteFile(in + "/notes.txt", "not listed");
  const auto before = Snapshot(in);

  const RunResult run = program.Start({"-i", in});
  const std::string staging = Program::StagingFolderOf(run);
  ASSERT_EQ(staging.rfind(program.stagingRoot(), 0), 0u) << run.output;
  std::vector<std::string> expected = {"INFO: load images files from directory",
                                       "INFO: 4 image files loaded", "INFO: start new PDF object"};
  for (const auto& lines :
       {PageLines(staging + "000000-a.png", 0, 4, 1), PageLines(staging + "000001-b.png", 1, 4, 2),
        PageLines(staging + "000002-c.png", 2, 4, 3)})
    expected.insert(expected.end(), lines.begin(), lines.end());
  expected.insert(
      expected.end(),
      {"INFO: current progress is 75%", "INFO: start load image file " + staging + "000003-d.bmp",
       "WARNING: error_no=103B, detail_no=0",
       "WARNING: cannot load image file " + staging + "000003-d.bmp",
       "INFO: save to " + in + ".pdf successed", "INFO: current progress is 100%"});
  EXPECT_EQ(run.lines, WithBanner(expected));
  EXPECT_EQ(run.status, 0);

  const auto pdf = ReadPdf(in + ".pdf");
  ASSERT_EQ(pdf.pages.size(), 3u);
  EXPECT_EQ(pdf.pages[1].image.width, 30);
  EXPECT_EQ(pdf.pages[2].image.width, 80);
  EXPECT_EQ(pdf.pages[2].mediaBox[2], 60);
  EXPECT_EQ(Snapshot(in), before);
  EXPECT_TRUE(program.StagingEntries().empty());

  // With a trailing slash the default output is the same file beside the folder.
  const RunResult slashed = program.Start({"-i", in + "/"});
  EXPECT_EQ(slashed.lines[slashed.lines.size() - 2], "INFO: save to " + in + ".pdf successed");

  // "-j decode" is the default, byte for byte; with "-j keep" the JPEG's copy is its page's
  // image, and everything else stays as it was.
  EXPECT_EQ(program.Start({"-i", in, "-j", "decode", "-o", program.dir() / "decoded.pdf"}).status,
            0);
  EXPECT_TRUE(ReadFile(program.dir() / "decoded.pdf") == ReadFile(in + ".pdf"));
  const RunResult kept = program.Start({"-j", "keep", "-i", in, "-o", program.dir() / "kept.pdf"});
  const std::string keptStaging = Program::StagingFolderOf(kept);
  EXPECT_NE(kept.output.find("INFO: start load image file " + keptStaging + "000000-a.jpg\n"),
            std::string::npos)
      << kept.output;
  EXPECT_EQ(kept.status, 0);
  const auto keptPdf = ReadPdf(program.dir() / "kept.pdf");
  ASSERT_EQ(keptPdf.pages.size(), 3u);
  EXPECT_EQ(keptPdf.pages[0].image.filter, "/DCTDecode");
  EXPECT_TRUE(keptPdf.pages[1].image.samples == pdf.pages[1].image.samples);
  EXPECT_TRUE(keptPdf.pages[2].image.samples == pdf.pages[2].image.samples);
  EXPECT_EQ(Snapshot(in), before);
  EXPECT_TRUE(program.StagingEntries().empty());
}

TEST(ConsoleRun, EveryInputKeepsItsPageAndBareNamesWorkInTheCurrentFolder) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  ASSERT_TRUE(WritePicture(MakePicture(20, 10, 3, 1), "BMP", in + "/a.bmp"));
  ASSERT_TRUE(WritePicture(MakePicture(20, 10, 3, 2), "JPEG", in + "/a.jpg"));
  ASSERT_TRUE(WritePicture(MakePicture(20, 10, 3, 3), "PNG", in + "/a.png"));
  // Every page of a multi-page TIFF, in place among the others.
  std::vector<testing::TiffPage> document;
  for (uint32_t width : {11, 12, 13}) {
    testing::TiffRecipe recipe{width, 9, 1, 8, false, 0, {}, 0, false, {}};
    recipe.samples.assign(size_t{width} * 9, static_cast<uint8_t>(width * 10));
    document.push_back({recipe, false, false});
  }
  ASSERT_TRUE(testing::WriteTiffPages(in + "/b.tif", document));
  ASSERT_TRUE(WritePicture(MakePicture(21, 10, 3, 4), "BMP", in + "/c.bmp"));
  const RunResult all = program.Start({"-x", "y", "-i", in, "-o", program.dir() / "all.pdf"});
  EXPECT_EQ(all.lines[6], "INFO: 7 image files loaded");
  const auto pages = ReadPdf(program.dir() / "all.pdf").pages;
  ASSERT_EQ(pages.size(), 7u);
  const int widths[] = {20, 20, 20, 11, 12, 13, 21};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(pages[i].image.width, widths[i]) << "page " << i + 1;
  EXPECT_NE(all.output.find("INFO: add page 7 to PDF file"), std::string::npos);

  RunOptions inFolder;
  inFolder.cwd = in;
  const RunResult bare = program.Start({"-i", "a.jpg"}, inFolder);
  EXPECT_EQ(bare.status, 0) << bare.output;
  EXPECT_EQ(ReadPdf(in + "/a.pdf").pages.size(), 1u);
  EXPECT_EQ(program.Start({"-i", "a.png", "-o", "bare.pdf"}, inFolder).status, 0);
  EXPECT_EQ(ReadPdf(in + "/bare.pdf").pages.size(), 1u);
}

TEST(ConsoleRun, FailuresExitOneAndLeaveNoStagingBehind) {
  Program program;
  const std::string empty = program.dir() / "empty";
  mkdir(empty.c_str(), 0755);
  const RunResult none = program.Start({"-i", empty});
  EXPECT_EQ(none.lines, WithBanner({"INFO: load images files from directory",
                                    "ERROR: cannot found image files"}));
  EXPECT_EQ(none.status, 1);

  // Decodable, but not one of the accepted extensions.
  ASSERT_TRUE(WritePicture(MakePicture(8, 8, 3, 1), "JPEG", program.dir() / "photo.jpe"));
  EXPECT_EQ(program.Start({"-i", program.dir() / "photo.jpe"}).status, 1);

  ASSERT_TRUE(WritePicture(MakePicture(8, 8, 3, 1), "PNG", program.dir() / "p.png"));
  const std::string missingFolder = program.dir() / "no/such/out.pdf";
  const RunResult unsaved = program.Start({"-i", program.dir() / "p.png", "-o", missingFolder});
  EXPECT_EQ(std::vector<std::string>(unsaved.lines.end() - 3, unsaved.lines.end()),
            (std::vector<std::string>{"WARNING: error_no=1017, detail_no=2",
                                      "ERROR: cannot save PDF to file " + missingFolder,
                                      "INFO: current progress is 100%"}));
  EXPECT_EQ(unsaved.status, 1);

  // A folder as the output fails before any staging.
  const RunResult intoFolder = program.Start({"-i", program.dir() / "p.png", "-o", empty});
  EXPECT_EQ(intoFolder.lines, WithBanner({"WARNING: error_no=1017, detail_no=21",
                                          "ERROR: cannot save PDF to file " + empty}));
  EXPECT_EQ(intoFolder.status, 1);
  EXPECT_TRUE(std::filesystem::is_directory(empty));

  // Names are bytes: invalid UTF-8 and blanks pass through unharmed.
  const std::string odd = program.dir() / "sc\xff\xfe an.png";
  std::filesystem::copy_file(program.dir() / "p.png", odd);
  const RunResult oddRun = program.Start({"-i", odd});
  EXPECT_EQ(oddRun.status, 0);
  EXPECT_EQ(ReadPdf(program.dir() / "sc\xff\xfe an.pdf").pages.size(), 1u);

  // Nothing loadable: no PDF at all, and an existing one stays as it was.
  const std::string broken = program.dir() / "broken";
  mkdir(broken.c_str(), 0755);
  WriteFile(broken + "/x.png", "\x89PNG\r\n\x1a\n but nothing more");
  WriteFile(broken + ".pdf", "old");
  EXPECT_EQ(program.Start({"-i", broken}).status, 1);
  EXPECT_EQ(ReadFile(broken + ".pdf"), "old");
  EXPECT_TRUE(program.StagingEntries().empty());
}

TEST(ConsoleRun, StagingFoldersNeverCollideAndFallBackToTheCache) {
  Program program;
  ASSERT_TRUE(WritePicture(MakePicture(8, 8, 3, 1), "PNG", program.dir() / "p.png"));
  mkdir(program.stagingRoot().c_str(), 0755);
  // Earlier runs of this second and the next few still hold their folders.
  std::vector<std::string> held;
  for (int ahead = 0; ahead < 3; ++ahead) {
    const time_t when = std::time(nullptr) + ahead;
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", localtime(&when));
    held.push_back(program.stagingRoot() + stamp);
    mkdir(held.back().c_str(), 0755);
  }
  const RunResult run = program.Start({"-i", program.dir() / "p.png"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Program::StagingFolderOf(run).substr(held[0].size() - 15).find("-2/"), 15u)
      << Program::StagingFolderOf(run);
  for (const std::string& folder : held) EXPECT_TRUE(FileExists(folder));
  for (const std::string& folder : held) rmdir(folder.c_str());

  // A program folder whose "tmp" cannot be a folder: the user's cache folder is used.
  rmdir(program.stagingRoot().c_str());
  WriteFile(program.dir() / "bin/tmp", "in the way");
  RunOptions cached;
  cached.environment = {"XDG_CACHE_HOME=" + (program.dir() / "cache")};
  const RunResult fallback = program.Start({"-i", program.dir() / "p.png"}, cached);
  EXPECT_EQ(fallback.status, 0) << fallback.output;
  EXPECT_EQ(Program::StagingFolderOf(fallback).rfind(program.dir() / "cache/brannock/tmp/", 0), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(program.dir() / "cache/brannock/tmp"));
}

struct termios CanonicalTerminal() {
  struct termios mode {};
  mode.c_iflag = ICRNL;
  mode.c_oflag = OPOST | ONLCR;
  mode.c_cflag = CS8 | CREAD;
  mode.c_lflag = ICANON | ISIG;  // no echo, so typed keys do not mix with the output
  mode.c_cc[VINTR] = 3;
  mode.c_cc[VMIN] = 1;
  cfsetispeed(&mode, B38400);
  cfsetospeed(&mode, B38400);
  return mode;
}

TEST(ConsoleRun, StopKeyReadsOneKeyPerImageAndOnlyLowerCaseQStops) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(
        WritePicture(MakePicture(16, 16, 3, i), "PNG", in + "/" + std::to_string(i) + ".png"));

  RunOptions terminal;
  terminal.input = Input::kTerminal;
  terminal.terminal = CanonicalTerminal();
  terminal.typed = "xQq";  // typed before the run: read one per image
  const RunResult stopped = program.Start({"-i", in}, terminal);
  EXPECT_EQ(stopped.status, 0) << stopped.output;
  EXPECT_EQ(ReadPdf(in + ".pdf").pages.size(), 2u);
  EXPECT_EQ(stopped.terminalAfter.c_lflag & (ICANON | ECHO), ICANON);

  terminal.typed = "q";
  const RunResult early = program.Start({"-i", in, "-o", program.dir() / "none.pdf"}, terminal);
  EXPECT_EQ(early.status, 1);
  EXPECT_EQ(early.lines[early.lines.size() - 2],
            "ERROR: cannot save PDF to file " + (program.dir() / "none.pdf"));
  EXPECT_FALSE(FileExists(program.dir() / "none.pdf"));

  // Piped input is no keyboard: never read, never a stop.
  RunOptions piped;
  piped.input = Input::kPipe;
  piped.typed = "qqq";
  const RunResult run = program.Start({"-i", in, "-o", program.dir() / "piped.pdf"}, piped);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadPdf(program.dir() / "piped.pdf").pages.size(), 5u);
  EXPECT_EQ(run.pipeLeft, "qqq");
}

TEST(ConsoleRun, InterruptRestoresTheTerminalAndRemovesStaging) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  // Noise does not compress, so the save of the last moment takes a while.
  for (int i = 0; i < 12; ++i)
    ASSERT_TRUE(WritePicture(samples::MakeNoise(1200, 1200, i + 7), "BMP",
                             in + "/" + std::to_string(i) + ".bmp"));
  // While staging, and while the PDF is being saved.
  const std::pair<int, const char*> moments[] = {{SIGTERM, "load images files from directory"},
                                                 {SIGINT, "load images files from directory"},
                                                 {SIGHUP, "load images files from directory"},
                                                 {SIGTERM, "add image file to current page"}};
  for (const auto& [signal, moment] : moments) {
    RunOptions terminal;
    terminal.input = Input::kTerminal;
    terminal.terminal = CanonicalTerminal();
    bool sent = false;
    const std::string trigger = moment;
    terminal.watch = [&](const std::string& output, pid_t child) {
      // For the save: the twelfth page is drawn, the save comes next.
      size_t seen = 0;
      for (size_t at = output.find(trigger); at != std::string::npos;
           at = output.find(trigger, at + 1))
        ++seen;
      const size_t needed = trigger == "add image file to current page" ? 12 : 1;
      if (!sent && seen >= needed) {
        kill(child, signal);
        sent = true;
      }
    };
    const RunResult run = program.Start({"-i", in}, terminal);
    EXPECT_EQ(run.status, 128 + signal) << run.output;
    EXPECT_EQ(run.terminalAfter.c_lflag & (ICANON | ECHO), ICANON);
    EXPECT_TRUE(program.StagingEntries().empty()) << signal;
    EXPECT_FALSE(FileExists(in + ".pdf"));
    for (const auto& entry : std::filesystem::directory_iterator(program.dir().path()))
      EXPECT_EQ(entry.path().filename().string().rfind(".brannock-", 0), std::string::npos);
  }

  // An interrupt at any moment around the making and the removal of the staging folder: an
  // interrupt during the removal at the end left the folder behind.
  const std::string one = program.dir() / "one";
  mkdir(one.c_str(), 0755);
  ASSERT_TRUE(WritePicture(MakePicture(40, 30, 3, 1), "PNG", one + "/a.png"));
  for (const char* trigger : {"Tarnwell 2.06 started", "INFO: current progress is 100%"}) {
    for (int delay : {0, 50, 100, 200, 400, 700, 1000, 1500, 2500, 4000}) {
      RunOptions options;
      bool sent = false;
      options.watch = [&](const std::string& output, pid_t child) {
        if (sent || output.find(trigger) == std::string::npos) return;
        usleep(static_cast<useconds_t>(delay));
        kill(child, SIGINT);
        sent = true;
      };
      const RunResult run = program.Start({"-i", one, "-o", program.dir() / "one.pdf"}, options);
      EXPECT_TRUE(run.status == 0 || run.status == 128 + SIGINT) << run.status;
      EXPECT_TRUE(program.StagingEntries().empty()) << trigger << " + " << delay << " us";
    }
  }
}

}  // namespace
}  // namespace brannock

namespace brannock {
namespace {

// Runs the program once per argument list, all at the same time; returns the exit statuses.
std::vector<int> RunTogether(const std::string& exe,
                             const std::vector<std::vector<std::string>>& runs) {
  std::vector<pid_t> children;
  for (const auto& words : runs) {
    const pid_t child = fork();
    if (child == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> argv = {const_cast<char*>("brannock")};
      for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(98);
    }
    children.push_back(child);
  }
  std::vector<int> statuses;
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  return statuses;
}

TEST(ConsoleRun, ManyRunsAtOnceEachSucceedAndShareNothing) {
  Program program;
  std::vector<std::vector<std::string>> runs;
  for (int folder = 0; folder < 8; ++folder) {
    const std::string in = program.dir() / ("in" + std::to_string(folder));
    mkdir(in.c_str(), 0755);
    for (int i = 0; i <= folder % 3; ++i)
      ASSERT_TRUE(WritePicture(MakePicture(64, 48, 3, folder * 10 + i), "PNG",
                               in + "/" + std::to_string(i) + ".png"));
    runs.push_back({"-i", in});
  }
  EXPECT_EQ(RunTogether(program.exe(), runs), std::vector<int>(8, 0));
  for (int folder = 0; folder < 8; ++folder)
    EXPECT_EQ(ReadPdf(program.dir() / ("in" + std::to_string(folder) + ".pdf")).pages.size(),
              size_t(folder % 3 + 1));
  EXPECT_TRUE(program.StagingEntries().empty());

  // Two runs writing one output leave one complete PDF, from one of them.
  const std::string shared = program.dir() / "shared.pdf";
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(RunTogether(program.exe(), {{"-i", program.dir() / "in0", "-o", shared},
                                          {"-i", program.dir() / "in2", "-o", shared}}),
              std::vector<int>(2, 0));
    const size_t pages = ReadPdf(shared).pages.size();
    EXPECT_TRUE(pages == 1 || pages == 3) << pages;
  }
  for (const auto& entry : std::filesystem::directory_iterator(program.dir().path()))
    EXPECT_NE(entry.path().filename().string().rfind(".shared.pdf", 0), 0u);
}

}  // namespace
}  // namespace brannock
