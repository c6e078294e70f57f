// Hostile files and places for the console program: damaged and misnamed files of every
// accepted extension, things that are not regular files, odd names, full and read-only disks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "codec_makers.h"
#include "console_runner.h"
#include "picture_makers.h"
#include "sample_images.h"
#include "test_support.h"

namespace brannock {
namespace {

using samples::MakePicture;
using samples::WritePicture;
using testing::FileExists;
using testing::Program;
using testing::ReadFile;
using testing::ReadPdf;
using testing::RunResult;
using testing::WriteFile;

int Count(const RunResult& run, const std::string& prefix) {
  int count = 0;
  for (const std::string& line : run.lines) count += line.rfind(prefix, 0) == 0;
  return count;
}

std::string Bytes(const char* format, uint32_t seed) {
  const std::string name = format;
  if (name == "HEIC" || name == "AVIF" || name == "WEBP" || name == "JXL") {
    samples::ModernRecipe recipe;
    recipe.width = 48;
    recipe.height = 32;
    recipe.samples = MakePicture(48, 32, 3, seed).samples;
    if (name == "HEIC") return samples::MakeHeif(recipe, false);
    if (name == "AVIF") return samples::MakeAvif(recipe, false);
    return name == "WEBP" ? samples::MakeWebp(recipe) : samples::MakeJxl(recipe);
  }
  testing::TempDir dir;
  if (!WritePicture(MakePicture(48, 32, 3, seed), format, dir / "x")) return {};
  return ReadFile(dir / "x");
}

// A header that declares a picture of 100000 x 100000 pixels, per format.
std::string HugeHeader(const std::string& extension) {
  auto le32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  if (extension == "png") return testing::MakeHugeHeaderPng(100000, 100000);
  if (extension == "bmp")
    return "BM" + le32(1000) + le32(0) + le32(54) + le32(40) + le32(100000) + le32(100000) +
           std::string("\x01\x00\x18\x00", 4) + std::string(24, '\0') + std::string(64, 'x');
  if (extension == "gif")
    return std::string("GIF89a\xA0\x86\xA0\x86\x00\x00\x00,\0\0\0\0\xA0\x86\xA0\x86\0\x02\x02\x44\x01\0;", 30);
  if (extension == "pcx") {
    std::string header(128, '\0');
    header[0] = 10, header[1] = 5, header[2] = 1, header[3] = 8;
    header[8] = header[9] = header[10] = header[11] = '\x9F';  // xmax, ymax = 99999-ish
    header[8] = '\x9F', header[9] = '\x86', header[10] = '\x9F', header[11] = '\x86';
    header[65] = 3, header[66] = '\xA0', header[67] = '\x86';
    return header + std::string(100, '\x01');
  }
  if (extension == "tif" || extension == "tiff")
    return std::string("II*\0\x08\0\0\0\x03\0\0\x01\x04\0\x01\0\0\0\xA0\x86\x01\0"
                       "\x01\x01\x04\0\x01\0\0\0\xA0\x86\x01\0\x11\x01\x04\0\x01\0\0\0\x08\0\0\0"
                       "\0\0\0\0", 50);
  // JPEG: a start-of-frame declaring 65500 x 65500.
  return std::string("\xFF\xD8\xFF\xC0\x00\x11\x08\xFF\xDC\xFF\xDC\x03\x01\x22\x00\x02\x11\x01"
                     "\x03\x11\x01\xFF\xD9", 23);
}

// The decoder libraries' own messages (libjxl 0.7's debug traces among them) never reach
// the console's standard error, which scripts read as failure.
TEST(HostileInput, DamagedFilesOfEveryExtensionNeverStopTheOthers) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  const std::pair<const char*, const char*> kinds[] = {
      {"jpg", "JPEG"}, {"jpeg", "JPEG"}, {"gif", "GIF"},   {"png", "PNG"},   {"bmp", "BMP"},
      {"tif", "TIFF"}, {"tiff", "TIFF"}, {"pcx", "PCX"},   {"heic", "HEIC"}, {"heif", "HEIC"},
      {"avif", "AVIF"}, {"webp", "WEBP"}, {"jxl", "JXL"}};
  int good = 0;
  for (const auto& [extension, format] : kinds) {
    const std::string valid = Bytes(format, good);
    ASSERT_FALSE(valid.empty()) << format;
    const std::string prefix = in + "/" + extension + "-";
    WriteFile(prefix + "good." + extension, valid);
    ++good;
    for (size_t cut : {size_t{1}, size_t{8}, valid.size() / 3, valid.size() / 2, valid.size() - 3})
      WriteFile(prefix + "cut" + std::to_string(cut) + "." + extension, valid.substr(0, cut));
    std::string header = valid, data = valid;
    for (size_t i = 2; i < 12 && i < header.size(); ++i) header[i] = static_cast<char>(~header[i]);
    for (size_t i = data.size() / 2; i < data.size() / 2 + 16; ++i) data[i] = static_cast<char>(data[i] ^ 0x5A);
    WriteFile(prefix + "header." + extension, header);
    WriteFile(prefix + "data." + extension, data);
    WriteFile(prefix + "empty." + extension, "");
    WriteFile(prefix + "text." + extension, "This is a text file, not a picture.\n");
    WriteFile(prefix + "huge." + extension, HugeHeader(extension));
  }

  const auto start = std::chrono::steady_clock::now();
  testing::RunOptions options;
  options.separateErrors = true;
  const RunResult run = program.Start({"-i", in}, options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.errors, "");
  const auto pdf = ReadPdf(in + ".pdf");
  // Every good file has its page; a damaged one either decodes or is reported.
  EXPECT_GE(static_cast<int>(pdf.pages.size()), good);
  EXPECT_EQ(static_cast<int>(pdf.pages.size()), Count(run, "INFO: add page "));
  EXPECT_EQ(Count(run, "INFO: start load image file "),
            Count(run, "INFO: add page ") + Count(run, "WARNING: cannot load image file "));
  // Empty, text and gigantic files never make a page.
  for (const char* kind : {"-empty.", "-text.", "-huge."}) {
    for (const auto& [extension, format] : kinds) {
      const std::string prefix = "WARNING: cannot load image file " + Program::StagingFolderOf(run);
      const std::string staged = std::string("-") + extension + kind + extension;
      bool reported = false;
      for (const std::string& line : run.lines)
        reported =
            reported || (line.rfind(prefix, 0) == 0 && line.size() >= staged.size() &&
                         line.compare(line.size() - staged.size(), staged.size(), staged) == 0);
      EXPECT_TRUE(reported) << staged;
    }
  }
  EXPECT_TRUE(program.StagingEntries().empty());
}

TEST(HostileInput, ThingsThatAreNotRegularFilesAreSkipped) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  ASSERT_TRUE(WritePicture(MakePicture(20, 10, 3, 1), "PNG", in + "/a.png"));
  ASSERT_TRUE(WritePicture(MakePicture(20, 10, 3, 2), "PNG", program.dir() / "target.png"));
  mkdir((in + "/folder.jpg").c_str(), 0755);
  mkfifo((in + "/pipe.jpg").c_str(), 0644);
  ASSERT_EQ(symlink("/no/such/file.png", (in + "/dangling.png").c_str()), 0);
  ASSERT_EQ(symlink((in + "/loop2.png").c_str(), (in + "/loop1.png").c_str()), 0);
  ASSERT_EQ(symlink((in + "/loop1.png").c_str(), (in + "/loop2.png").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", (in + "/zero.bmp").c_str()), 0);
  ASSERT_EQ(symlink((program.dir() / "target.png").c_str(), (in + "/link.png").c_str()), 0);

  const auto start = std::chrono::steady_clock::now();
  const RunResult run = program.Start({"-i", in});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadPdf(in + ".pdf").pages.size(), 2u);  // a.png and the file link.png points at
  EXPECT_TRUE(program.StagingEntries().empty());

  // The same things named directly as the input.
  for (const char* name : {"pipe.jpg", "dangling.png", "loop1.png", "zero.bmp"}) {
    const RunResult direct = program.Start({"-i", in + "/" + name, "-o", program.dir() / "x.pdf"});
    EXPECT_EQ(direct.status, 1) << name;
    EXPECT_EQ(direct.lines.back(), "ERROR: input file is invalid") << name;
  }

  // As the output, a link is written through and stays a link; a dangling one gets its
  // target made. A link used to be replaced by a plain file, its target keeping the old PDF.
  const std::string archive = program.dir() / "archive";
  mkdir(archive.c_str(), 0755);
  WriteFile(archive + "/2026.pdf", "old");
  const std::string latest = program.dir() / "latest.pdf", chain = program.dir() / "chain.pdf";
  ASSERT_EQ(symlink("archive/2026.pdf", latest.c_str()), 0);
  ASSERT_EQ(symlink("latest.pdf", chain.c_str()), 0);
  ASSERT_EQ(symlink((archive + "/new.pdf").c_str(), (program.dir() / "fresh.pdf").c_str()), 0);
  for (const std::string& link : {latest, chain, program.dir() / "fresh.pdf"}) {
    const RunResult run = program.Start({"-i", in + "/a.png", "-o", link});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << link;
    EXPECT_EQ(ReadPdf(link).pages.size(), 1u) << link;
  }
  EXPECT_EQ(ReadPdf(archive + "/2026.pdf").pages.size(), 1u);
  EXPECT_EQ(ReadPdf(archive + "/new.pdf").pages.size(), 1u);

  // A FIFO, a device, a link to one, a folder or a link loop is refused before any staging
  // and left as it was; a FIFO is never opened (that would block).
  ASSERT_EQ(symlink((in + "/pipe.jpg").c_str(), (program.dir() / "to-pipe.pdf").c_str()), 0);
  std::vector<std::pair<std::string, int>> refused = {{in + "/pipe.jpg", EINVAL},
                                                      {program.dir() / "to-pipe.pdf", EINVAL},
                                                      {in + "/folder.jpg", EISDIR},
                                                      {in + "/loop1.png", ELOOP}};
  if (geteuid() == 0 && mknod((program.dir() / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    refused.push_back({program.dir() / "null", EINVAL});
  for (const auto& [place, error] : refused) {
    struct stat before, after;
    ASSERT_EQ(lstat(place.c_str(), &before), 0);
    const RunResult run = program.Start({"-i", in + "/a.png", "-o", place});
    EXPECT_EQ(run.status, 1) << place;
    EXPECT_EQ(
        std::vector<std::string>(run.lines.end() - 2, run.lines.end()),
        (std::vector<std::string>{"WARNING: error_no=1017, detail_no=" + std::to_string(error),
                                  "ERROR: cannot save PDF to file " + place}));
    EXPECT_EQ(Count(run, "INFO: load images files from directory"), 0) << place;
    ASSERT_EQ(lstat(place.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}

TEST(HostileInput, OddNamesWork) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  const std::string names[] = {"with blanks .png", "gr\xC3\xBC\xC3\x9F" "e.png", "bad\xFF\xFE.png",
                               "-starts-with-dash.png", std::string(250, 'n') + ".png"};
  uint32_t seed = 0;
  for (const std::string& name : names)
    ASSERT_TRUE(WritePicture(MakePicture(16, 16, 3, seed++), "PNG", in + "/" + name)) << name;
  const RunResult run = program.Start({"-i", in});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadPdf(in + ".pdf").pages.size(), 5u);

  // A deep folder whose path is longer than most tools expect.
  std::string deep = program.dir() / "d";
  for (int level = 0; level < 30; ++level) deep += "/" + std::string(60, 'a' + level % 26);
  std::filesystem::create_directories(deep);
  ASSERT_TRUE(WritePicture(MakePicture(16, 16, 3, 9), "PNG", deep + "/p.png"));
  const RunResult deepRun = program.Start({"-i", deep});
  EXPECT_EQ(deepRun.status, 0) << deepRun.output;
  EXPECT_EQ(ReadPdf(deep + ".pdf").pages.size(), 1u);

  const RunResult dash = program.Start({"-i", in + "/-starts-with-dash.png", "-o", program.dir() / "-out.pdf"});
  EXPECT_EQ(dash.status, 0);
  EXPECT_TRUE(FileExists(program.dir() / "-out.pdf"));

  // Names at the file system's limit: temporary and staged names used to add suffixes.
  const std::string longest = program.dir() / "longest";
  mkdir(longest.c_str(), 0755);
  ASSERT_TRUE(WritePicture(MakePicture(16, 16, 3, 1), "JPEG",
                           longest + "/" + std::string(251, 'j') + ".jpg"));
  ASSERT_TRUE(WritePicture(MakePicture(16, 16, 3, 2), "BMP",
                           longest + "/" + std::string(251, 'j') + ".bmp"));
  const RunResult longRun = program.Start({"-i", longest});
  EXPECT_EQ(longRun.status, 0) << longRun.output;
  EXPECT_EQ(ReadPdf(longest + ".pdf").pages.size(), 2u);
  const RunResult single = program.Start({"-i", longest + "/" + std::string(251, 'j') + ".jpg"});
  EXPECT_EQ(single.status, 0) << single.output;
  EXPECT_TRUE(FileExists(longest + "/" + std::string(251, 'j') + ".pdf"));
  // A folder name with no room left for ".pdf" fails before staging.
  const std::string full = program.dir() / std::string(253, 'f');
  mkdir(full.c_str(), 0755);
  ASSERT_TRUE(WritePicture(MakePicture(16, 16, 3, 1), "PNG", full + "/a.png"));
  const RunResult tooLong = program.Start({"-i", full});
  EXPECT_EQ(tooLong.status, 1);
  EXPECT_EQ(tooLong.lines,
            testing::WithBanner({"WARNING: error_no=1017, detail_no=36",
                                 "ERROR: cannot save PDF to file " + full + ".pdf"}));

  // Pages follow the sources' byte order whatever their staged names become.
  const std::string order = program.dir() / "order";
  mkdir(order.c_str(), 0755);
  const std::pair<const char*, uint32_t> files[] = {
      {"a.bmp", 11}, {"a.jpg", 12}, {"photo.jpg", 13}, {"photo.large.png", 14}};
  for (const auto& [name, width] : files)
    ASSERT_TRUE(WritePicture(MakePicture(width, 8, 3, 1),
                             std::string(name).find(".png") != std::string::npos   ? "PNG"
                             : std::string(name).find(".bmp") != std::string::npos ? "BMP"
                                                                                   : "JPEG",
                             order + "/" + name));
  ASSERT_EQ(program.Start({"-i", order}).status, 0);
  const auto pages = ReadPdf(order + ".pdf").pages;
  ASSERT_EQ(pages.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(pages[i].image.width, static_cast<int>(files[i].second));

  // Folder names that are only dots and slashes name the folder, not a hidden file in it.
  testing::RunOptions inOrder;
  inOrder.cwd = order;
  for (const char* input : {".", "./", ".//."}) {
    std::filesystem::remove(order + ".pdf");
    EXPECT_EQ(program.Start({"-i", input}, inOrder).status, 0) << input;
    EXPECT_TRUE(FileExists(order + ".pdf")) << input;
    EXPECT_FALSE(FileExists(order + "/..pdf")) << input;
  }
  testing::RunOptions inProgram;
  inProgram.cwd = program.dir().path();
  ASSERT_TRUE(WritePicture(MakePicture(16, 16, 3, 3), "PNG", program.dir() / "top.png"));
  for (const char* input : {"order//", "order/.", "longest/.."}) {
    const std::string expected =
        std::string(input) == "longest/.."
            ? program.dir().path().substr(0, program.dir().path().size() - 1) + ".pdf"
            : program.dir() / "order.pdf";
    std::filesystem::remove(expected);
    EXPECT_EQ(program.Start({"-i", input}, inProgram).status, 0) << input;
    EXPECT_TRUE(FileExists(expected)) << input;
    std::filesystem::remove(expected);
  }
  // The root folder has no name to give an output.
  const RunResult root = program.Start({"-i", "/"});
  EXPECT_EQ(root.status, 1);
  EXPECT_EQ(root.lines.back(), "ERROR: input file is invalid");
}

// A rewrite of an interlaced PNG below 8 bits wrote its rows' padding bits from whatever the
// heap held, so the same inputs gave different PDFs.
TEST(HostileInput, SameInputsGiveTheSamePdfWhateverTheHeapHeld) {
  Program program;
  const std::string in = program.dir() / "in";
  mkdir(in.c_str(), 0755);
  for (int bits : {1, 2, 4}) {
    testing::PngSpec recipe;
    recipe.width = 13, recipe.height = 7, recipe.bitDepth = bits, recipe.interlaced = true;
    recipe.colourType = bits == 4 ? 3 : 0;
    if (bits == 4) recipe.palette = {0, 0, 0, 90, 10, 10, 200, 0, 100, 255, 255, 255};
    WriteFile(in + "/interlaced-" + std::to_string(bits) + ".png", testing::MakePng(recipe));
  }
  const std::string jpeg = Bytes("JPEG", 3);
  WriteFile(in + "/turned.jpg", testing::InsertAfterSoi(jpeg, testing::ExifSegment(6)));
  testing::GifRecipe gif{8, 6, 2, 1, 3, 2, true, 1, {255, 0, 0, 0, 0, 255}, {0, 1, 0, 1, 0, 1}};
  WriteFile(in + "/screen.gif", testing::MakeGif(gif));

  std::string first;
  for (const char* fill : {"1", "170"}) {
    testing::RunOptions options;
    // AddressSanitizer ignores MALLOC_PERTURB_ and fills fresh memory itself.
    options.environment = {std::string("MALLOC_PERTURB_=") + fill,
                           std::string("ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:"
                                       "max_malloc_fill_size=100000000:malloc_fill_byte=") +
                               fill};
    const std::string output = program.dir() / (std::string("out-") + fill + ".pdf");
    ASSERT_EQ(program.Start({"-i", in, "-o", output}, options).status, 0);
    const std::string written = ReadFile(output);
    EXPECT_EQ(ReadPdf(output).pages.size(), 5u);
    if (first.empty())
      first = written;
    else
      EXPECT_TRUE(written == first) << "the two PDFs differ";
  }
}

}  // namespace
}  // namespace brannock
