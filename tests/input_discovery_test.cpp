#include "input_discovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace brannock {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(CollectImagesInFolder, GroupsByExtensionThenSortsByFullPath) {
  TempDir dir;
  for (const char* name : {"b.png", "a.JPG", "c.jpeg", "notes.txt", "x.jpg.bak", "scan.tif",
                           "scan.tiff", ".jpg", "noext", "web.WebP", "phone.HEIC", "art.jxl",
                           "s.avif", "burst.heif", "x.heic.txt"})
    WriteFile(dir / name, "x");
  mkdir((dir / "album.jpg").c_str(), 0755);
  WriteFile(dir / "album.jpg/inner.jpg", "x");

  PathList list = {"left over"};
  CollectImagesInFolder(dir.path(), list);
  // Groups in the order of the accepted extensions; within a group, the disk's order.
  // The five formats of today come after the eight.
  ASSERT_EQ(list.size(), 12u);
  EXPECT_EQ(PathList(list.begin(), list.begin() + 3).size(), 3u);
  EXPECT_EQ(list[3], dir / "c.jpeg");
  EXPECT_EQ(list[4], dir / "b.png");
  EXPECT_EQ(list[5], dir / "scan.tif");
  EXPECT_EQ(list[6], dir / "scan.tiff");
  EXPECT_EQ(PathList(list.begin() + 7, list.end()),
            (PathList{dir / "phone.HEIC", dir / "burst.heif", dir / "s.avif", dir / "web.WebP",
                      dir / "art.jxl"}));

  SortPathList(list, SortOrder::kAscending);
  EXPECT_EQ(list, (PathList{dir / ".jpg", dir / "a.JPG", dir / "album.jpg", dir / "art.jxl",
                            dir / "b.png", dir / "burst.heif", dir / "c.jpeg", dir / "phone.HEIC",
                            dir / "s.avif", dir / "scan.tif", dir / "scan.tiff", dir / "web.WebP"}));
}

TEST(CollectImagesInFolder, FolderSpellingsGiveTheSameAbsolutePaths) {
  TempDir dir;
  mkdir((dir / "in").c_str(), 0755);
  WriteFile(dir / "in/a.png", "x");
  PathList plain, slashed, messy, relative;
  CollectImagesInFolder(dir / "in", plain);
  CollectImagesInFolder(dir / "in/", slashed);
  CollectImagesInFolder(dir.path() + "/./in//../in", messy);
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  CollectImagesInFolder("in", relative);
  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);
  const PathList expected = {dir / "in/a.png"};
  EXPECT_EQ(plain, expected);
  EXPECT_EQ(slashed, expected);
  EXPECT_EQ(messy, expected);
  EXPECT_EQ(relative, expected);

  PathList none = {"left over"};
  CollectImagesInFolder(dir / "missing", none);
  EXPECT_TRUE(none.empty());
  CollectImagesInFolder("", none);
  EXPECT_TRUE(none.empty());
}

TEST(FindFilesWithExtension, AnyExtensionListsEveryEntryAndAppends) {
  TempDir dir;
  for (const char* name : {"a.png", "b", "c.txt"}) WriteFile(dir / name, "x");
  PathList list = {"kept"};
  FindFilesWithExtension(dir.path(), kAnyExtension, list);
  SortPathList(list, SortOrder::kAscending);
  EXPECT_EQ(list, (PathList{dir / "a.png", dir / "b", dir / "c.txt", "kept"}));
}

TEST(SortPathList, BytewiseOrderInBothDirections) {
  PathList list = {"/p/apple.jpg", "/p/Zebra.jpg", "/p/b10.jpg", "/p/b9.jpg", "/p/é.jpg",
                   "/p/e.jpg", "/p/b.jpg"};
  SortPathList(list, SortOrder::kAscending);
  const PathList ascending = {"/p/Zebra.jpg", "/p/apple.jpg", "/p/b.jpg", "/p/b10.jpg",
                              "/p/b9.jpg", "/p/e.jpg", "/p/é.jpg"};
  EXPECT_EQ(list, ascending);
  SortPathList(list, SortOrder::kDescending);
  EXPECT_EQ(list, PathList(ascending.rbegin(), ascending.rend()));

  EXPECT_LT(ComparePaths("/p/a", "/p/a.jpg"), 0);
  EXPECT_GT(ComparePaths("/p/\xC3\xA9", "/p/z"), 0);  // UTF-8 bytes above ASCII sort last
  EXPECT_EQ(ComparePaths("/p/a", "/p/a"), 0);
  PathList empty;
  SortPathList(empty, SortOrder::kAscending);
  EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace brannock
