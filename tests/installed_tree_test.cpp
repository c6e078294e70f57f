// The programs as a package installs them: a tree made by `cmake --install` with DESTDIR,
// run by root and by a user who cannot write the programs' folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "sample_images.h"
#include "test_support.h"

namespace brannock {
namespace {

using testing::FileExists;
using testing::ReadPdf;

// Runs `argv` with `environment` only, as `user` when it is not null; the exit status.
int RunAs(const passwd* user, const std::vector<std::string>& argv,
          const std::vector<std::string>& environment) {
  const pid_t child = fork();
  if (child == 0) {
    if (user && (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)) _exit(97);
    std::vector<char*> args, env;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    for (const std::string& setting : environment)
      env.push_back(const_cast<char*>(setting.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    execve(args[0], args.data(), env.data());
    _exit(98);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(InstalledTree, NeverWritesBesideItselfAndUsesTheUsersFolders) {
  testing::TempDir dir;
  const std::string root = dir.path().substr(0, dir.path().size() - 1);
  chmod(root.c_str(), 0755);
  const std::string install =
      "DESTDIR=" + root + " " CMAKE_COMMAND " --install " BUILD_DIR " --prefix /usr >/dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0);
  const std::string bin = root + "/usr/bin/";
  for (const std::string file :
       {"bin/brannock", "share/man/man1/brannock.1.gz", "share/doc/brannock/copyright"})
    EXPECT_TRUE(FileExists(root + "/usr/" + file)) << file;

  const std::string pictures = root + "/pictures";
  mkdir(pictures.c_str(), 0755);
  ASSERT_TRUE(
      samples::WritePicture(samples::MakePicture(20, 10, 3, 1), "JPEG", pictures + "/a.jpg"));

  // As whoever runs the tests, with the tree counted as a system folder: settings and
  // staging go to the user's folders even when the program's folder could be written.
  const std::string home = root + "/home";
  mkdir(home.c_str(), 0755);
  const std::vector<std::string> environment = {"HOME=" + home, "PATH=/usr/bin:/bin",
                                                "BRANNOCK_SYSTEM_PREFIXES=" + root + "/usr/"};
  EXPECT_EQ(RunAs(nullptr, {bin + "brannock", "-i", pictures + "/a.jpg", "-o", home + "/a.pdf"},
                  environment),
            0);
  EXPECT_EQ(ReadPdf(home + "/a.pdf").pages.size(), 1u);
  EXPECT_FALSE(FileExists(bin + "tmp"));
  EXPECT_TRUE(std::filesystem::is_directory(home + "/.cache/brannock/tmp"));
  EXPECT_TRUE(std::filesystem::is_empty(home + "/.cache/brannock/tmp"));

  // As a user who cannot write the programs' folder.
  const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
  if (!nobody) GTEST_SKIP() << "needs root and the user nobody";
  const std::string userHome = root + "/nobody";
  mkdir(userHome.c_str(), 0755);
  ASSERT_EQ(chown(userHome.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_EQ(RunAs(nobody, {bin + "brannock", "-i", pictures, "-o", userHome + "/all.pdf"},
                  {"HOME=" + userHome, "PATH=/usr/bin:/bin"}),
            0);
  EXPECT_EQ(ReadPdf(userHome + "/all.pdf").pages.size(), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(userHome + "/.cache/brannock/tmp"));
  EXPECT_FALSE(FileExists(bin + "tmp"));
}

}  // namespace
}  // namespace brannock
