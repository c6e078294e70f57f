#include "brannock_app.h"

#include "artwork.h"
#include "brannock_dlg.h"
#include "image_file.h"

CBrannockApp::CBrannockApp(int& argc, char** argv) : m_application(argc, argv) {
  brannock::InitImageLibrary(argv[0]);
  QApplication::setApplicationName("brannock-gui");
  QApplication::setWindowIcon(brannock::ProgramIcon());
}

int CBrannockApp::InitInstance() {
  CBrannockDlg dialog;
  dialog.exec();
  return 0;
}
