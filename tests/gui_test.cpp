// The windowed program under Qt Test, offscreen: start-up, input list, runs, result and
// About boxes, the link.
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "about_dlg.h"
#include "brannock_dlg.h"
#include "conversion_workers.h"
#include "hyperlink.h"
#include "image_staging.h"
#include "input_list.h"
#include "picture_makers.h"
#include "result_dlg.h"
#include "sample_images.h"
#include "settings_store.h"
#include "test_support.h"

using namespace brannock;
using brannock::testing::ReadFile;
using brannock::testing::TempDir;
using brannock::testing::WriteFile;

namespace {

class FakeChooser : public FileChooser {
 public:
  QStringList files;
  QString folder;
  QString savePath;
  QString lastInitial;
  QStringList OpenFiles(QWidget*, const QString& initial, const QString&) override {
    lastInitial = initial;
    return files;
  }
  QString Folder(QWidget*, const QString&, const QString& initial) override {
    lastInitial = initial;
    return folder;
  }
  QString SavePdf(QWidget*, const QString& initial) override {
    lastInitial = initial;
    return savePath;
  }
};

// Answers the modal boxes a run shows, and keeps what they said.
class ModalCloser : public QObject {
 public:
  QStringList messages;
  QList<QStringList> results;
  ModalCloser() {
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        messages << box->text();
        box->accept();
      } else if (auto* result = qobject_cast<CDlgResult*>(modal)) {
        QStringList names;
        auto* list = result->findChild<QListWidget*>("m_lstFiles");
        for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
        results << names;
        result->reject();
      }
    });
    timer_.start(10);
  }

 private:
  QTimer timer_;
};

class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened << url; }
};

// A gate a worker waits at until the test opens it.
class Gate {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_ = true;
    changed_.wait(lock, [this] { return open_; });
  }
  bool Arrived() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrived_;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool arrived_ = false;
  bool open_ = false;
};

QStringList Column(QTreeWidget* list, int column) {
  QStringList texts;
  for (int row = 0; row < list->topLevelItemCount(); ++row)
    texts << list->topLevelItem(row)->text(column);
  return texts;
}

QByteArray FileUrl(const std::string& path) {
  return "file://" + QByteArray::fromStdString(path).toPercentEncoding("/");
}

// Sends a drag entering the list and a drop on it; whether each was accepted.
std::pair<bool, bool> DropOn(QWidget* target, const QByteArray& uriList) {
  QMimeData mime;
  mime.setData("text/uri-list", uriList);
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
  QApplication::sendEvent(target, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
  QApplication::sendEvent(target, &drop);
  return {enter.isAccepted(), drop.isAccepted()};
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(folder)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace

class GuiTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<CBrannockDlg> dialog_;
  FakeChooser* chooser_ = nullptr;
  UrlRecorder urls_;

  DialogPaths Paths() const { return {*dir_ / "settings.ini", *dir_ / "tmp/"}; }
  template <typename T>
  T* Find(const char* name) {
    T* widget = dialog_->findChild<T*>(name);
    if (!widget) qFatal("no control %s", name);
    return widget;
  }
  CBrannockDlg& Open() {
    dialog_ = std::make_unique<CBrannockDlg>(nullptr, Paths());
    auto chooser = std::make_unique<FakeChooser>();
    chooser_ = chooser.get();
    dialog_->SetFileChooser(std::move(chooser));
    return *dialog_;
  }
  std::string Image(const std::string& name, const char* format = "PNG", uint32_t seed = 1) {
    const std::string path = *dir_ / name;
    if (!samples::WritePicture(samples::MakePicture(40, 30, 3, seed), format, path))
      qFatal("cannot write %s", path.c_str());
    return path;
  }
  // A TIFF of `pages` pages, 40 pixels wide and 30 + page tall.
  std::string Document(const std::string& name, int pages) {
    std::vector<brannock::testing::TiffPage> images;
    for (int page = 0; page < pages; ++page) {
      brannock::testing::TiffRecipe recipe{40, uint32_t(30 + page), 1, 8, false, 0, {}, 0, false,
                                           {}};
      recipe.samples.assign(40 * size_t(30 + page), static_cast<uint8_t>(60 * page));
      images.push_back({recipe, false, false});
    }
    if (!brannock::testing::WriteTiffPages(*dir_ / name, images))
      qFatal("cannot write %s", name.c_str());
    return *dir_ / name;
  }
  void AddFiles(const std::vector<std::string>& paths) {
    chooser_->files.clear();
    for (const auto& path : paths) chooser_->files << QString::fromStdString(path);
    dialog_->OnAddFiles();
  }
  // Every position the progress bar takes from now on.
  QList<int> progress_;
  const QList<int>& RecordProgress() {
    progress_.clear();
    connect(Find<QProgressBar>("progressBar"), &QProgressBar::valueChanged,
            [this](int value) { progress_ << value; });
    return progress_;
  }
  // Runs Convert and waits until the worker has ended.
  void ConvertAndWait() {
    QSignalSpy finished(dialog_.get(), &CBrannockDlg::RunFinished);
    dialog_->OnConvert();
    QVERIFY(finished.wait(30000));
  }

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>();
    QDesktopServices::setUrlHandler("file", &urls_, "open");
    QDesktopServices::setUrlHandler("https", &urls_, "open");
    urls_.opened.clear();
    g_arrProducedPdfs.clear();
  }
  void cleanup() {
    dialog_.reset();
    QDesktopServices::unsetUrlHandler("file");
    QDesktopServices::unsetUrlHandler("https");
    dir_.reset();
  }

  void firstStartUsesDefaultsAndStoresThem() {
    Open();
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QCOMPARE(Find<QLineEdit>("outputEdit")->text(), documents + "/output.pdf");
    QVERIFY(Find<QRadioButton>("consolidatedRadio")->isChecked());
    QVERIFY(Find<QLineEdit>("outputEdit")->isEnabled());
    QVERIFY(Find<QTreeWidget>("infoList")->isHidden());
    QCOMPARE(QString::fromStdString(ReadFile(*dir_ / "settings.ini")),
             "[Settings]\r\nLastOutputPDF=" + documents + "/output.pdf\r\nOnRadioEvery=0\r\n");
    QCOMPARE(Find<QTreeWidget>("inputList")->headerItem()->text(0), QString("Input Files"));
    QCOMPARE(Find<QTreeWidget>("inputList")->headerItem()->text(1), QString("Status"));
  }

  void storedSettingsDecideTheStart() {
    WriteFile(*dir_ / "settings.ini",
              "[Settings]\r\nINFC_LOG=ON\r\nOnRadioEvery=1\r\nLastOutputPDF=/x/y.pdf\r\n");
    Open();
    QVERIFY(!Find<QTreeWidget>("infoList")->isHidden());
    QVERIFY(Find<QRadioButton>("separateRadio")->isChecked());
    QVERIFY(!Find<QLineEdit>("outputEdit")->isEnabled());
    QVERIFY(Find<QPushButton>("browseOutputButton")->isEnabled());
    QCOMPARE(Find<QLineEdit>("outputEdit")->text(), QString("/x/y.pdf"));

    QVERIFY(!Find<QCheckBox>("keepJpegCheck")->isChecked());

    WriteFile(*dir_ / "settings.ini",
              "[Settings]\r\nINFC_LOG=on\r\nOnRadioEvery=2\r\nKeepJpeg=1\r\n");
    Open();
    QVERIFY(Find<QCheckBox>("keepJpegCheck")->isChecked());
    QTest::mouseClick(Find<QCheckBox>("keepJpegCheck"), Qt::LeftButton);
    QCOMPARE(ReadSetting("KeepJpeg"), std::string("0"));
    QVERIFY(Find<QTreeWidget>("infoList")->isHidden());
    QVERIFY(Find<QRadioButton>("consolidatedRadio")->isChecked());
    QCOMPARE(ReadSetting("OnRadioEvery"), std::string("0"));

    // Every change of the output field is stored at once, also the empty text.
    QLineEdit* output = Find<QLineEdit>("outputEdit");
    output->clear();
    QTest::keyClicks(output, "/o.pd");
    QCOMPARE(ReadSetting("LastOutputPDF"), std::string("/o.pd"));
    output->clear();
    QCOMPARE(ReadSetting("LastOutputPDF"), std::string());
    QTest::mouseClick(Find<QRadioButton>("separateRadio"), Qt::LeftButton);
    QCOMPARE(ReadSetting("OnRadioEvery"), std::string("1"));
    QVERIFY(!output->isEnabled());

    chooser_->savePath = "/chosen/out.pdf";
    dialog_->OnBrowseOutput();
    QCOMPARE(output->text(), QString("/chosen/out.pdf"));
    QCOMPARE(ReadSetting("LastOutputPDF"), std::string("/chosen/out.pdf"));
    chooser_->savePath.clear();
    dialog_->OnBrowseOutput();
    QCOMPARE(chooser_->lastInitial, QString("/chosen/out.pdf"));
    QCOMPARE(output->text(), QString("/chosen/out.pdf"));
  }

  void insertPathKeepsRowsSortedWithoutDuplicates() {
    Open();
    QTreeWidget* list = Find<QTreeWidget>("inputList");
    std::vector<std::string> paths;
    for (const char* path :
         {"/p/c.jpg", "/p/d.jpg", "/p/a.jpg", "/p/b.jpg", "/p/a.jpg", "/p/A.jpg", "/q", "/o/b.jpg"})
      InsertPath(list, path, paths);
    QCOMPARE(Column(list, 0), QStringList({"b.jpg", "A.jpg", "a.jpg", "b.jpg", "c.jpg", "d.jpg"}));
    QCOMPARE(paths, std::vector<std::string>(
                        {"/p/c.jpg", "/p/d.jpg", "/p/a.jpg", "/p/b.jpg", "/p/A.jpg", "/o/b.jpg"}));
    QList<qulonglong> data;
    for (int row = 0; row < list->topLevelItemCount(); ++row)
      data << list->topLevelItem(row)->data(0, Qt::UserRole).toULongLong();
    QCOMPARE(data, QList<qulonglong>({5, 4, 2, 3, 0, 1}));
  }

  void addFilesAddFolderAndRemoveAll() {
    Open();
    QTreeWidget* list = Find<QTreeWidget>("inputList");
    AddFiles({*dir_ / "z.png", *dir_ / "b.png", *dir_ / "m.png"});
    QCOMPARE(Column(list, 0), QStringList({"b.png", "m.png", "z.png"}));
    QCOMPARE(ReadSetting("AddfilesPath"), *dir_ / "b.png");
    AddFiles({});  // cancelled
    QCOMPARE(ReadSetting("AddfilesPath"), *dir_ / "b.png");
    AddFiles({*dir_ / "c.png"});
    QCOMPARE(chooser_->lastInitial, QString::fromStdString(*dir_ / "b.png"));

    std::filesystem::create_directory(*dir_ / "in");
    for (const char* name : {"x.jpg", "y.jpeg", "z.txt"})
      WriteFile(*dir_ / ("in/" + std::string(name)), "x");
    chooser_->folder = QString::fromStdString(*dir_ / "in");
    dialog_->OnAddFolder();
    QCOMPARE(Column(list, 0), QStringList({"b.png", "c.png", "x.jpg", "y.jpeg", "m.png", "z.png"}));
    QCOMPARE(ReadSetting("LastInput"), *dir_ / "in/");
    chooser_->folder.clear();
    dialog_->OnAddFolder();
    QCOMPARE(chooser_->lastInitial, QString::fromStdString(*dir_ / "in/"));
    QCOMPARE(list->topLevelItemCount(), 6);

    Find<QTreeWidget>("infoList")->addTopLevelItem(new QTreeWidgetItem({"note"}));
    QTest::mouseClick(Find<QPushButton>("removeAllButton"), Qt::LeftButton);
    QCOMPARE(list->topLevelItemCount(), 0);
    QCOMPARE(Find<QTreeWidget>("infoList")->topLevelItemCount(), 0);
    QVERIFY(dialog_->paths().empty());
    AddFiles({*dir_ / "q.png"});
    QCOMPARE(list->topLevelItem(0)->data(0, Qt::UserRole).toULongLong(), 0ull);
  }

  void resultDialogOpensTheSelectedPdfOrItsFolder() {
    g_arrProducedPdfs = {"/a/z.pdf", "/b/a.pdf"};
    CDlgResult result;
    auto* list = result.findChild<QListWidget*>("m_lstFiles");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->text(), QString("z.pdf"));
    QCOMPARE(list->item(1)->text(), QString("a.pdf"));
    QCOMPARE(list->currentRow(), 0);
    list->setCurrentRow(1);
    result.OnOK();
    result.OnOpenDirectory();
    QCOMPARE(urls_.opened,
             QList<QUrl>({QUrl::fromLocalFile("/b/a.pdf"), QUrl::fromLocalFile("/b/")}));
    result.show();
    QTest::keyClick(&result, Qt::Key_Return);
    QVERIFY(result.isVisible());
    QCOMPARE(urls_.opened.size(), 3);
    QTest::keyClick(&result, Qt::Key_Escape);
    QVERIFY(!result.isVisible());

    // Enter on a focused Close closes, on a focused Open Directory opens the folder: both
    // used to open the PDF.
    result.show();
    QTest::keyClick(result.findChild<QPushButton*>("openDirectoryButton"), Qt::Key_Return);
    QCOMPARE(urls_.opened.last(), QUrl::fromLocalFile("/b/"));
    QTest::keyClick(result.findChild<QPushButton*>("closeButton"), Qt::Key_Return);
    QVERIFY(!result.isVisible());
    QCOMPARE(urls_.opened.size(), 4);
    // With no entry selected (a Ctrl+click clears it), nothing opens.
    list->clearSelection();
    result.OnOK();
    result.OnOpenDirectory();
    QCOMPARE(urls_.opened.size(), 4);

    // A name that is not UTF-8 reaches the desktop byte for byte.
    g_arrProducedPdfs = {"/p/caf\xe9.pdf"};
    CDlgResult odd;
    odd.OnOK();
    QCOMPARE(urls_.opened.last().toEncoded(), QByteArray("file:///p/caf%E9.pdf"));
  }

  void separateRunConvertsEachImageBesideIt() {
    Open();
    Find<QRadioButton>("separateRadio")->click();
    AddFiles({Image("a.png"), *dir_ / "b.png", Image("c.jpg", "JPEG"), Image("d.gif", "GIF")});
    WriteFile(*dir_ / "b.png", "not an image");
    const QList<int>& progress = RecordProgress();
    ModalCloser closer;
    ConvertAndWait();
    QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1),
             QStringList({"Success", "Failed", "Success", "Success"}));
    QCOMPARE(progress, QList<int>({1, 2, 3, 0}));
    QCOMPARE(closer.results, QList<QStringList>({{"a.pdf", "c.pdf", "d.pdf"}}));
    const auto decoded = brannock::testing::ReadPdf(*dir_ / "c.pdf");
    QCOMPARE(decoded.pages.size(), 1u);
    QCOMPARE(decoded.pages[0].image.filter, std::string("/FlateDecode"));
    QVERIFY(Entries(*dir_ / "tmp").empty());

    // A multi-page TIFF gives one PDF with all its pages, and one status.
    dialog_->OnRemoveAll();
    AddFiles({Document("scan.tif", 3)});
    ConvertAndWait();
    QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1), QStringList({"Success"}));
    const auto scan = brannock::testing::ReadPdf(*dir_ / "scan.pdf");
    QCOMPARE(scan.pages.size(), 3u);
    QCOMPARE(scan.pages[2].image.height, 32);
    QVERIFY(Entries(*dir_ / "tmp").empty());
    QCOMPARE(Find<QLabel>("statusLabel")->text(), QString("Ready"));
    QVERIFY(!Find<QPushButton>("abortButton")->isEnabled());
    QVERIFY(Find<QPushButton>("convertButton")->isEnabled());
    QVERIFY(!Find<QLineEdit>("outputEdit")->isEnabled());
    QVERIFY(Find<QPushButton>("browseOutputButton")->isEnabled());

    // A one-image run left the bar busy: its range was 0..0, which Qt animates for ever.
    for (bool separate : {true, false}) {
      dialog_->OnRemoveAll();
      AddFiles({*dir_ / "a.png"});
      (separate ? Find<QRadioButton>("separateRadio") : Find<QRadioButton>("consolidatedRadio"))
          ->click();
      Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "one.pdf"));
      ConvertAndWait();
      QProgressBar* bar = Find<QProgressBar>("progressBar");
      QVERIFY(bar->maximum() > bar->minimum());
      QCOMPARE(bar->value(), 0);
    }

    // With the check box, a JPEG's page keeps its data, in both modes.
    QCheckBox* keep = Find<QCheckBox>("keepJpegCheck");
    QCOMPARE(keep->text(), QString("Keep JPEG photos as they are (smaller PDF)"));
    keep->click();
    QCOMPARE(ReadSetting("KeepJpeg"), std::string("1"));
    for (bool separate : {true, false}) {
      dialog_->OnRemoveAll();
      AddFiles({*dir_ / "c.jpg", *dir_ / "a.png"});
      (separate ? Find<QRadioButton>("separateRadio") : Find<QRadioButton>("consolidatedRadio"))
          ->click();
      Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "kept.pdf"));
      ConvertAndWait();
      const auto kept = brannock::testing::ReadPdf(*dir_ / (separate ? "c.pdf" : "kept.pdf"));
      QCOMPARE(kept.pages.size(), separate ? 1u : 2u);
      QCOMPARE(kept.pages.back().image.filter, std::string("/DCTDecode"));
      QVERIFY(Entries(*dir_ / "tmp").empty());
    }
  }

  void consolidatedRunMakesOnePdfInRowOrder() {
    Open();
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "all.pdf"));
    AddFiles({Image("c.png", "PNG", 3), Image("d.bmp", "BMP", 4)});
    AddFiles({Image("a.tif", "TIFF", 1), Image("b.pcx", "PCX", 2)});
    const QList<int>& progress = RecordProgress();
    ModalCloser closer;
    ConvertAndWait();
    QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1),
             QStringList({"Added", "Added", "Added", "Added"}));
    QCOMPARE(progress, QList<int>({1, 2, 3, 4, 5, 6, 0}));
    QCOMPARE(closer.results, QList<QStringList>({{"all.pdf"}}));
    const auto pdf = brannock::testing::ReadPdf(*dir_ / "all.pdf");
    QCOMPARE(pdf.pages.size(), 4u);
    // Pages follow the rows (a, b, c, d), not the order of addition.
    const auto first = samples::MakePicture(40, 30, 3, 1);
    QCOMPARE(pdf.pages[0].image.samples, std::string(first.samples.begin(), first.samples.end()));
    QVERIFY(Entries(*dir_ / "tmp").empty());
  }

  void earlyChecksShowMessagesAndChangeNothing() {
    Open();
    ModalCloser closer;
    ConvertAndWait();
    Find<QRadioButton>("separateRadio")->click();
    ConvertAndWait();
    QCOMPARE(closer.messages, QStringList({"Please add some image files first.",
                                           "Please add some image files first."}));
    Find<QRadioButton>("consolidatedRadio")->click();
    AddFiles({Image("a.png")});
    for (const QString& output : {QString(), QString::fromStdString(*dir_ / "no/such/out.pdf")}) {
      Find<QLineEdit>("outputEdit")->setText(output);
      dialog_->show();
      ConvertAndWait();
      QCOMPARE(closer.messages.last(), QString("Output PDF could not be created."));
      QCOMPARE(dialog_->focusWidget(), Find<QLineEdit>("outputEdit"));
      QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1), QStringList({""}));
      QVERIFY(Find<QPushButton>("convertButton")->isEnabled());
      QVERIFY(Find<QPushButton>("addFilesButton")->isEnabled());
    }
    QCOMPARE(closer.messages.size(), 4);
  }

  void abortDuringTheSecondOfFiveFiles() {
    Open();
    Find<QRadioButton>("separateRadio")->click();
    std::vector<std::string> images;
    for (int i = 0; i < 5; ++i) images.push_back(Image(std::to_string(i) + ".png", "PNG", i));
    AddFiles(images);
    Gate gate;
    int calls = 0;
    dialog_->converters().convertSingle = [&](const std::string& path, JpegHandling jpegs) {
      if (++calls == 2) gate.Arrive();
      return ConvertSingleImage(path, jpegs);
    };
    ModalCloser closer;
    QSignalSpy finished(dialog_.get(), &CBrannockDlg::RunFinished);
    dialog_->OnConvert();
    QVERIFY(!Find<QPushButton>("convertButton")->isEnabled());
    QTRY_VERIFY(gate.Arrived());
    QVERIFY(Find<QPushButton>("abortButton")->isEnabled());
    // Enter on the focused Abort aborts (it used to start nothing and abort nothing).
    Find<QPushButton>("abortButton")->setFocus();
    QTest::keyClick(Find<QPushButton>("abortButton"), Qt::Key_Return);
    QVERIFY(dialog_->runState() == RunState::kStopping);
    gate.Open();
    QVERIFY(finished.wait(30000));
    QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1),
             QStringList({"Success", "Success", "", "", ""}));
    QCOMPARE(closer.results, QList<QStringList>({{"0.pdf", "1.pdf"}}));
  }

  // A row whose image could not be used said "Added" although it got no page.
  void consolidatedRowsTellTheTruth() {
    Open();
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "out.pdf"));
    AddFiles({Image("a.png"), *dir_ / "b.jpg", Image("c.png")});
    WriteFile(*dir_ / "b.jpg", "no picture");
    ModalCloser closer;
    ConvertAndWait();
    QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1), QStringList({"Added", "Failed", "Added"}));
    QCOMPARE(brannock::testing::ReadPdf(*dir_ / "out.pdf").pages.size(), 2u);

    // Each page of a multi-page TIFF, in its row's place; its row keeps one status.
    dialog_->OnRemoveAll();
    AddFiles({*dir_ / "a.png", Document("m.tif", 3), *dir_ / "z.png"});
    std::filesystem::copy_file(*dir_ / "c.png", *dir_ / "z.png");
    ConvertAndWait();
    QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1), QStringList({"Added", "Added", "Added"}));
    const auto pages = brannock::testing::ReadPdf(*dir_ / "out.pdf").pages;
    QCOMPARE(pages.size(), 5u);
    QCOMPARE(pages[3].image.height, 32);
    QCOMPARE(pages[4].image.colourSpace, std::string("/DeviceRGB"));
    QVERIFY(Entries(*dir_ / "tmp").empty());

    // Nothing usable: no PDF, and the empty file the output test made is gone again.
    dialog_->OnRemoveAll();
    AddFiles({*dir_ / "b.jpg"});
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "new.pdf"));
    ConvertAndWait();
    QVERIFY(!brannock::testing::FileExists(*dir_ / "new.pdf"));
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "out.pdf"));
    const std::string before = ReadFile(*dir_ / "out.pdf");
    ConvertAndWait();
    QCOMPARE(ReadFile(*dir_ / "out.pdf"), before);
    QCOMPARE(closer.results.size(), 2);

    // A document past the PDF library's size limit showed nothing at all; it is known while
    // staging, and a box says why.
    SetMaxPdfBytesForTesting(1000);
    dialog_->OnRemoveAll();
    AddFiles({*dir_ / "a.png", *dir_ / "c.png"});
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "big.pdf"));
    ConvertAndWait();
    SetMaxPdfBytesForTesting(0);
    QCOMPARE(closer.messages,
             QStringList({"The PDF would be larger than 2 GB; convert fewer images at once."}));
    QVERIFY(!brannock::testing::FileExists(*dir_ / "big.pdf"));
    QVERIFY(Entries(*dir_ / "tmp").empty());
    QCOMPARE(closer.results.size(), 2);
  }

  // Closing during a run used to leave the worker using a dialog that was gone.
  void closingDuringARunFinishesCleanlyWithoutResults() {
    Open();
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "out.pdf"));
    AddFiles({Image("a.png"), Image("b.png"), Image("c.png")});
    Gate gate;
    std::atomic<int> calls = 0;  // staging runs on several threads
    dialog_->converters().stageImage = [&](const std::string& path, JpegHandling jpegs) {
      const std::vector<std::string> staged = StageImagePages(path, jpegs);
      if (++calls == 2) gate.Arrive();
      return staged;
    };
    ModalCloser closer;
    dialog_->show();
    QSignalSpy finished(dialog_.get(), &QDialog::finished);
    dialog_->OnConvert();
    QTRY_VERIFY(gate.Arrived());
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    QVERIFY(!dialog_->isVisible());  // at once, even while the worker still works
    gate.Open();
    QVERIFY(finished.wait(30000));
    QVERIFY(!dialog_->isVisible());
    QVERIFY(dialog_->runState() == RunState::kIdle);
    QVERIFY(closer.results.isEmpty());
    QVERIFY(Entries(*dir_ / "tmp").empty());
    QVERIFY(!brannock::testing::FileExists(*dir_ / "out.pdf"));
  }

  void hostileSettingsAndPlacesKeepTheDialogUsable() {
    // A folder where settings.ini should be: every key reads empty, nothing is written.
    std::filesystem::create_directory(*dir_ / "settings.ini");
    Open();
    QVERIFY(Find<QRadioButton>("consolidatedRadio")->isChecked());
    QVERIFY(std::filesystem::is_directory(*dir_ / "settings.ini"));
    std::filesystem::remove(*dir_ / "settings.ini");

    // Binary junk with a valid line in it.
    std::string junk(3000, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 37);
    WriteFile(*dir_ / "settings.ini", junk + "\n[Settings]\nOnRadioEvery=1\n" + junk);
    Open();
    QVERIFY(Find<QRadioButton>("separateRadio")->isChecked());

    // An output field naming a folder cannot be created.
    Find<QRadioButton>("consolidatedRadio")->click();
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(dir_->path()));
    AddFiles({Image("a.png")});
    ModalCloser closer;
    ConvertAndWait();
    QCOMPARE(closer.messages, QStringList({"Output PDF could not be created."}));

    // A FIFO or a device as the output: refused, never opened (a FIFO would block the run
    // for ever, with Abort off and the window impossible to close).
    mkfifo((*dir_ / "pipe.pdf").c_str(), 0644);
    for (const std::string& place : {*dir_ / "pipe.pdf", std::string("/dev/null")}) {
      Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(place));
      QSignalSpy finished(dialog_.get(), &CBrannockDlg::RunFinished);
      dialog_->OnConvert();
      QVERIFY(finished.wait(10000));
      QCOMPARE(closer.messages.last(), QString("Output PDF could not be created."));
    }
    struct stat info;
    QVERIFY(lstat((*dir_ / "pipe.pdf").c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
    QCOMPARE(closer.messages.size(), 3);

    // An output path read from the settings that is not UTF-8 keeps its bytes.
    WriteSetting("LastOutputPDF", *dir_ / "caf\xe9.pdf");
    Open();
    QCOMPARE(ReadSetting("LastOutputPDF"), *dir_ / "caf\xe9.pdf");
  }

  // Enter on a focused push button pressed Convert, which could overwrite the output PDF.
  void enterPressesTheFocusedButton() {
    Open();
    dialog_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
    const std::string output = *dir_ / "out.pdf";
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(output));
    AddFiles({Image("a.png")});
    QTest::keyClick(Find<QPushButton>("removeAllButton"), Qt::Key_Return);
    QCOMPARE(Find<QTreeWidget>("inputList")->topLevelItemCount(), 0);
    chooser_->files = {QString::fromStdString(*dir_ / "a.png")};
    QTest::keyClick(Find<QPushButton>("addFilesButton"), Qt::Key_Return);
    QCOMPARE(Find<QTreeWidget>("inputList")->topLevelItemCount(), 1);
    chooser_->savePath = QString::fromStdString(*dir_ / "chosen.pdf");
    QTest::keyClick(Find<QPushButton>("browseOutputButton"), Qt::Key_Return);
    QCOMPARE(Find<QLineEdit>("outputEdit")->text(), chooser_->savePath);
    QVERIFY(dialog_->runState() == RunState::kIdle);
    QVERIFY(!brannock::testing::FileExists(output));
    // Anywhere else, Enter is Convert.
    ModalCloser closer;
    QSignalSpy finished(dialog_.get(), &CBrannockDlg::RunFinished);
    QTest::keyClick(Find<QLineEdit>("outputEdit"), Qt::Key_Return);
    QVERIFY(finished.wait(30000));
    QCOMPARE(closer.results, QList<QStringList>({{"chosen.pdf"}}));
  }

  // Remove All right after Convert emptied the list under the worker (a crash): only
  // Convert was disabled before the worker started.
  void everyControlIsDisabledBeforeTheWorkerStarts() {
    Open();
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "out.pdf"));
    AddFiles({Image("a.png"), Image("b.png"), Image("c.png")});
    ModalCloser closer;
    QSignalSpy finished(dialog_.get(), &CBrannockDlg::RunFinished);
    dialog_->OnConvert();
    QTest::mouseClick(Find<QPushButton>("removeAllButton"), Qt::LeftButton);
    for (const char* name : {"convertButton", "addFilesButton", "addFolderButton",
                             "removeAllButton", "browseOutputButton"})
      QVERIFY2(!Find<QPushButton>(name)->isEnabled(), name);
    QVERIFY(!Find<QLineEdit>("outputEdit")->isEnabled());
    QVERIFY(!Find<QRadioButton>("separateRadio")->isEnabled());
    QVERIFY(!Find<QCheckBox>("keepJpegCheck")->isEnabled());
    QVERIFY(!Find<QAction>("actionExit")->isEnabled());
    QVERIFY(Find<QPushButton>("abortButton")->isEnabled());
    QVERIFY(finished.wait(30000));
    QCOMPARE(Column(Find<QTreeWidget>("inputList"), 1), QStringList({"Added", "Added", "Added"}));
  }

  void dropsAndCommandLinesAddFilesAndFolders() {
    Open();
    QTreeWidget* list = Find<QTreeWidget>("inputList");
    Image("a.png");
    Image("caf\xe9.png");
    WriteFile(*dir_ / "notes.txt", "not a picture");
    std::filesystem::create_directory(*dir_ / "in");
    WriteFile(*dir_ / "in/x.JPG", "x");
    WriteFile(*dir_ / "in/y.txt", "y");
    const std::string settings = ReadFile(*dir_ / "settings.ini");
    const QByteArray uris = "# a comment\r\n" + FileUrl(*dir_ / "notes.txt") + "\r\n" +
                            FileUrl(*dir_ / "in") + "\r\n" + FileUrl(*dir_ / "caf\xe9.png") +
                            "\r\nhttps://example.org/b.png\r\n" + FileUrl(*dir_ / "a.png") + "\r\n";
    QCOMPARE(DropOn(list->viewport(), uris), std::make_pair(true, true));
    QCOMPARE(dialog_->paths().size(), 3u);
    QCOMPARE(Column(list, 0).size(), 3);
    QCOMPARE(PathOfRow(list, 0, dialog_->paths()), *dir_ / "a.png");
    QCOMPARE(PathOfRow(list, 1, dialog_->paths()), *dir_ / "caf\xe9.png");  // bytes kept
    QCOMPARE(PathOfRow(list, 2, dialog_->paths()), *dir_ / "in/x.JPG");
    QCOMPARE(ReadFile(*dir_ / "settings.ini"), settings);  // a drop changes no setting

    // The Delete key removes the selected rows; the rest point at their paths again.
    AddFiles({*dir_ / "b.png"});
    list->topLevelItem(0)->setSelected(true);
    list->topLevelItem(2)->setSelected(true);
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(Column(list, 0), QStringList({"b.png", "x.JPG"}));
    for (int row = 0; row < 2; ++row)
      QCOMPARE(list->topLevelItem(row)->data(0, Qt::UserRole).toULongLong(), qulonglong(row));
    QCOMPARE(dialog_->paths(), std::vector<std::string>({*dir_ / "b.png", *dir_ / "in/x.JPG"}));

    // Files named on the command line go the same way.
    dialog_->AddDroppedPaths({*dir_ / "a.png", *dir_ / "notes.txt", *dir_ / "missing.png"});
    QCOMPARE(Column(list, 0), QStringList({"a.png", "b.png", "x.JPG", "missing.png"}));  // by path

    // During a run, drops are refused and the list stays as it is.
    Gate gate;
    dialog_->converters().stageImage = [&](const std::string& path, JpegHandling jpegs) {
      gate.Arrive();
      return StageImagePages(path, jpegs);
    };
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "out.pdf"));
    ModalCloser closer;
    QSignalSpy finished(dialog_.get(), &CBrannockDlg::RunFinished);
    dialog_->OnConvert();
    QTRY_VERIFY(gate.Arrived());
    QCOMPARE(DropOn(list->viewport(), FileUrl(*dir_ / "caf\xe9.png")),
             std::make_pair(false, false));
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(list->topLevelItemCount(), 4);
    gate.Open();
    QVERIFY(finished.wait(30000));
  }

  void fiveThousandRowsStayUsable() {
    Open();
    std::vector<std::string> paths;
    for (int i = 0; i < 5000; ++i)
      paths.push_back(*dir_ / ("img" + std::to_string(4999 - i) + ".png"));
    AddFiles(paths);
    QTreeWidget* list = Find<QTreeWidget>("inputList");
    QCOMPARE(list->topLevelItemCount(), 5000);
    QCOMPARE(list->topLevelItem(0)->text(0), QString("img0.png"));
    // Converting: staging is replaced by a quick step, the rows and the assembly are real.
    dialog_->converters().stageImage = [](const std::string&, JpegHandling) {
      return std::vector<std::string>();
    };
    Find<QLineEdit>("outputEdit")->setText(QString::fromStdString(*dir_ / "all.pdf"));
    ModalCloser closer;
    ConvertAndWait();
    QCOMPARE(Column(list, 1).count("Failed"), 5000);
    QTest::mouseClick(Find<QPushButton>("removeAllButton"), Qt::LeftButton);
    QCOMPARE(list->topLevelItemCount(), 0);
  }

  void aboutBoxOpensOnceFromMenuAndHelpKey() {
    Open();
    dialog_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
    int opened = 0, nested = 0;
    QTimer::singleShot(50, [&] {
      opened += dialog_->aboutDialog().isVisible();
      QTest::keyClick(&dialog_->aboutDialog(), Qt::Key_F1);  // must not open a second one
      nested += QApplication::activeModalWidget() == &dialog_->aboutDialog();
      QTest::keyClick(&dialog_->aboutDialog(), Qt::Key_Escape);
    });
    QTest::keyClick(dialog_.get(), Qt::Key_F1);
    QCOMPARE(opened, 1);
    QCOMPARE(nested, 1);
    QCOMPARE(dialog_->aboutDialog().result(), int(QDialog::Rejected));
    QTimer::singleShot(50, [&] { QTest::keyClick(&dialog_->aboutDialog(), Qt::Key_Return); });
    Find<QAction>("actionAbout")->trigger();
    QCOMPARE(dialog_->aboutDialog().result(), int(QDialog::Accepted));

    // Closed while the link was hovered, the box opens again with the link in its normal look.
    CHyperLink* link = dialog_->aboutDialog().link();
    bool hoveredBefore = false, hoveredAfter = true;
    QTimer::singleShot(50, [&] {
      QMouseEvent move(QEvent::MouseMove, QPointF(4, 4), link->mapToGlobal(QPointF(4, 4)),
                       Qt::NoButton, Qt::NoButton, {});
      QApplication::sendEvent(link, &move);
      hoveredBefore = link->IsHover();
      QTest::keyClick(&dialog_->aboutDialog(), Qt::Key_Escape);
    });
    dialog_->OnAbout();
    QTimer::singleShot(50, [&] {
      hoveredAfter = link->IsHover();
      QTest::keyClick(&dialog_->aboutDialog(), Qt::Key_Escape);
    });
    dialog_->OnAbout();
    QVERIFY(hoveredBefore);
    QVERIFY(!hoveredAfter);
  }

  void linkLooksFollowThePointerAndClicksOpenIt() {
    CAboutDlg about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    CHyperLink* link = about.link();
    const QFontMetrics metrics(link->font());
    QCOMPARE(metrics.height(), 14);  // the character cell, not the em height
    QCOMPARE(link->size(),
             QSize(metrics.horizontalAdvance(link->text()) + 6, metrics.height() + 3));
    QCOMPARE(link->URL(), QString("https://brannock.dev/"));

    const auto colours = [&] {
      const QImage image = link->grab().toImage();
      QSet<QRgb> found;
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) found.insert(image.pixel(x, y) & 0xFFFFFF);
      return found;
    };
    const auto underlined = [&](QRgb colour) {
      const QImage image = link->grab().toImage();
      const int y = metrics.height();
      for (int x = 1; x < metrics.horizontalAdvance(link->text()); ++x)
        if ((image.pixel(x, y) & 0xFFFFFF) != colour) return false;
      return true;
    };
    QVERIFY(colours().contains(0x0000FF));
    QVERIFY(!colours().contains(0xFF0000));
    QVERIFY(!underlined(0x0000FF));

    QSignalSpy clicked(link, &CHyperLink::clicked);
    const QPoint inside(4, 4);
    QTest::mouseMove(link, inside);
    QTRY_VERIFY(link->IsHover());
    QVERIFY(colours().contains(0xFF0000));
    QVERIFY(underlined(0xFF0000));
    QTest::mousePress(link, Qt::LeftButton, {}, inside);
    QVERIFY(underlined(qRgb(200, 0, 225) & 0xFFFFFF));
    QTest::mouseRelease(link, Qt::LeftButton, {}, inside);
    QCOMPARE(urls_.opened, QList<QUrl>({QUrl("https://brannock.dev/")}));
    QCOMPARE(clicked.count(), 1);
    QVERIFY(link->IsHover());

    // A double click arrives as press, release, double-click press, release.
    QTest::mouseClick(link, Qt::LeftButton, {}, inside);
    QMouseEvent second(QEvent::MouseButtonDblClick, QPointF(inside),
                       link->mapToGlobal(QPointF(inside)), Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(link, &second);
    QTest::mouseRelease(link, Qt::LeftButton, {}, inside);
    QCOMPARE(urls_.opened.size(), 3);

    QTest::mousePress(link, Qt::LeftButton, {}, inside);
    QTest::mouseRelease(link, Qt::LeftButton, {}, QPoint(link->width() + 30, 40));
    QCOMPARE(urls_.opened.size(), 3);
    QVERIFY(!link->IsHover());
    QVERIFY(colours().contains(0x0000FF));
  }

  void linkToolTipWaitsThenShowsForAWhile() {
    CAboutDlg about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    CHyperLink* link = about.link();
    QCursor::setPos(link->mapToGlobal(QPoint(4, 4)));
    QEnterEvent enter(QPointF(4, 4), QPointF(4, 4), link->mapToGlobal(QPointF(4, 4)));
    QApplication::sendEvent(link, &enter);
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(QToolTip::isVisible(), 3000);
    const qint64 shown = clock.elapsed();
    QVERIFY2(shown >= 1100 && shown < 1700, qPrintable(QString::number(shown)));
    QCOMPARE(QToolTip::text(), QString("https://brannock.dev/"));
    QTRY_VERIFY_WITH_TIMEOUT(!QToolTip::isVisible(), 4000);
    const qint64 hidden = clock.elapsed() - shown;
    QVERIFY2(hidden >= 1300 && hidden < 2500, qPrintable(QString::number(hidden)));
  }
};

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
