// Takes the pictures of the main dialog that the README and the software centre show, and
// those a person checks after a change: after a run, after a one-image run, during a drop.
// Run under an X server (scripts/make-screenshots.sh starts Xvfb): the pictures are what
// the screen shows. Usage: dialog_screenshots <output folder>
#include <QApplication>
#include <QDragEnterEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>

#include "brannock_dlg.h"
#include "image_file.h"
#include "result_dlg.h"
#include "sample_images.h"

namespace {

// Waits for `ms` while the dialog's events go on.
void Pause(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool Shoot(QWidget* window, const std::string& path) {
  Pause(300);
  const QPixmap picture = window->screen()->grabWindow(window->winId());
  const bool saved = picture.save(QString::fromStdString(path), "PNG");
  std::printf("%s %s\n", saved ? "wrote" : "could not write", path.c_str());
  return saved;
}

void RunAndWait(CBrannockDlg& dialog) {
  QEventLoop loop;
  QObject::connect(&dialog, &CBrannockDlg::RunFinished, &loop, &QEventLoop::quit);
  dialog.OnConvert();
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: dialog_screenshots <output folder> [empty work folder]\n");
    return 2;
  }
  QApplication application(argc, argv);
  brannock::InitImageLibrary(argv[0]);
  const std::string out = std::string(argv[1]) + "/";
  // The pictures show the work folder's paths: a person's own folder where one is given.
  char pattern[] = "/tmp/brannock-shots-XXXXXX";
  if (argc == 2 && !mkdtemp(pattern)) return 1;
  const std::string work = std::string(argc == 3 ? argv[2] : pattern) + "/";
  const char* names[] = {"2026-03 invoice.jpg", "2026-04 invoice.jpg", "garden.png",
                         "receipt scan.tif", "whiteboard.bmp"};
  uint32_t seed = 1;
  for (const char* name : names) {
    const std::string path = work + name;
    const char* format = path.ends_with(".jpg")   ? "JPEG"
                         : path.ends_with(".png") ? "PNG"
                         : path.ends_with(".tif") ? "TIFF"
                                                  : "BMP";
    brannock::samples::WritePicture(brannock::samples::MakePicture(800, 600, 3, seed++), format,
                                    path);
  }

  // The run's result boxes are answered as a person would close them.
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [] {
    if (auto* result = qobject_cast<CDlgResult*>(QApplication::activeModalWidget()))
      result->reject();
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
  });
  closer.start(50);

  bool ok = true;
  {
    CBrannockDlg dialog(nullptr, {work + "settings.ini", work + "tmp/"});
    dialog.findChild<QLineEdit*>("outputEdit")->setText(QString::fromStdString(work + "scans.pdf"));
    std::vector<std::string> inputs;
    for (const char* name : names) inputs.push_back(work + name);
    dialog.AddDroppedPaths(inputs);
    dialog.show();
    RunAndWait(dialog);
    ok = Shoot(&dialog, out + "brannock-gui.png") && ok;

    // One image: the bar must rest at its start, not run a busy animation.
    dialog.OnRemoveAll();
    dialog.AddDroppedPaths({work + "garden.png"});
    RunAndWait(dialog);
    ok = Shoot(&dialog, out + "one-image-run.png") && ok;

    // A drop on its way: the list shows with its frame that it takes what is carried.
    QMimeData mime;
    mime.setData("text/uri-list",
                 QByteArray("file://") + (work + "whiteboard.bmp").c_str() + "\r\n");
    QWidget* viewport = dialog.findChild<QTreeWidget*>("inputList")->viewport();
    QDragEnterEvent enter(QPoint(40, 40), Qt::CopyAction, &mime, Qt::LeftButton, {});
    QApplication::sendEvent(viewport, &enter);
    ok = Shoot(&dialog, out + "drop-in-progress.png") && ok;
    QDragLeaveEvent leave;
    QApplication::sendEvent(viewport, &leave);
  }
  std::filesystem::remove_all(work);
  return ok ? 0 : 1;
}
