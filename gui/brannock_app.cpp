#include "brannock_app.h"

#include "artwork.h"
#include "brannock_dlg.h"
#include "image_file.h"

CBrannockApp::CBrannockApp(int& argc, char** argv) : m_application(argc, argv) {
  // Files and folders the desktop passes ("Open with", %F), kept as the bytes they are.
  for (int i = 1; i < argc; ++i) m_arguments.emplace_back(argv[i]);
  brannock::InitImageLibrary(argv[0]);
  QApplication::setApplicationName("brannock-gui");
  QApplication::setWindowIcon(brannock::ProgramIcon());
}

int CBrannockApp::InitInstance() {
  CBrannockDlg dialog;
  dialog.AddDroppedPaths(m_arguments);
  dialog.exec();
  return 0;
}
