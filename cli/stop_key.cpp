#include "stop_key.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

namespace brannock {

namespace {

struct termios g_savedMode;
std::atomic<bool> g_modeChanged{false};

}  // namespace

StopKey::StopKey() {
  // A run in the background must leave the terminal alone: changing its mode or reading
  // from it would stop the process (SIGTTOU, SIGTTIN).
  if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp() ||
      tcgetattr(STDIN_FILENO, &g_savedMode) != 0)
    return;
  struct termios mode = g_savedMode;
  mode.c_lflag &= ~(ICANON | ECHO);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  // TCSANOW, not TCSAFLUSH: keys typed before the run must stay pending.
  if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0) g_modeChanged = true;
}

StopKey::~StopKey() { RestoreTerminalMode(); }

bool StopKey::Pressed() {
  if (!g_modeChanged) return false;
  struct pollfd input = {STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, 0) <= 0 || !(input.revents & POLLIN)) return false;
  char key = 0;
  return read(STDIN_FILENO, &key, 1) == 1 && key == 'q';
}

void RestoreTerminalMode() {
  if (g_modeChanged.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
}

}  // namespace brannock
