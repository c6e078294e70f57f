// The windowed program's application object: runs the main dialog and ends with it.
#pragma once

#include <QApplication>
#include <string>
#include <vector>

class CBrannockApp {
 public:
  CBrannockApp(int& argc, char** argv);
  /// Runs the main dialog modally, with the files and folders named on the command line
  /// in its list; returns the program's exit status when it closes.
  int InitInstance();

 private:
  QApplication m_application;
  std::vector<std::string> m_arguments;
};
