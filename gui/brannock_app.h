// The windowed program's application object: runs the main dialog and ends with it.
#pragma once

#include <QApplication>

class CBrannockApp {
 public:
  CBrannockApp(int& argc, char** argv);
  /// Runs the main dialog modally; returns the program's exit status when it closes.
  int InitInstance();

 private:
  QApplication m_application;
};
