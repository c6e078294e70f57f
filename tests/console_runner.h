// Runs a private copy of the console program and collects what it printed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace brannock::testing {

const std::vector<std::string> kBanner = {
    "INFO: brannock.dev", "INFO: https://brannock.dev/", "INFO: Tarnwell 2.06 started",
    "USAGE: brannock [-i infile] [options]...", "Press [q] to stop encoding"};

inline std::vector<std::string> WithBanner(std::vector<std::string> lines) {
  lines.insert(lines.begin(), kBanner.begin(), kBanner.end());
  return lines;
}

enum class Input { kNull, kPipe, kTerminal };

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string output;  // standard output, and standard error unless it was kept apart
  std::vector<std::string> lines;
  std::string errors;  // standard error, when RunOptions::separateErrors
  std::string pipeLeft;  // what stayed unread in a piped standard input
  struct termios terminalAfter {};
};

struct RunOptions {
  std::string cwd;
  std::vector<std::string> environment;  // NAME=value, added to ours
  Input input = Input::kNull;
  std::string typed;  // written to the pipe or terminal before the program starts
  struct termios terminal {};
  std::function<void(const std::string& output, pid_t child)> watch;
  bool separateErrors = false;  // standard error into RunResult::errors (not with kTerminal)
};

// A private copy of the program, so its staging root (program folder + "tmp/") is the test's.
class Program {
 public:
  Program() {
    mkdir((dir_ / "bin").c_str(), 0755);
    std::filesystem::copy_file(BRANNOCK_EXE, exe());
  }
  std::string exe() const { return dir_ / "bin/brannock"; }
  std::string stagingRoot() const { return dir_ / "bin/tmp/"; }
  const TempDir& dir() const { return dir_; }

  RunResult Start(const std::vector<std::string>& words, RunOptions options = {}) const {
    int pipeFds[2] = {-1, -1}, inputPipe[2] = {-1, -1}, errorPipe[2] = {-1, -1}, master = -1,
        slave = -1;
    if (options.separateErrors && options.input != Input::kTerminal) (void)!pipe(errorPipe);
    if (options.input == Input::kTerminal) {
      openpty(&master, &slave, nullptr, &options.terminal, nullptr);
      if (!options.typed.empty()) (void)!write(master, options.typed.data(), options.typed.size());
    } else {
      (void)!pipe(pipeFds);
      if (options.input == Input::kPipe) {
        (void)!pipe(inputPipe);
        (void)!write(inputPipe[1], options.typed.data(), options.typed.size());
      }
    }
    const pid_t child = fork();
    if (child == 0) {
      if (options.input == Input::kTerminal) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
      } else {
        dup2(pipeFds[1], 1);
        dup2(errorPipe[1] >= 0 ? errorPipe[1] : pipeFds[1], 2);
        if (options.input == Input::kPipe) {
          dup2(inputPipe[0], 0);
        } else {
          const int null = open("/dev/null", O_RDONLY);
          dup2(null, 0);
        }
      }
      if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(99);
      for (const std::string& setting : options.environment) putenv(strdup(setting.c_str()));
      std::vector<char*> argv = {const_cast<char*>("brannock")};
      for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(nullptr);
      execv(exe().c_str(), argv.data());
      _exit(98);
    }
    const int reader = options.input == Input::kTerminal ? master : pipeFds[0];
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    if (errorPipe[1] >= 0) close(errorPipe[1]);
    RunResult run;
    bool exited = false;
    int rawStatus = 0;
    while (true) {
      struct pollfd fds[2] = {{reader, POLLIN, 0}, {errorPipe[0], POLLIN, 0}};
      if (poll(fds, errorPipe[0] >= 0 ? 2 : 1, exited ? 0 : 50) > 0) {
        char buffer[4096];
        if (fds[1].revents & POLLIN) {
          const ssize_t got = read(errorPipe[0], buffer, sizeof buffer);
          if (got > 0) {
            run.errors.append(buffer, static_cast<size_t>(got));
            continue;
          }
        }
        const ssize_t got = (fds[0].revents & (POLLIN | POLLHUP)) ? read(reader, buffer, sizeof buffer) : 0;
        if (got > 0) {
          run.output.append(buffer, static_cast<size_t>(got));
          if (options.watch) options.watch(run.output, child);
          continue;
        }
      }
      if (exited) break;
      exited = waitpid(child, &rawStatus, WNOHANG) == child;
    }
    run.status = WIFEXITED(rawStatus) ? WEXITSTATUS(rawStatus) : 128 + WTERMSIG(rawStatus);
    if (options.input == Input::kTerminal) tcgetattr(slave, &run.terminalAfter);
    if (options.input == Input::kPipe) {
      close(inputPipe[1]);
      char buffer[256];
      const ssize_t got = read(inputPipe[0], buffer, sizeof buffer);
      if (got > 0) run.pipeLeft.assign(buffer, static_cast<size_t>(got));
      close(inputPipe[0]);
    }
    for (int fd : {reader, slave, errorPipe[0]}) if (fd >= 0) close(fd);
    std::istringstream text(run.output);
    for (std::string line; std::getline(text, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      run.lines.push_back(line);
    }
    return run;
  }

  // The staging folder a run used, from its "start load image file" lines.
  static std::string StagingFolderOf(const RunResult& run) {
    for (const std::string& line : run.lines) {
      const std::string prefix = "INFO: start load image file ";
      if (line.rfind(prefix, 0) == 0) {
        const std::string path = line.substr(prefix.size());
        return path.substr(0, path.rfind('/') + 1);
      }
    }
    return {};
  }

  std::vector<std::string> StagingEntries() const {
    std::vector<std::string> names;
    if (!FileExists(stagingRoot())) return {"<no staging root>"};
    for (const auto& entry : std::filesystem::directory_iterator(stagingRoot()))
      names.push_back(entry.path().filename().string());
    return names;
  }

 private:
  TempDir dir_;
};


}  // namespace brannock::testing
