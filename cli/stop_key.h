// The q key that stops a run, read from the terminal without waiting and without echo.
#pragma once

namespace brannock {

/// While it lives and standard input is a terminal in whose foreground the program runs,
/// the terminal is in non-canonical mode without echo; the previous mode comes back when it
/// goes, and RestoreTerminalMode() brings it back from a signal-handling thread. On anything
/// but a terminal, and in the background, it reads nothing.
class StopKey {
 public:
  StopKey();
  ~StopKey();
  StopKey(const StopKey&) = delete;
  StopKey& operator=(const StopKey&) = delete;

  /// Reads at most one pending key, without waiting; true only for a lower-case q. Keys
  /// typed before the run started are read by the first polls, one per poll.
  bool Pressed();
};

/// Puts back the terminal mode that StopKey found; safe to call from any thread at any time.
void RestoreTerminalMode();

}  // namespace brannock
