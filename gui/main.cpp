// brannock-gui: collect images, convert them into PDFs, open the results.
#include "brannock_app.h"

int main(int argc, char** argv) {
  CBrannockApp application(argc, argv);
  return application.InitInstance();
}
