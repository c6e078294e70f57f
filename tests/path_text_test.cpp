#include "path_text.h"

#include <gtest/gtest.h>

namespace brannock {
namespace {

TEST(PathText, FolderAndFileNameParts) {
  EXPECT_EQ(GetFolderPart("/a/b.jpg"), "/a/");
  EXPECT_EQ(GetFolderPart("b.jpg"), "");
  EXPECT_EQ(GetFolderPart("/a/"), "/a/");
  EXPECT_EQ(GetFileNamePart("/a/b.jpg"), "b.jpg");
  EXPECT_EQ(GetFileNamePart("/a/"), "");
  EXPECT_EQ(GetFileNamePart("b.jpg"), "");
  EXPECT_EQ(GetFileNamePart("/fotos/ähre böse.jpg"), "ähre böse.jpg");
}

TEST(PathText, StemStopsAtTheLastDotOfTheWholePath) {
  EXPECT_EQ(GetFileStem("/a/b.c.jpg"), "b.c");
  EXPECT_EQ(GetFileStem("/a.d/b"), "");  // the last dot lies in a folder name
  EXPECT_EQ(GetFileStem("/a/.jpg"), "");
  EXPECT_EQ(GetFileStem("/a/b"), "");
  EXPECT_EQ(GetFileStem("b.jpg"), "");
  EXPECT_EQ(GetFileStem("/a/photo."), "photo");
}

TEST(PathText, TrailingSlashAndExtension) {
  std::string path = "/a/";
  AddTrailingBackslash(path);
  EXPECT_EQ(path, "/a/");
  path = "/a";
  AddTrailingBackslash(path);
  EXPECT_EQ(path, "/a/");
  path.clear();
  AddTrailingBackslash(path);
  EXPECT_EQ(path, "/");

  EXPECT_TRUE(HasExtension("/x/scan.TIFF", "tiff"));
  EXPECT_FALSE(HasExtension("/x/scan.tiff", "tif"));
  EXPECT_FALSE(HasExtension("/x/a.jpg.bak", "jpg"));
  EXPECT_TRUE(HasExtension(".jpg", "jpg"));
  EXPECT_FALSE(HasExtension("/my.jpg/scan", "jpg"));
}

}  // namespace
}  // namespace brannock
