// The main window driven as a user drives it: controls and their first
// state, the settings file read at start and written at close, the enabling
// rules, the file list, the menu, a whole run from the "Go !" button on its
// own thread, stopping it, the question about a used output folder, the
// error box, the log's account of where things are, the keyboard, small
// and large windows, and drops.
#include <gdal.h>
#include <ogr_api.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMap>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <system_error>
#include <memory>

#include "osm_format.h"
#include "data_files.h"
#include "latency_probe.h"
#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "main_window.h"
#include "run_folder.h"
#include "update_check.h"
#include "window_run_ui.h"

namespace {

// The window with its dialogs answered by the test and its boxes recorded.
class TTestForm : public TForm1 {
 public:
  QList<QStringList> OpenAnswers;  // one entry per "Add Files"; empty = cancel
  QStringList FolderAnswers;       // one entry per folder dialog; empty = cancel
  QStringList FolderTitles;
  QStringList Messages, Errors, Confirms;
  QList<QUrl> Urls;
  bool ConfirmAnswer = true;
  bool RealOpenUrl = false;  // hand the URL to the desktop as the window does
  bool FailStart = false;    // the run's thread cannot be started
  bool RealErrorBox = false; // errors are also shown in the window's own box
  QRect Screen{0, 0, 1920, 1040};  // the available area the window is given

  void ShowMessage(const QString& text) override { Messages << text; }
  void ShowError(const QString& text) override {
    Errors << text;
    if (RealErrorBox) TForm1::ShowError(text);
  }
  bool Confirm(const QString& text) override {
    Confirms << text;
    return ConfirmAnswer;
  }
  bool OpenUrl(const QUrl& url) override {
    Urls << url;
    return RealOpenUrl ? TForm1::OpenUrl(url) : true;
  }
  // Adds one input file and chooses the output folder, through the buttons.
  void ChooseInputAndOutput(const QString& file, const QString& folder) {
    OpenAnswers = {{file}};
    FolderAnswers = {folder};
    QTest::mouseClick(btnAddFiles, Qt::LeftButton);
    QTest::mouseClick(btnOutputFolder, Qt::LeftButton);
  }
  // Shows the window as the active one, so that focus and shortcuts work.
  bool ShowActive() {
    show();
    activateWindow();
    return QTest::qWaitForWindowActive(this);
  }
  // Waits for the run that is going to end.
  bool WaitForRunEnd(int timeoutMs = 120000) {
    if (!Running()) return true;
    QSignalSpy ended(this, &TForm1::RunFinished);
    return ended.wait(timeoutMs) && !Running();
  }

 protected:
  QStringList ExecuteOpenDialog() override { return OpenAnswers.isEmpty() ? QStringList() : OpenAnswers.takeFirst(); }
  QString ExecuteFolderDialog(const QString& title, const QString&) override {
    FolderTitles << title;
    return FolderAnswers.isEmpty() ? QString() : FolderAnswers.takeFirst();
  }
  QRect AvailableScreenArea() const override { return Screen; }
  void StartRun(const TRunOptions& o) override {
    if (FailStart) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    TForm1::StartRun(o);
  }
};

// A click on a check box's or radio button's own box, wherever the layout
// stretches the widget.
void ClickBox(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(6, w->height() / 2)); }

QString ReadText(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(f.readAll());
}

void WriteText(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
}

// "key=value" lines of [main] in file order.
QStringList MainSection(const QString& ini) {
  QStringList keys;
  bool inMain = false;
  for (const QString& raw : ini.split(QLatin1Char('\n'))) {
    const QString line = raw.trimmed();
    if (line.startsWith(QLatin1Char('['))) {
      inMain = line == QLatin1String("[main]");
      continue;
    }
    if (inMain && line.contains(QLatin1Char('='))) keys << line;
  }
  return keys;
}

QStringList Names(const QStringList& lines) {
  QStringList r;
  for (const QString& l : lines) r << l.section(QLatin1Char('='), 0, 0);
  return r;
}

QStringList ListTexts(const QListWidget* list) {
  QStringList r;
  for (int i = 0; i < list->count(); ++i) r << list->item(i)->text();
  return r;
}

QStringList Items(const TRadioGroup* g) {
  QStringList r;
  for (int i = 0; i < g->Count(); ++i) r << g->ItemText(i);
  return r;
}

// A street grid of n x n nodes, every row and every column one way: about
// 10 MB at n = 300, enough to keep every pass, the network import and each
// check busy for a while.
void WriteGrid(const QString& path, int n) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  QByteArray out = "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\" generator=\"test\">\n";
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      out += QStringLiteral("  <node id=\"%1\" version=\"1\" lat=\"%2\" lon=\"%3\"/>\n")
                 .arg(r * n + c + 1)
                 .arg(40 + r * 0.0005, 0, 'f', 7)
                 .arg(10 + c * 0.0005, 0, 'f', 7)
                 .toLatin1();
  for (int dir = 0; dir < 2; ++dir)
    for (int i = 0; i < n; ++i) {
      out += QStringLiteral("  <way id=\"%1\" version=\"1\">\n").arg(dir * n + i + 1).toLatin1();
      for (int j = 0; j < n; ++j)
        out += QStringLiteral("    <nd ref=\"%1\"/>\n").arg(dir == 0 ? i * n + j + 1 : j * n + i + 1).toLatin1();
      out += QStringLiteral("    <tag k=\"highway\" v=\"residential\"/>\n    <tag k=\"name\" v=\"%1 %2\"/>\n  </way>\n")
                 .arg(dir == 0 ? "Row" : "Column")
                 .arg(i)
                 .toLatin1();
    }
  out += "</osm>\n";
  QCOMPARE(f.write(out), out.size());
}

// Rows of a vector table as GDAL reads them; -1 when GDAL cannot open it.
int64_t GdalRows(const QString& path) {
  GDALDatasetH ds = GDALOpenEx(path.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (!ds) return -1;
  int64_t rows = -1;
  if (OGRLayerH layer = GDALDatasetGetLayer(ds, 0)) {
    rows = 0;
    OGR_L_ResetReading(layer);
    while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
      ++rows;
      OGR_F_Destroy(f);
    }
  }
  GDALClose(ds);
  return rows;
}

// The focused widget as a tab stop: a radio button by its group and caption.
QString FocusName() {
  const QWidget* w = QApplication::focusWidget();
  if (!w) return QStringLiteral("(none)");
  if (const auto* b = qobject_cast<const QRadioButton*>(w)) return b->parentWidget()->objectName() + '/' + b->text();
  return w->objectName();
}

// Every option control of the window, for the locking during a run.
QList<QWidget*> OptionControls(const TForm1& f) {
  return {f.rgOutputFormat, f.rgSpeedUnit, f.rgDriving, f.rgNameRef, f.cb1, f.cb2, f.TrackBar1,
          f.cbSplitLoop,    f.cbSplitLinks, f.cbBuildNetwork, f.cbSubnets, f.cbTopologicalChecks,
          f.cbOverpasses,   f.cbReport,     f.lbFiles,        f.btnAddFiles, f.btnAddFolderContents,
          f.btnOutputFolder};
}

// Drops the URLs on the file list as a file manager would; true when the list
// accepted them as a copy.
bool DropOnList(TForm1& f, const QList<QUrl>& urls, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction) {
  QMimeData mime;
  mime.setUrls(urls);
  QWidget* target = f.lbFiles->viewport();
  const QPoint at = target->rect().center();
  QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(QPointF(at), offered, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  return drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
}

// Answers the window's boxes of one name as they open, each with the next
// button of the list (by object name), from a timer that runs inside the
// box's own event loop. A box with no answer left is cancelled. Records
// each box as it was shown.
class TBoxAnswerer : public QObject {
 public:
  struct TShown {
    QString text;
    QMessageBox::Icon icon;
    Qt::WindowModality modality;
    QString defaultButton, escapeButton;
  };
  TBoxAnswerer(QWidget* window, const QString& name, QStringList answers)
      : FWindow(window), FName(name), FAnswers(std::move(answers)) {
    connect(&FPoll, &QTimer::timeout, this, [this] { Poll(); });
    FPoll.start(10);
  }
  QList<TShown> Shown;

 private:
  void Poll() {
    for (QMessageBox* box : FWindow->findChildren<QMessageBox*>(FName)) {
      if (!box->isVisible()) continue;
      Shown << TShown{box->text(), box->icon(), box->windowModality(),
                      box->defaultButton() ? box->defaultButton()->objectName() : QString(),
                      box->escapeButton() ? box->escapeButton()->objectName() : QString()};
      const QString answer = FAnswers.isEmpty() ? QStringLiteral("btnCancel") : FAnswers.takeFirst();
      auto* button = box->findChild<QAbstractButton*>(answer);
      QVERIFY2(button, qPrintable(answer));
      button->click();
    }
  }
  QWidget* FWindow;
  QString FName;
  QStringList FAnswers;
  QTimer FPoll;
};

// The names in a folder, sorted.
QStringList FolderNames(const QString& folder) {
  return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Files made to look like an earlier run's results, dated in the past so
// that a new run's files are told from them.
const QStringList kPreviousResults{"roads.mif", "roads.mid", "roads.shp", "error.txt", "link.bin",
                                   "linvoro_config.ini", "network_report.txt", "overpasses.shp", "overpasses.dbf"};
void WritePreviousResults(const QString& folder, const QStringList& names) {
  QDir().mkpath(folder);
  for (const QString& n : names) {
    QFile f(folder + '/' + n);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("earlier run");
    QVERIFY(f.setFileTime(QDateTime(QDate(2020, 1, 1), QTime(12, 0)), QFileDevice::FileModificationTime));
  }
}

// A few ways: one named in Cyrillic (lost in code page 1252), one with a
// node that is not in the file (a line in error.txt).
const QByteArray kFindings =
    "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n"
    " <node id=\"1\" lat=\"48.1\" lon=\"10.1\"/>\n <node id=\"2\" lat=\"48.1\" lon=\"10.2\"/>\n"
    " <node id=\"3\" lat=\"48.2\" lon=\"10.2\"/>\n"
    " <way id=\"7\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n  <tag k=\"highway\" v=\"residential\"/>\n"
    "  <tag k=\"name\" v=\"\xd0\xa3\xd0\xbb\xd0\xb8\xd1\x86\xd0\xb0\"/>\n </way>\n"
    " <way id=\"8\">\n  <nd ref=\"2\"/>\n  <nd ref=\"99\"/>\n  <nd ref=\"3\"/>\n"
    "  <tag k=\"highway\" v=\"residential\"/>\n </way>\n"
    "</osm>\n";

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> FConfig;  // this test's settings folder parent
  QTemporaryDir FGridDir;
  QString FGrid;  // a generated input of about 10 MB, for runs that take a while
  QString SettingsFile() const { return FConfig->path() + QStringLiteral("/osm2trassel/osm2trassel.ini"); }
  void WriteSettings(const QByteArray& text) {
    QDir().mkpath(FConfig->path() + QStringLiteral("/osm2trassel"));
    WriteText(SettingsFile(), text);
  }

 private slots:
  void initTestCase() {
    // Qt's own settings (the file dialog's state) take their folder once, at
    // first use: the suite's folder, which goes with the suite, rather than
    // the first test's, which Qt would make again after the test removed it.
    QVERIFY(FGridDir.isValid());
    qputenv("XDG_CONFIG_HOME", FGridDir.path().toUtf8());
    QSettings(QSettings::UserScope, QStringLiteral("QtProject")).value(QStringLiteral("x"));
    GDALAllRegister();
    FGrid = FGridDir.filePath("grid.osm");
    WriteGrid(FGrid, 300);
    QVERIFY(QFileInfo(FGrid).size() > 5'000'000);
  }

  void init() {
    // Every test starts on a machine of its own: no settings file yet.
    FConfig = std::make_unique<QTemporaryDir>();
    QVERIFY(FConfig->isValid());
    qputenv("XDG_CONFIG_HOME", FConfig->path().toUtf8());
  }
  void cleanup() { FConfig.reset(); }

  void controlsAndFirstStart() {
    TTestForm f;
    f.show();
    QCoreApplication::processEvents();
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));

    QCOMPARE(f.windowTitle(), QStringLiteral("OSM > Trassel converter"));
    // Where the screen has room: the client area at its smallest size,
    // nothing to scroll; the window can be made larger, not smaller.
    QCOMPARE(f.findChild<QWidget*>("ClientArea")->size(), QSize(704, 604));
    QCOMPARE(f.ScrollArea()->viewport()->size(), QSize(704, 604));
    QVERIFY(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(f.minimumSize(), f.size());
    QVERIFY(f.maximumWidth() > f.width() && f.maximumHeight() > f.height());

    // Every control by its component name, with its caption.
    const struct {
      const char* name;
      QString caption;
    } captions[] = {
        {"btnAddFiles", "Add Files"},        {"btnAddFolderContents", "Add Files in folder"},
        {"btnOutputFolder", "Output folder"}, {"btnGo", "Go !"},
        {"btnOpenOutputFolder", "Open output folder"},
        {"Label2", "< folder name >"},       {"Label3", "Modes"},
        {"Label1", "Optional output:"},      {"Label4", "Simplification of geometry"},
        {"Label5", "None"},                  {"Label6", "Most"},
        {"cbSplitLoop", "Split loop links"}, {"cbSplitLinks", "Split links for routing"},
        {"cbReport", "Write report"},        {"btnReport", "Report"},
        {"cbBuildNetwork", "Build Linvoro 4 network"}, {"cbSubnets", "Detect subnets"},
        {"cbTopologicalChecks", "Topological checks"}, {"cbOverpasses", "Overpasses"},
        {"rgOutputFormat", "Output format"}, {"rgSpeedUnit", "Speed unit"},
        {"rgNameRef", "Output of Name and Ref"}, {"rgDriving", "Roundabout checking"},
    };
    for (const auto& c : captions) {
      QWidget* w = f.findChild<QWidget*>(QString::fromLatin1(c.name));
      QVERIFY2(w, c.name);
      QString text;
      if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
      else if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
      else if (auto* g = qobject_cast<QGroupBox*>(w)) text = g->title();
      QCOMPARE(text, c.caption);
    }
    for (const char* name : {"lbFiles", "Memo1", "ProgressBar1", "cb1", "cb2", "TrackBar1", "OpenDialog1", "MainMenu1"})
      QVERIFY2(f.findChild<QObject*>(QString::fromLatin1(name)), name);
    QVERIFY(f.lblStatus->text().isEmpty());

    QCOMPARE(Items(f.rgOutputFormat), (QStringList{"MIF", "SHP", "TAB", "GPKG"}));
    QCOMPARE(Items(f.rgSpeedUnit), (QStringList{"km/h", "mph", "leave as is"}));
    QCOMPARE(Items(f.rgNameRef),
             (QStringList{"Name", "Name (Ref)", "Name unless Ref is defined", "Name & Ref (2 fields)"}));
    QCOMPARE(Items(f.rgDriving), (QStringList{"Skip", "Right-hand driving", "Left-hand driving (UK etc)"}));
    QCOMPARE(ListTexts(f.cb2), (QStringList{"Pedestrian", "Bicycle", "Car"}));
    QCOMPARE(ListTexts(f.cb1), (QStringList{"Bridge", "Lanes", "Max Height", "Max Speed", "Max Weight", "Max Width",
                                            "Toll", "Tunnel"}));

    // The menu: File with its three commands, Help on the bar itself, each
    // with its mnemonic; F1 is the help.
    QCOMPARE(f.File1->title(), QStringLiteral("&File"));
    QStringList fileItems;
    for (QAction* a : f.File1->actions())
      if (!a->isSeparator()) fileItems << a->objectName() + ':' + a->text();
    QCOMPARE(fileItems, (QStringList{"Checkforupdates1:Check for &updates", "About1:&About", "Exit1:E&xit"}));
    QVERIFY(f.MainMenu1->actions().contains(f.Help1));
    QCOMPARE(f.Help1->text(), QStringLiteral("&Help"));
    QCOMPARE(f.Help1->shortcut(), QKeySequence(Qt::Key_F1));

    // The open dialog.
    QCOMPARE(f.OpenDialog1->nameFilters(),
             (QStringList{QString::fromUtf8(OsmFileFilter), "All files (*)"}));
    QCOMPARE(f.OpenDialog1->fileMode(), QFileDialog::ExistingFiles);
    QCOMPARE(QDir(f.OpenDialog1->directory()).absolutePath(), QDir(QString::fromStdString(GetExeFolder())).absolutePath());

    // First start: the settings' defaults.
    QCOMPARE(f.rgOutputFormat->ItemIndex(), 1);
    QCOMPARE(f.FF, uint8_t(gfSHP));
    QCOMPARE(f.rgSpeedUnit->ItemIndex(), 2);
    QCOMPARE(f.rgNameRef->ItemIndex(), 3);
    QCOMPARE(f.rgDriving->ItemIndex(), 0);
    QVERIFY(!f.cb2->Checked(0) && !f.cb2->Checked(1) && f.cb2->Checked(2));
    for (int i = 0; i < f.cb1->count(); ++i) QVERIFY(!f.cb1->Checked(i));
    QCOMPARE(f.TrackBar1->minimum(), 0);
    QCOMPARE(f.TrackBar1->maximum(), 15);
    QCOMPARE(f.TrackBar1->value(), 0);
    QVERIFY(f.cbSplitLoop->isChecked() && f.cbSplitLinks->isChecked());
    QVERIFY(!f.cbBuildNetwork->isChecked());
    for (QCheckBox* c : {f.cbSubnets, f.cbTopologicalChecks, f.cbOverpasses})
      QVERIFY(!c->isChecked() && !c->isEnabled());
    QCOMPARE(f.minObjectLen, 0.1);
    QCOMPARE(f.NameLength, 50u);
    QCOMPARE(f.RefLength, 25u);
    QCOMPARE(f.ExitText, std::string("Exit"));
    QCOMPARE(f.lbFiles->count(), 0);
    QVERIFY(f.Memo1->toPlainText().isEmpty());
    QCOMPARE(f.ProgressBar1->value(), 0);
    QVERIFY(!f.btnGo->isEnabled());
    QVERIFY(!f.btnOpenOutputFolder->isEnabled());  // until a run has written there
    QVERIFY(f.btnGo->font().bold());
    QVERIFY(f.MainDir.isEmpty());
    QVERIFY(f.IncludeLists().Values(3).size() > 0);
  }

  void settingsRead_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("ff");
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("nameRef");
    QTest::addColumn<int>("driving");
    QTest::addColumn<int>("simplify");
    QTest::addColumn<QString>("modes");       // checked of cb2, as 0/1
    QTest::addColumn<QString>("network");     // build, subnets, topo checked; then sub-options enabled
    QTest::addColumn<QString>("exitText");

    QTest::newRow("every key") << QByteArray("[main]\noutputformat=0\nspeedunit=1\nsplitlooplinks=1\nsplitlinks=0\n"
                                             "pedestrian=1\nbicycle=1\ncar=0\nbridge=1\ntunnel=1\nNameRef=1\n"
                                             "driving=2\nbuildnetwork=1\nsubnets=1\ntopochecks=1\nsimplify=7\n"
                                             "minObjectLength=2.5\nNameLength=80\nRefLength=12\nExitText=Sortie\n")
                               << 0 << int(gfMIF) << 1 << 1 << 2 << 7 << "110" << "111 on" << "Sortie";
    // A sub-option stored as checked under no network shows checked but
    // cannot be changed.
    QTest::newRow("sub-option without network")
        << QByteArray("[main]\nbuildnetwork=0\nsubnets=1\ntopochecks=0\nExitText=\n") << 1 << int(gfSHP) << 2 << 3
        << 0 << 0 << "001" << "010 off" << "";
    // Out-of-range indexes are brought into range; unreadable numbers give
    // the defaults; any non-zero number is true.
    QTest::newRow("out of range and garbage")
        << QByteArray("[main]\noutputformat=9\nspeedunit=abc\ncar=5\nNameRef=-3\ndriving=\nsimplify=40\n"
                      "minObjectLength=x\n")
        << 3 << int(gfGPKG) << 2 << 0 << 0 << 15 << "001" << "000 off" << "Exit";
    QTest::newRow("other section only") << QByteArray("[other]\noutputformat=0\ncar=0\n") << 1 << int(gfSHP) << 2
                                        << 3 << 0 << 0 << "001" << "000 off" << "Exit";
  }

  void settingsRead() {
    QFETCH(QByteArray, ini);
    WriteSettings(ini);
    TTestForm f;
    QCoreApplication::processEvents();
    QVERIFY(f.Errors.isEmpty());
    QTEST(f.rgOutputFormat->ItemIndex(), "format");
    QTEST(int(f.FF), "ff");
    QTEST(f.rgSpeedUnit->ItemIndex(), "speed");
    QTEST(f.rgNameRef->ItemIndex(), "nameRef");
    QTEST(f.rgDriving->ItemIndex(), "driving");
    QTEST(f.TrackBar1->value(), "simplify");
    QString modes;
    for (int i = 0; i < 3; ++i) modes += f.cb2->Checked(i) ? '1' : '0';
    QTEST(modes, "modes");
    QString network;
    for (QCheckBox* c : {f.cbBuildNetwork, f.cbSubnets, f.cbTopologicalChecks}) network += c->isChecked() ? '1' : '0';
    network += f.cbSubnets->isEnabled() && f.cbTopologicalChecks->isEnabled() && f.cbOverpasses->isEnabled()
                   ? QStringLiteral(" on")
                   : QStringLiteral(" off");
    QTEST(network, "network");
    QVERIFY(!f.cbOverpasses->isChecked());
    QTEST(QString::fromStdString(f.ExitText), "exitText");
    if (QByteArray(QTest::currentDataTag()) == "every key") {
      QVERIFY(!f.cbSplitLinks->isChecked());
      QVERIFY(f.cb1->Checked(0) && f.cb1->Checked(7) && !f.cb1->Checked(3));
      QCOMPARE(f.minObjectLen, 2.5);
      QCOMPARE(f.NameLength, 80u);
      QCOMPARE(f.RefLength, 12u);
    }
  }

  void settingsWrittenOnClose() {
    // A hand-added ExitText (even empty), other sections and comments must
    // survive the window's close.
    WriteSettings("; kept\n[main]\nExitText=\ncar=1\n\n[other]\nx=1\n");
    {
      TTestForm f;
      f.show();
      f.rgOutputFormat->SetItemIndex(0);
      f.cb2->SetChecked(0, true);
      f.cb2->SetChecked(2, false);
      f.cb1->SetChecked(0, true);
      f.cb1->SetChecked(7, true);
      f.rgNameRef->SetItemIndex(2);
      f.rgDriving->SetItemIndex(1);
      f.cbSplitLinks->setChecked(false);
      f.cbBuildNetwork->setChecked(true);
      f.cbSubnets->setChecked(true);
      f.cbOverpasses->setChecked(true);
      f.TrackBar1->setValue(5);
      QCOMPARE(f.FF, uint8_t(gfMIF));
      f.Exit1->trigger();
      QVERIFY(!f.isVisible());
      QVERIFY(f.Errors.isEmpty());
    }
    const QString text = ReadText(SettingsFile());
    const QStringList lines = MainSection(text);
    QCOMPARE(Names(lines), (QStringList{"ExitText", "car", "outputformat", "speedunit", "splitlooplinks",
                                        "splitlinks", "pedestrian", "bicycle", "bridge", "lanes", "maxheight",
                                        "maxspeed", "maxweight", "maxwidth", "toll", "tunnel", "NameRef", "driving",
                                        "buildnetwork", "subnets", "topochecks", "simplify", "minObjectLength",
                                        "NameLength", "RefLength"}));
    QCOMPARE(lines,
             (QStringList{"ExitText=", "car=0", "outputformat=0", "speedunit=2", "splitlooplinks=1", "splitlinks=0",
                          "pedestrian=1", "bicycle=0", "bridge=1", "lanes=0", "maxheight=0", "maxspeed=0",
                          "maxweight=0", "maxwidth=0", "toll=0", "tunnel=1", "NameRef=2", "driving=1",
                          "buildnetwork=1", "subnets=1", "topochecks=0", "simplify=5",
                          "minObjectLength=" + QString::fromStdString(FormatLocaleFloat(0.1)), "NameLength=50",
                          "RefLength=25"}));
    QVERIFY(text.startsWith("; kept\n"));
    QVERIFY(text.contains("[other]\nx=1"));

    // The next start shows what was saved, except "Overpasses".
    TTestForm g;
    QCOMPARE(g.rgOutputFormat->ItemIndex(), 0);
    QVERIFY(g.cb2->Checked(0) && !g.cb2->Checked(2));
    QVERIFY(g.cbBuildNetwork->isChecked() && g.cbSubnets->isChecked() && g.cbSubnets->isEnabled());
    QVERIFY(!g.cbOverpasses->isChecked());
    QCOMPARE(g.TrackBar1->value(), 5);
    QCOMPARE(g.ExitText, std::string());
  }

  // "Write report" is kept once turned off; a run without it writes
  // neither report file and offers no report.
  void reportOption() {
    {
      TTestForm f;
      f.show();
      QVERIFY(f.cbReport->isChecked());
      f.cbReport->setChecked(false);
      f.close();
    }
    QVERIFY(MainSection(ReadText(SettingsFile())).contains(QStringLiteral("report=0")));
    QTemporaryDir out;
    TTestForm g;
    g.show();
    QVERIFY(!g.cbReport->isChecked());
    g.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), out.path());
    g.cbBuildNetwork->setChecked(true);
    g.cbTopologicalChecks->setChecked(true);
    QTest::mouseClick(g.btnGo, Qt::LeftButton);
    QVERIFY(g.WaitForRunEnd());
    QVERIFY2(g.Errors.isEmpty(), qPrintable(g.Errors.join('\n')));
    QVERIFY(QFileInfo::exists(out.filePath("nodes.shp")));
    QVERIFY(!QFileInfo::exists(out.filePath("report.html")));
    QVERIFY(!QFileInfo::exists(out.filePath("findings.geojson")));
    QVERIFY(!g.btnReport->isEnabled());
    QVERIFY(g.Memo1->toPlainText().split('\n').last().startsWith("Finish at "));
  }

  // "Compare with last run": Go keeps the replaced run's findings
  // as findings-earlier.geojson and marks each new finding; without the
  // report there is nothing to compare.
  void compareWithTheRunReplaced() {
    QTemporaryDir out;
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), out.path());
    f.cbBuildNetwork->setChecked(true);
    f.cbTopologicalChecks->setChecked(true);
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    const QString first = ReadText(out.filePath("findings.geojson"));
    QVERIFY(first.contains("\"check\""));
    QVERIFY(!first.contains("\"change\""));

    QVERIFY(f.cbCompare->isEnabled());
    f.cbCompare->setChecked(true);
    TBoxAnswerer answerer(&f, QStringLiteral("OutputFolderQuestion"), {"btnReplace"});
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    QCOMPARE(ReadText(out.filePath("findings-earlier.geojson")), first);
    const QString second = ReadText(out.filePath("findings.geojson"));
    QVERIFY(second.contains("\"change\":\"unchanged\""));
    QVERIFY(!second.contains("\"change\":\"new\""));
    QVERIFY(!second.contains("\"change\":\"fixed\""));

    f.cbReport->setChecked(false);
    QVERIFY(!f.cbCompare->isEnabled());
  }

  void firstCloseWritesEveryKeyButExitText() {
    {
      TTestForm f;
      f.close();
    }
    const QStringList names = Names(MainSection(ReadText(SettingsFile())));
    QCOMPARE(names.size(), 24);
    QVERIFY(!names.contains("ExitText"));
    QVERIFY(!names.contains("overpasses", Qt::CaseInsensitive));
    QCOMPARE(names.first(), QStringLiteral("outputformat"));
    QCOMPARE(names.last(), QStringLiteral("RefLength"));
  }

  void settingsFolderCannotBeCreated() {
    // The folder's place is taken by a file: the error shows once the window
    // is up, the defaults apply, and closing writes nothing.
    WriteText(FConfig->path() + "/osm2trassel", "not a folder");
    TTestForm f;
    QCoreApplication::processEvents();
    QCOMPARE(f.Errors.size(), 1);
    QVERIFY2(f.Errors[0].contains("osm2trassel"), qPrintable(f.Errors[0]));
    QVERIFY(f.cb2->Checked(2));
    f.close();
    QCOMPARE(f.Errors.size(), 1);
  }

  void networkSubOptions() {
    TTestForm f;
    f.show();
    ClickBox(f.cbBuildNetwork);
    QVERIFY(f.cbBuildNetwork->isChecked());
    for (QCheckBox* c : {f.cbSubnets, f.cbTopologicalChecks, f.cbOverpasses}) {
      QVERIFY(c->isEnabled());
      QVERIFY(!c->isChecked());
      ClickBox(c);
      QVERIFY(c->isChecked());
    }
    ClickBox(f.cbBuildNetwork);
    for (QCheckBox* c : {f.cbSubnets, f.cbTopologicalChecks, f.cbOverpasses})
      QVERIFY(!c->isChecked() && !c->isEnabled());
  }

  void outputFormatChoosesWriter() {
    TTestForm f;
    f.show();
    const uint8_t expected[] = {gfMIF, gfSHP, gfMITAB};
    for (int i : {2, 0, 1}) {
      auto* button = f.rgOutputFormat->findChildren<QRadioButton*>()[i];
      ClickBox(button);
      QCOMPARE(f.rgOutputFormat->ItemIndex(), i);
      QCOMPARE(f.FF, expected[i]);
    }
  }

  void addFiles() {
    QTemporaryDir dir;
    const QString a = dir.filePath("a.osm"), b = dir.filePath("b.osm");
    TTestForm f;
    f.show();
    f.OpenAnswers = {{}, {a, b}, {a}};
    QTest::mouseClick(f.btnAddFiles, Qt::LeftButton);  // cancelled
    QCOMPARE(f.lbFiles->count(), 0);
    QVERIFY(!f.btnGo->isEnabled());
    QCOMPARE(f.Label2->text(), QStringLiteral("< folder name >"));
    QTest::mouseClick(f.btnAddFiles, Qt::LeftButton);
    QTest::mouseClick(f.btnAddFiles, Qt::LeftButton);
    // The same file twice is listed twice.
    QCOMPARE(ListTexts(f.lbFiles), (QStringList{a, b, a}));
    QCOMPARE(f.MainDir, dir.path() + '/');
    QCOMPARE(f.Label2->text(), dir.path() + '/');
    QVERIFY(f.btnGo->isEnabled());

    // A chosen output folder is kept when files come later.
    QTemporaryDir out;
    TTestForm g;
    g.FolderAnswers = {QString(), out.path()};
    QTest::mouseClick(g.btnOutputFolder, Qt::LeftButton);  // cancelled
    QVERIFY(g.MainDir.isEmpty());
    QTest::mouseClick(g.btnOutputFolder, Qt::LeftButton);
    QCOMPARE(g.MainDir, out.path() + '/');
    g.OpenAnswers = {{a}};
    QTest::mouseClick(g.btnAddFiles, Qt::LeftButton);
    QCOMPARE(g.MainDir, out.path() + '/');
    QCOMPARE(g.Label2->text(), out.path() + '/');
  }

  void addFilesInFolder() {
    QTemporaryDir dir;
    for (const char* name : {"x.osm", "Y.OSM", "notes.txt", "z.osm.bak", "a.osm.pbf", "b.PBF", "c.osm.gz",
                             "d.osm.bz2", "e.gz", "f.tar.bz2"})
      WriteText(dir.filePath(name), "");
    QVERIFY(QDir(dir.path()).mkdir("sub.osm"));  // a folder, not a file
    QTemporaryDir empty;

    TTestForm f;
    f.FolderAnswers = {QString(), empty.path(), dir.path()};
    QTest::mouseClick(f.btnAddFolderContents, Qt::LeftButton);  // cancelled
    QTest::mouseClick(f.btnAddFolderContents, Qt::LeftButton);  // no .osm there
    QCOMPARE(f.lbFiles->count(), 0);
    QVERIFY(!f.btnGo->isEnabled());
    QVERIFY(f.MainDir.isEmpty());
    QTest::mouseClick(f.btnAddFolderContents, Qt::LeftButton);
    QCOMPARE(f.FolderTitles, QStringList(3, "Select folder with OSM files"));
    QCOMPARE(ListTexts(f.lbFiles), (QStringList{dir.path() + "/a.osm.pbf", dir.path() + "/b.PBF",
                                                dir.path() + "/c.osm.gz", dir.path() + "/d.osm.bz2",
                                                dir.path() + "/x.osm", dir.path() + "/Y.OSM"}));
    QCOMPARE(f.MainDir, dir.path() + '/');
    QVERIFY(f.btnGo->isEnabled());
  }

  void deleteKey() {
    TTestForm f;
    f.show();
    f.OpenAnswers = {{"/d/a.osm", "/d/b.osm", "/d/c.osm", "/d/d.osm"}};
    QTest::mouseClick(f.btnAddFiles, Qt::LeftButton);
    f.lbFiles->setFocus();
    // b and c selected, c the current entry: d moves to the old index, which
    // is now past the end, so the last entry is selected.
    f.lbFiles->setCurrentRow(1, QItemSelectionModel::ClearAndSelect);
    f.lbFiles->setCurrentRow(2, QItemSelectionModel::Select);
    QTest::keyClick(f.lbFiles, Qt::Key_Delete);
    QCOMPARE(ListTexts(f.lbFiles), (QStringList{"/d/a.osm", "/d/d.osm"}));
    QCOMPARE(f.lbFiles->currentRow(), 1);
    QCOMPARE(f.lbFiles->selectedItems().size(), 1);
    // The first of two: the entry at the old index takes its place.
    f.lbFiles->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
    QTest::keyClick(f.lbFiles, Qt::Key_Delete);
    QCOMPARE(ListTexts(f.lbFiles), QStringList{"/d/d.osm"});
    QCOMPARE(f.lbFiles->currentRow(), 0);
    QVERIFY(f.lbFiles->item(0)->isSelected());
    // Other keys leave the list alone.
    QTest::keyClick(f.lbFiles, Qt::Key_Backspace);
    QCOMPARE(f.lbFiles->count(), 1);
    // The last one: the list is empty, and so Go is off.
    QTest::keyClick(f.lbFiles, Qt::Key_Delete);
    QCOMPARE(f.lbFiles->count(), 0);
    QVERIFY(!f.btnGo->isEnabled());
  }

  void goWithoutModeOnlyAsks() {
    QTemporaryDir out;
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), out.path());
    f.cb2->SetChecked(2, false);
    // The option rules apply first: no network without split loop links.
    f.cbBuildNetwork->setChecked(true);
    f.cbSubnets->setChecked(true);
    f.cbOverpasses->setChecked(true);
    f.cbSplitLoop->setChecked(false);
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QCOMPARE(f.Messages, QStringList{"Choose at least 1 mode in output"});
    QVERIFY(f.Errors.isEmpty());
    QVERIFY(!f.cbBuildNetwork->isChecked());
    for (QCheckBox* c : {f.cbSubnets, f.cbTopologicalChecks, f.cbOverpasses})
      QVERIFY(!c->isChecked() && !c->isEnabled());
    QVERIFY(f.Memo1->toPlainText().isEmpty());
    QVERIFY(QDir(out.path()).isEmpty());
    QVERIFY(f.btnGo->isEnabled());
    QVERIFY(!QApplication::overrideCursor());
  }

  void runFromGo_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("network");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("logLines");
    QTest::newRow("SHP") << 1 << false
                         << QStringList{"roads.shp", "roads.shx", "roads.dbf", "roads.prj", "roads.cpg", "error.txt",
                                        "additional_highway_tags.txt"}
                         << QStringList{"Reading node coordinates", "Writing output"};
    QTest::newRow("MIF with network")
        << 0 << true
        << QStringList{"roads.mif", "roads.mid", "error.txt", "additional_highway_tags.txt", "coord.bin", "link.bin",
                       "node.bin", "attribute.bin", "linvoro_config.ini", "network_report.txt"}
        << QStringList{"Writing output", "Importing Linvoro 4 network", "Importing Linvoro 4 network - attributes"};
  }

  void runFromGo() {
    QFETCH(int, format);
    QFETCH(bool, network);
    QTemporaryDir out;
    const QString sample = QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm");
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(sample, out.path());
    f.rgOutputFormat->SetItemIndex(format);
    f.cbBuildNetwork->setChecked(network);
    const bool splitLinks = f.cbSplitLinks->isChecked();

    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    // While the run goes on: nothing that would change the job can be
    // touched, Go has become Stop, and the window is busy but usable.
    QVERIFY(f.Running());
    for (QWidget* w : OptionControls(f)) QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    QCOMPARE(f.btnGo->text(), QStringLiteral("Stop"));
    QVERIFY(f.btnGo->isEnabled());
    QCOMPARE(f.cursor().shape(), Qt::BusyCursor);
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(f.Memo1->isEnabled());
    ClickBox(f.cbSplitLinks);
    QCOMPARE(f.cbSplitLinks->isChecked(), splitLinks);
    f.OpenAnswers = {{sample}};
    QTest::mouseClick(f.btnAddFiles, Qt::LeftButton);
    QCOMPARE(f.lbFiles->count(), 1);
    QVERIFY(!DropOnList(f, {QUrl::fromLocalFile(sample)}));
    QCOMPARE(f.lbFiles->count(), 1);

    QVERIFY(f.WaitForRunEnd());
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    QVERIFY(f.Messages.isEmpty());
    // Afterwards every control is back as it was, the network sub-options
    // following their option.
    for (QWidget* w : OptionControls(f)) {
      const bool sub = w == f.cbSubnets || w == f.cbTopologicalChecks || w == f.cbOverpasses;
      QCOMPARE(w->isEnabled(), sub ? network : true);
    }
    QCOMPARE(f.btnGo->text(), QStringLiteral("Go !"));
    QVERIFY(f.btnGo->isEnabled());
    QCOMPARE(f.cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(f.lbFiles->currentRow(), 0);  // the file read last
    QCOMPARE(f.lblStatus->text(), QStringLiteral("Finished"));

    const QStringList log = f.Memo1->toPlainText().split('\n');
    QVERIFY2(log.first().startsWith("Start at "), qPrintable(log.first()));
    QCOMPARE(log[1], "Output folder: " + out.path() + '/');
    // The log ends with the report, which the button beside Go opens.
    const QString report = QFileInfo(out.filePath("report.html")).absoluteFilePath();
    QCOMPARE(log.last(), "Report: " + report);
    QVERIFY2(log[log.size() - 2].startsWith("Finish at "), qPrintable(log[log.size() - 2]));
    QVERIFY(f.btnReport->isEnabled());
    QTest::mouseClick(f.btnReport, Qt::LeftButton);
    QCOMPARE(f.Urls, QList<QUrl>{QUrl::fromLocalFile(report)});
    QVERIFY(log.filter(QRegularExpression("^[1-9][0-9]* ways found$")).size() == 1);
    QVERIFY(log.filter(QRegularExpression("^[0-9]+ nodes marked for split$")).size() == 1);
    QFETCH(QStringList, logLines);
    for (const QString& l : logLines) QVERIFY2(log.contains(l), qPrintable(l));

    QFETCH(QStringList, files);
    for (const QString& name : files) {
      const QFileInfo fi(out.filePath(name));
      QVERIFY2(fi.isFile(), qPrintable(name));
    }
    QVERIFY(QFileInfo(out.filePath(format == 0 ? "roads.mid" : "roads.dbf")).size() > 100);

    // The folder is a click away, and the button says which one it is.
    QVERIFY(f.btnOpenOutputFolder->isEnabled());
    QCOMPARE(f.btnOpenOutputFolder->toolTip(), out.path() + '/');
    f.Urls.clear();
    QTest::mouseClick(f.btnOpenOutputFolder, Qt::LeftButton);
    QCOMPARE(f.Urls.size(), 1);
    QCOMPARE(QDir(f.Urls[0].toLocalFile()), QDir(out.path()));
  }

  // The table encoding: a small choice beside the options, system by
  // default, kept in the settings file only once a user chose one, and a
  // hand-set code page shown as it is.
  void encodingChoice() {
    {
      TTestForm f;
      QVERIFY(f.findChild<QComboBox*>(QStringLiteral("cbEncoding")));
      QCOMPARE(f.lblEncoding->text(), QStringLiteral("Table encoding"));
      QCOMPARE(f.cbEncoding->currentData().toInt(), 0);
      QCOMPARE(f.cbEncoding->currentText(), QStringLiteral("System (%1)").arg(SystemAnsiCodePage()));
      QCOMPARE(f.cbEncoding->itemText(1), QStringLiteral("UTF-8"));
      QVERIFY(f.cbEncoding->findText(QStringLiteral("1251 Cyrillic")) > 1);
      QCOMPARE(f.CurrentOptions().Encoding, uint16_t(0));
      f.close();
    }
    QVERIFY(!ReadText(SettingsFile()).contains("encoding"));
    {
      TTestForm f;
      f.cbEncoding->setCurrentIndex(f.cbEncoding->findData(65001));
      QCOMPARE(f.CurrentOptions().Encoding, uint16_t(65001));
      f.close();
    }
    QVERIFY(MainSection(ReadText(SettingsFile())).contains("encoding=utf-8"));
    {
      TTestForm f;
      QCOMPARE(f.cbEncoding->currentText(), QStringLiteral("UTF-8"));
    }
    WriteSettings("[main]\nencoding=866\n");
    TTestForm g;
    QCOMPARE(g.cbEncoding->currentText(), QStringLiteral("866"));
    QCOMPARE(g.CurrentOptions().Encoding, uint16_t(866));
  }

  // A format that cannot hold the chosen encoding stops the run before it
  // starts, with the reason in the error box.
  void encodingTheFormatCannotHold() {
    QTemporaryDir out;
    WriteSettings("[main]\nencoding=866\n");
    TTestForm g;
    g.show();
    g.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), out.path());
    g.rgOutputFormat->SetItemIndex(0);  // MIF
    QTest::mouseClick(g.btnGo, Qt::LeftButton);
    QCOMPARE(g.Errors.size(), 1);
    QVERIFY2(g.Errors[0].contains("no charset for code page 866"), qPrintable(g.Errors[0]));
    QVERIFY(g.Memo1->toPlainText().isEmpty());
    QVERIFY(QDir(out.path()).isEmpty());
  }

  // Today's downloads are PBF: the bundled sample converts from the window.
  void runPbfFromGo() {
    QTemporaryDir out;
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/monaco.osm.pbf"), out.path());
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    QCOMPARE(f.lblStatus->text(), QStringLiteral("Finished"));
    QVERIFY(f.Messages.isEmpty());
    const QStringList log = f.Memo1->toPlainText().split('\n');
    QVERIFY2(log[log.size() - 2].startsWith("Finish at "), qPrintable(log[log.size() - 2]));
    QVERIFY2(log.last().startsWith("Report: "), qPrintable(log.last()));
    QVERIFY(log.filter(QRegularExpression("^[1-9][0-9]* ways found$")).size() == 1);
    QVERIFY(QFileInfo(out.filePath("roads.dbf")).size() > 10000);
  }

  void runErrorShowsErrorBox() {
    QTemporaryDir dir;
    const QString missing = dir.filePath("gone");
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), missing);
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QCOMPARE(f.Errors.size(), 1);
    QVERIFY2(f.Errors[0].contains("gone"), qPrintable(f.Errors[0]));
    QVERIFY(f.Memo1->toPlainText().startsWith("Start at "));
    QVERIFY(!f.Memo1->toPlainText().contains("Finish at "));
    // The log's last line says why, as the box does.
    const QString last = f.Memo1->toPlainText().split('\n').last();
    QVERIFY2(last.startsWith("Run failed at ") && last.endsWith(f.Errors[0]), qPrintable(last));
    QCOMPARE(f.lblStatus->text(), QStringLiteral("Failed"));
    QCOMPARE(f.cursor().shape(), Qt::ArrowCursor);
    QVERIFY(!f.btnReport->isEnabled());  // no folder, no report
    QVERIFY(f.btnGo->isEnabled());
    QVERIFY(f.btnAddFiles->isEnabled());
    QVERIFY(!f.Running());
  }

  // Go into a folder that holds an earlier run's results asks first, with
  // three answers. Replace removes every file a run writes (whatever format
  // or stage wrote it) and leaves only the new run's files beside the
  // user's own; another folder opens the folder dialog and asks again when
  // that one is used too; cancel, or a cancelled dialog, leaves everything
  // as it was. The default folder (the first input's) is asked about alike.
  void outputFolderQuestion_data() {
    QTest::addColumn<QStringList>("answers");  // buttons clicked, question by question
    QTest::addColumn<QStringList>("dialog");   // folders the dialog gives: "fresh", "used", "" = cancelled
    QTest::addColumn<QString>("ranIn");        // "first", "fresh", "used", or "" for no run
    QTest::addColumn<bool>("defaultFolder");   // the output folder is the input's own
    QTest::newRow("replace") << QStringList{"btnReplace"} << QStringList{} << "first" << false;
    QTest::newRow("replace, default folder") << QStringList{"btnReplace"} << QStringList{} << "first" << true;
    QTest::newRow("cancel") << QStringList{"btnCancel"} << QStringList{} << "" << false;
    QTest::newRow("cancel, default folder") << QStringList{"btnCancel"} << QStringList{} << "" << true;
    QTest::newRow("another, empty") << QStringList{"btnChooseAnother"} << QStringList{"fresh"} << "fresh" << false;
    QTest::newRow("another, used too: asked again, replace")
        << QStringList{"btnChooseAnother", "btnReplace"} << QStringList{"used"} << "used" << false;
    QTest::newRow("another, used too: asked again, cancel")
        << QStringList{"btnChooseAnother", "btnCancel"} << QStringList{"used"} << "" << false;
    QTest::newRow("another, dialog cancelled") << QStringList{"btnChooseAnother"} << QStringList{""} << "" << true;
  }

  void outputFolderQuestion() {
    QFETCH(QStringList, answers);
    QFETCH(QStringList, dialog);
    QFETCH(QString, ranIn);
    QFETCH(bool, defaultFolder);
    QTemporaryDir root;
    const QMap<QString, QString> folders{{"first", root.filePath("first")},
                                         {"used", root.filePath("used")},
                                         {"fresh", root.filePath("fresh")}};
    const QString input = (defaultFolder ? folders["first"] : root.filePath("in")) + "/west-oakland.osm";
    QVERIFY(QDir().mkpath(QFileInfo(input).path()));
    QVERIFY(QFile::copy(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), input));
    WritePreviousResults(folders["first"], kPreviousResults);
    WritePreviousResults(folders["first"], {"notes.txt", "roads.csv"});  // the user's, not results
    WritePreviousResults(folders["used"], {"roads.dbf", "notes.txt"});
    QVERIFY(QDir().mkpath(folders["fresh"]));
    QMap<QString, QStringList> before;
    for (auto i = folders.cbegin(); i != folders.cend(); ++i) before[i.key()] = FolderNames(i.value());

    TTestForm f;
    f.show();
    f.OpenAnswers = {{input}};
    QTest::mouseClick(f.btnAddFiles, Qt::LeftButton);
    if (!defaultFolder) {
      f.FolderAnswers = {folders["first"]};
      QTest::mouseClick(f.btnOutputFolder, Qt::LeftButton);
    }
    QCOMPARE(f.MainDir, folders["first"] + '/');
    for (const QString& d : dialog) f.FolderAnswers << (d.isEmpty() ? QString() : folders[d]);
    f.FolderTitles.clear();

    TBoxAnswerer answerer(&f, QStringLiteral("OutputFolderQuestion"), answers);
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));

    // One question per used folder met, each naming its folder and the
    // first of the files found there, modal to the window; Enter does not
    // remove anything and Esc cancels.
    QCOMPARE(answerer.Shown.size(), answers.size());
    QCOMPARE(answerer.Shown[0].text, "The output folder \"" + folders["first"] +
                                         "/\" already holds the results of a run (roads.mif, roads.mid, roads.shp, ...).");
    if (answers.size() > 1)
      QCOMPARE(answerer.Shown[1].text,
               "The output folder \"" + folders["used"] + "/\" already holds the results of a run (roads.dbf).");
    for (const auto& shown : answerer.Shown) {
      QCOMPARE(shown.icon, QMessageBox::Question);
      QCOMPARE(shown.modality, Qt::WindowModal);
      QCOMPARE(shown.defaultButton, QStringLiteral("btnChooseAnother"));
      QCOMPARE(shown.escapeButton, QStringLiteral("btnCancel"));
    }
    QCOMPARE(f.FolderTitles, QStringList(dialog.size(), "Select output folder"));

    const QString log = f.Memo1->toPlainText();
    if (ranIn.isEmpty()) {
      // Nothing touched, nothing run.
      QVERIFY(log.isEmpty());
      QVERIFY(f.lblStatus->text().isEmpty());
      for (auto i = folders.cbegin(); i != folders.cend(); ++i) QCOMPARE(FolderNames(i.value()), before[i.key()]);
      QCOMPARE(f.MainDir, folders[dialog.isEmpty() || dialog[0].isEmpty() ? "first" : dialog[0]] + '/');
      return;
    }
    QCOMPARE(f.lblStatus->text(), QStringLiteral("Finished"));
    QCOMPARE(f.MainDir, folders[ranIn] + '/');
    QCOMPARE(f.Label2->text(), folders[ranIn] + '/');
    // The other folders are as they were.
    for (auto i = folders.cbegin(); i != folders.cend(); ++i)
      if (i.key() != ranIn) QCOMPARE(FolderNames(i.value()), before[i.key()]);
    // Only the new run's files beside the user's own (and the input).
    const QString out = folders[ranIn];
    const QDateTime earlier(QDate(2021, 1, 1), QTime(0, 0));
    QStringList old, mine;
    for (const QFileInfo& fi : QDir(out).entryInfoList(QDir::Files, QDir::Name)) {
      if (fi.fileName() == "notes.txt" || fi.fileName() == "roads.csv") mine << fi.fileName();
      else if (fi.filePath() != input && fi.lastModified() < earlier) old << fi.fileName();
    }
    QVERIFY2(old.isEmpty(), qPrintable(old.join(", ")));
    QCOMPARE(mine, QStringList(before[ranIn]).filter(QRegularExpression("^(notes.txt|roads.csv)$")));
    QVERIFY(QFileInfo(out + "/roads.shp").lastModified() > earlier);
    QVERIFY(QFileInfo::exists(input));
    const QStringList lines = log.split('\n');
    const int removed = ranIn == "first" ? int(kPreviousResults.size()) : ranIn == "used" ? 1 : 0;
    if (removed > 0) QCOMPARE(lines[0], QString::fromStdString(RemovedFilesLine(removed)));
    QVERIFY2(lines[removed > 0 ? 1 : 0].startsWith("Start at "), qPrintable(log));
    QVERIFY(lines.contains("Output folder: " + out + '/'));
  }

  // An input that has gone since it was listed is reported before the
  // question, and nothing in the folder is touched.
  void missingInputTouchesNothing() {
    QTemporaryDir dir;
    const QString input = dir.filePath("gone.osm");
    WriteText(input, kFindings);
    WritePreviousResults(dir.path(), kPreviousResults);
    const QStringList before = FolderNames(dir.path());
    TTestForm f;
    f.show();
    f.AddPaths({input});
    QVERIFY(QFile::remove(input));
    TBoxAnswerer answerer(&f, QStringLiteral("OutputFolderQuestion"), {"btnReplace"});
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(!f.Running());
    QCOMPARE(f.Errors, QStringList{"Cannot open file \"" + input + "\". No such file or directory"});
    QVERIFY(answerer.Shown.isEmpty());
    QCOMPARE(FolderNames(dir.path()), QStringList(before).filter(QRegularExpression("^(?!gone.osm$)")));
    QVERIFY(f.Memo1->toPlainText().isEmpty());
    QVERIFY(f.btnGo->isEnabled() && f.btnAddFiles->isEnabled());
  }

  // A run whose thread cannot start leaves the window as it was: Go, not
  // Stop; nothing locked, not busy; the reason in the error box.
  void failedStartLeavesTheWindowIdle() {
    QTemporaryDir out;
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), out.path());
    f.FailStart = true;
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(!f.Running());
    QCOMPARE(f.Errors.size(), 1);
    QVERIFY2(f.Errors[0].startsWith("The run could not be started: "), qPrintable(f.Errors[0]));
    QCOMPARE(f.btnGo->text(), QStringLiteral("Go !"));
    QVERIFY(f.btnGo->isEnabled());
    for (QWidget* w : OptionControls(f)) {
      const bool sub = w == f.cbSubnets || w == f.cbTopologicalChecks || w == f.cbOverpasses;
      QCOMPARE(w->isEnabled(), !sub);
    }
    QCOMPARE(f.cursor().shape(), Qt::ArrowCursor);
    QVERIFY(!f.btnOpenOutputFolder->isEnabled());
    // The next press runs.
    f.FailStart = false;
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.Running());
    QVERIFY(f.WaitForRunEnd());
    QCOMPARE(f.lblStatus->text(), QStringLiteral("Finished"));
  }

  // Where things are: each run's log after a blank line, its first lines
  // naming the output folder, its summary naming error.txt with its lines
  // and the loss of characters with the window's own way to keep them.
  void logSaysWhereThingsAre() {
    QTemporaryDir dir;
    const QString input = dir.filePath("findings.osm");
    WriteText(input, kFindings);
    TTestForm f;
    f.show();
    f.AddPaths({input});
    f.cbEncoding->setCurrentIndex(f.cbEncoding->findData(1252));
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    const QString first = f.Memo1->toPlainText();
    // Again into the same folder, replacing the first run's results.
    TBoxAnswerer answerer(&f, QStringLiteral("OutputFolderQuestion"), {"btnReplace"});
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QCOMPARE(answerer.Shown.size(), 1);

    const QString both = f.Memo1->toPlainText();
    QVERIFY(both.startsWith(first + "\n\nRemoved "));
    QCOMPARE(both.count("\n\n"), 1);
    for (const QString& run : {first, both.mid(first.size() + 2)}) {
      QStringList lines = run.split('\n');
      if (lines[0].startsWith("Removed ")) lines.removeFirst();
      QVERIFY2(lines[0].startsWith("Start at "), qPrintable(run));
      QCOMPARE(lines[1], "Output folder: " + dir.path() + '/');
      const int64_t errors = CountLines(dir.filePath("error.txt").toStdString());
      QVERIFY(errors > 0);
      const QStringList end = lines.mid(lines.size() - 5);
      QCOMPARE(end[0], QStringLiteral("Table roads (SHP): 1 record"));
      QCOMPARE(end[1], QStringLiteral("File error.txt: %1 line%2 of findings about the data")
                           .arg(errors)
                           .arg(errors == 1 ? "" : "s"));
      QCOMPARE(end[2], QStringLiteral("1 name lost characters that code page 1252 cannot hold (written as \"?\"); "
                                      "choose \"Table encoding: UTF-8\" to keep them"));
      QVERIFY2(end[3].startsWith("Finish at "), qPrintable(end[3]));
      QVERIFY2(end[4].startsWith("Report: "), qPrintable(end[4]));
    }
  }

  // Larger than its content, the window gives the room to the file list
  // and the log; the options keep their size. Back to the smallest size,
  // everything is as at the start.
  void windowGrows() {
    TTestForm f;
    QVERIFY(f.ShowActive());
    auto* options = f.findChild<QWidget*>("OptionsPanel");
    const QSize start = f.size();
    const QSize list = f.lbFiles->size(), log = f.Memo1->size(), optionsSize = options->size();
    f.resize(start + QSize(300, 240));
    QCoreApplication::processEvents();
    QCOMPARE(f.size(), start + QSize(300, 240));
    QCOMPARE(f.findChild<QWidget*>("ClientArea")->size(), QSize(704 + 300, 604 + 240));
    QVERIFY(!f.ScrollArea()->verticalScrollBar()->isVisible());
    // The height: about a third to the list, the rest to the log.
    const int listGrew = f.lbFiles->height() - list.height(), logGrew = f.Memo1->height() - log.height();
    QVERIFY2(listGrew >= 60 && logGrew >= 150 && listGrew + logGrew >= 240,
             qPrintable(QStringLiteral("list %1, log %2").arg(listGrew).arg(logGrew)));
    QVERIFY(f.lbFiles->geometry().bottom() < f.Label2->geometry().top());  // the list stays above the folder
    QVERIFY(f.lbFiles->width() > list.width() + 250);
    QCOMPARE(f.Memo1->width(), log.width() + 300);
    QCOMPARE(options->height(), optionsSize.height());
    f.resize(start);
    QCoreApplication::processEvents();
    QCOMPARE(f.lbFiles->size(), list);
    QCOMPARE(f.Memo1->size(), log);
    QCOMPARE(options->size(), optionsSize);
    // Never below the whole content where the screen has room for it.
    f.resize(start - QSize(50, 50));
    QCOMPARE(f.size(), start);
  }

  // A file with the wrong header: the run goes on to its end without that
  // file's ways and fails. What the run would show in a box goes into the
  // log, which names the file in its failure line before the finish line,
  // and one error box says it when the run has ended.
  void headerFailureIsOneErrorBox() {
    QTemporaryDir dir;
    WriteText(dir.filePath("old.osm"), "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.5\">\n</osm>\n");
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(dir.filePath("old.osm"), dir.path());
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QVERIFY(f.Messages.isEmpty());
    QCOMPARE(f.Errors.size(), 1);
    QVERIFY2(f.Errors[0].startsWith("OSM version in header is not correct - should be 0.6 in file \"" +
                                    dir.filePath("old.osm") + '"'),
             qPrintable(f.Errors[0]));
    QCOMPARE(f.lblStatus->text(), QStringLiteral("Failed"));
    const QStringList log = f.Memo1->toPlainText().split('\n');
    QVERIFY(log.contains("OSM version in header is not correct - should be 0.6"));
    QCOMPARE(log[log.size() - 3], "Run failed: " + f.Errors[0]);
    QVERIFY2(log[log.size() - 2].startsWith("Finish at "), qPrintable(log[log.size() - 2]));
    QVERIFY2(log.last().startsWith("Report: "), qPrintable(log.last()));
  }

  // The error box is modal to the window, with the error icon, and Qt keeps
  // every click from the window while it is open, also without a window
  // manager (offscreen): Go behind it starts nothing, and no second box
  // piles up. Once it is closed, the same clicks reach the window again.
  void errorBoxHoldsTheWindow() {
    QTemporaryDir dir;
    WriteText(dir.filePath("old.osm"), "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.5\">\n</osm>\n");
    TTestForm f;
    f.RealErrorBox = true;
    QVERIFY(f.ShowActive());
    f.ChooseInputAndOutput(dir.filePath("old.osm"), dir.path());
    f.FolderTitles.clear();
    // A click as the window system delivers it, which modality may stop.
    auto clickThroughWindow = [&f](QWidget* w) {
      QTest::mouseClick(f.windowHandle(), Qt::LeftButton, {}, w->mapTo(&f, w->rect().center()));
      QCoreApplication::processEvents();
    };
    bool inspected = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, &f, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      poll.stop();
      inspected = true;
      QCOMPARE(box->objectName(), QStringLiteral("ErrorBox"));
      QCOMPARE(box->icon(), QMessageBox::Critical);
      QVERIFY(box->isModal());
      QCOMPARE(box->windowModality(), Qt::WindowModal);
      QCOMPARE(box->parentWidget(), &f);
      QVERIFY(!f.Running());
      QVERIFY(f.btnGo->isEnabled());
      const QString log = f.Memo1->toPlainText();
      for (int i = 0; i < 3; ++i) clickThroughWindow(f.btnGo);
      clickThroughWindow(f.btnOutputFolder);
      QVERIFY(!f.Running());
      QCOMPARE(f.Memo1->toPlainText(), log);
      QVERIFY(f.FolderTitles.isEmpty());
      int boxes = 0;
      for (const QMessageBox* b : f.findChildren<QMessageBox*>()) boxes += b->isVisible();
      QCOMPARE(boxes, 1);
      box->button(QMessageBox::Ok)->click();
    });
    TBoxAnswerer question(&f, QStringLiteral("OutputFolderQuestion"), {});  // a Go that got through
    QSignalSpy ended(&f, &TForm1::RunFinished);
    poll.start();
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(ended.wait(60000));
    QVERIFY(inspected);
    QVERIFY(question.Shown.isEmpty());
    QCOMPARE(f.Errors.size(), 1);
    QVERIFY(!QApplication::activeModalWidget());
    clickThroughWindow(f.btnOutputFolder);
    QCOMPARE(f.FolderTitles, QStringList{"Select output folder"});
  }

  // What the run reports between two looks of the window costs one wake-up:
  // a burst of progress points never floods the window's event queue, and
  // nothing reported is lost or reordered.
  void runReportsAreCoalesced() {
    int wakes = 0;
    TWindowRunUI ui([&] { ++wakes; });
    for (int i = 0; i < 1000; ++i) {
      ui.Progress(i % 101);
      ui.Log("line " + std::to_string(i));
    }
    ui.SelectFile(2);
    TRunStage pass;
    pass.Number = 2;
    pass.Count = 3;
    ui.Stage(pass);
    // A box the run would show is a line of the log, in its place.
    ui.MessageBox("one");
    ui.Log("line 1000");
    QCOMPARE(wakes, 1);
    TRunReport r = ui.Take();
    QCOMPARE(r.Log.size(), 1002);
    QCOMPARE(r.Log.first(), QStringLiteral("line 0"));
    QCOMPARE(r.Log.mid(999), (QStringList{"line 999", "one", "line 1000"}));
    QCOMPARE(r.Progress, 999 % 101);
    QCOMPARE(r.File, 2);
    QVERIFY(r.Stage && r.Stage->Number == 2);
    QVERIFY(ui.Take().Empty());
    // The same percentage again is not news; a new one wakes the window again.
    ui.Progress(999 % 101);
    QCOMPARE(wakes, 1);
    ui.Progress(100);
    QCOMPARE(wakes, 2);
    QCOMPARE(ui.Take().Progress, 100);
    // The stop request reaches the run's side.
    QVERIFY(!ui.CancelRequested());
    ui.RequestCancel();
    QVERIFY(ui.CancelRequested());
  }

  void stageTexts() {
    const struct {
      TStageKind kind;
      const char* name;
      int number, count, file, files;
      QString text;
    } cases[] = {
        {TStageKind::skPass, "Pass 2/3", 2, 3, 0, 1, "Pass 2 of 3"},
        {TStageKind::skPass, "Pass 1/3", 1, 3, 3, 5, "Pass 1 of 3, file 4 of 5"},
        {TStageKind::skNetwork, "Network import", 1, 3, -1, 0, "Network import"},
        {TStageKind::skCheck, "Parallel links", 3, 7, -1, 0, "Checks 3 of 7: Parallel links"},
    };
    for (const auto& c : cases) {
      TRunStage s;
      s.Kind = c.kind;
      s.Name = c.name;
      s.Number = c.number;
      s.Count = c.count;
      s.File = c.file;
      s.FileCount = c.files;
      QCOMPARE(StageText(s), c.text);
    }
  }

  // The run goes on its own thread: a timer on the window's thread is never
  // more than 100 ms late, in every stage of a run with the network and all
  // checks over a few megabytes. On a busy machine what is the machine's is
  // left out: the time the thread waited for a processor (the kernel counts
  // it), and a late wake-up that a bare sleeping thread saw as well.
  void windowAnswersDuringRun() {
    QTemporaryDir out;
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(FGrid, out.path());
    f.cbBuildNetwork->setChecked(true);
    for (QCheckBox* c : {f.cbSubnets, f.cbTopologicalChecks, f.cbOverpasses}) c->setChecked(true);

    struct TWorst {
      qint64 late = 0, window = 0;  // ms: the whole lateness, and the part not spent waiting for a processor
    };
    QMap<QString, TWorst> worst;  // by the status text shown when the wait began
    QElapsedTimer clock;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    qint64 last = 0, lastQueued = QueuedMs();
    QString stage = QStringLiteral("(start)");
    connect(&tick, &QTimer::timeout, &f, [&] {
      const qint64 now = clock.elapsed(), queued = QueuedMs();
      const qint64 late = now - last - 10;
      TWorst& w = worst[stage];
      w.late = std::max(w.late, late);
      w.window = std::max(w.window, late - (queued - lastQueued));
      last = now;
      lastQueued = queued;
      if (!f.lblStatus->text().isEmpty()) stage = f.lblStatus->text();
    });
    // The clock runs before the click: a Go that returned only after the run
    // would be one late tick.
    TBareTimer bare;
    clock.start();
    tick.start();
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    tick.stop();
    const int64_t machine = bare.Stop();
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));

    QString report = QStringLiteral("a bare thread beside it: %1 ms; ").arg(machine);
    for (auto i = worst.cbegin(); i != worst.cend(); ++i)
      report += QStringLiteral("%1: %2 ms (%3 ms the window's); ").arg(i.key()).arg(i->late).arg(i->window);
    qInfo("Longest lateness per stage: %s", qPrintable(report));
    for (const TWorst& w : worst) QVERIFY2(w.window < 100 + machine, qPrintable(report));
    // The status said where the run was: the ticks met the longer stages (a
    // short one can fall between two ticks on a busy machine; the attribute
    // import is one, its pieces mostly done beside the network import).
    for (const char* s : {"^Pass [1-3] of 3$", "^Network import$", "^Checks [1-9] of 9: "}) {
      const QRegularExpression stage(QString::fromLatin1(s));
      const auto shown = [&](const QString& k) { return stage.match(k).hasMatch(); };
      QVERIFY2(std::any_of(worst.keyBegin(), worst.keyEnd(), shown), qPrintable(report));
    }
    QVERIFY(QFileInfo(out.filePath("overpasses.shp")).isFile());  // the last check ran
  }

  // Stop (the button or Esc) ends the run at its next progress point: the
  // tables written so far are complete, no half network stays, and the log
  // says it was cancelled.
  void stopMidRun_data() {
    QTest::addColumn<QString>("when");  // the log line that starts the stage to stop in
    QTest::addColumn<bool>("escape");   // Esc instead of the button
    QTest::newRow("button, writing the roads") << "Writing output" << false;
    QTest::newRow("Esc, writing the roads") << "Writing output" << true;
    QTest::newRow("button, network import") << "Importing Linvoro 4 network" << false;
  }

  void stopMidRun() {
    QFETCH(QString, when);
    QFETCH(bool, escape);
    QTemporaryDir out;
    TTestForm f;
    QVERIFY(f.ShowActive());
    f.ChooseInputAndOutput(FGrid, out.path());
    f.cbBuildNetwork->setChecked(true);
    f.cbTopologicalChecks->setChecked(true);

    bool stopped = false;
    QString statusAfterStop;
    bool goAfterStop = true;
    connect(f.Memo1, &QPlainTextEdit::textChanged, &f, [&] {
      if (stopped || !f.Memo1->toPlainText().split('\n').contains(when)) return;
      stopped = true;
      if (escape)
        QTest::keyClick(&f, Qt::Key_Escape);
      else
        QTest::mouseClick(f.btnGo, Qt::LeftButton);
      statusAfterStop = f.lblStatus->text();
      goAfterStop = f.btnGo->isEnabled();
    });
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(f.WaitForRunEnd());
    QVERIFY(stopped);
    QCOMPARE(statusAfterStop, QStringLiteral("Stopping\u2026"));
    QVERIFY(!goAfterStop);  // one stop is enough

    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    const QStringList log = f.Memo1->toPlainText().split('\n');
    QVERIFY2(log[log.size() - 2].startsWith("Run cancelled at "), qPrintable(log[log.size() - 2]));
    // A stopped run has its report too, and says so there.
    QCOMPARE(log.last(), "Report: " + QFileInfo(out.filePath("report.html")).absoluteFilePath());
    QVERIFY(f.btnReport->isEnabled());
    QVERIFY(!log.contains("Object check"));
    QCOMPARE(f.lblStatus->text(), QStringLiteral("Stopped"));
    QCOMPARE(f.btnGo->text(), QStringLiteral("Go !"));
    QVERIFY(f.btnGo->isEnabled() && f.cbBuildNetwork->isEnabled());
    // The road table holds what was written before the stop, and GDAL reads it.
    const int64_t rows = GdalRows(out.filePath("roads.shp"));
    QVERIFY2(rows > 0, qPrintable(QString::number(rows)));
    QVERIFY(!QFileInfo::exists(out.filePath("linvoro_config.ini")));
    QVERIFY(!QFileInfo::exists(out.filePath("nodes.shp")));
  }

  void closeDuringRun_data() {
    QTest::addColumn<bool>("stop");
    QTest::newRow("answered no: the run goes on") << false;
    QTest::newRow("answered yes: stopped, then closed") << true;
  }

  void closeDuringRun() {
    QFETCH(bool, stop);
    QTemporaryDir out;
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(FGrid, out.path());
    f.ConfirmAnswer = stop;
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    f.close();
    QCOMPARE(f.Confirms, QStringList{"A run is going on. Stop it and close the window?"});
    QVERIFY(f.isVisible());  // not before the run has stopped
    QCOMPARE(f.StopRequested(), stop);
    QVERIFY(f.WaitForRunEnd());
    const QString log = f.Memo1->toPlainText();
    QCOMPARE(log.contains("Run cancelled at "), stop);
    QCOMPARE(log.contains("Finish at "), !stop);
    QCOMPARE(f.isVisible(), !stop);
    // Closed after the stop, the settings are saved as on any close.
    QCOMPARE(QFileInfo(SettingsFile()).isFile(), stop);
    if (!stop) f.close();
    QVERIFY(!f.isVisible());
    QCOMPARE(f.Confirms.size(), 1);  // nothing to ask once the run is over
  }

  // Go follows the list whichever way it changes, and a run without files is
  // never started.
  void goFollowsTheList() {
    QTemporaryDir dir, out;
    WriteText(dir.filePath("a.osm"), "");
    TTestForm f;
    f.show();
    const struct {
      const char* step;
      std::function<void()> act;
      bool go;
    } steps[] = {
        {"add", [&] { f.AddPaths({dir.filePath("a.osm")}); }, true},
        {"delete", [&] { f.lbFiles->setCurrentRow(0); QTest::keyClick(f.lbFiles, Qt::Key_Delete); }, false},
        {"drop", [&] { DropOnList(f, {QUrl::fromLocalFile(dir.filePath("a.osm"))}); }, true},
        {"clear", [&] { f.lbFiles->clear(); }, false},
    };
    for (const auto& s : steps) {
      s.act();
      QVERIFY2(f.btnGo->isEnabled() == s.go, s.step);
    }
    // Pressed anyway (a stale button, a shortcut): nothing is run, nothing
    // written.
    f.MainDir = out.path() + '/';
    f.btnGoClick();
    QVERIFY(!f.Running());
    QVERIFY(f.Memo1->toPlainText().isEmpty());
    QVERIFY(QDir(out.path()).isEmpty());
  }

  // Tab runs down each column in turn; a radio group is entered on its
  // checked button, however it came to be checked; the log shows its focus.
  void keyboard() {
    WriteSettings("[main]\nbuildnetwork=1\nspeedunit=0\n");
    TTestForm f;
    QVERIFY(f.ShowActive());
    f.AddPaths({QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm")});
    const QStringList order{"lbFiles", "btnAddFiles", "btnAddFolderContents", "btnOutputFolder",
                            "rgOutputFormat/SHP", "rgSpeedUnit/km/h", "rgDriving/Skip", "cbEncoding",
                            "cb2", "cb1", "cbSplitLoop", "cbSplitLinks", "cbReport", "cbCompare",
                            "rgNameRef/Name && Ref (2 fields)", "TrackBar1", "cbBuildNetwork", "cbSubnets",
                            "cbTopologicalChecks", "cbOverpasses",
                            "Memo1", "btnGo"};
    auto walk = [&](Qt::Key key) {
      QStringList seen;
      for (int i = 0; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), key);
        seen << FocusName();
      }
      return seen;
    };
    f.lbFiles->setFocus();
    QCOMPARE(FocusName(), QStringLiteral("lbFiles"));
    QCOMPARE(walk(Qt::Key_Tab), order.mid(1) + order.mid(0, 1));
    QStringList back = order;
    std::reverse(back.begin(), back.end());
    QCOMPARE(walk(Qt::Key_Backtab), back);
    // A choice made from code after the group had the focus.
    f.rgOutputFormat->SetItemIndex(0);
    f.btnOutputFolder->setFocus();
    QTest::keyClick(f.btnOutputFolder, Qt::Key_Tab);
    QCOMPARE(FocusName(), QStringLiteral("rgOutputFormat/MIF"));
    // The arrow keys choose within the group, and Tab leaves it.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    QCOMPARE(f.rgOutputFormat->ItemIndex(), 1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(FocusName(), QStringLiteral("rgSpeedUnit/km/h"));

    // The log's frame takes the highlight colour when it has the focus.
    f.btnGo->setFocus();
    const QColor highlight = f.Memo1->palette().color(QPalette::Highlight);
    const QPoint edge(0, f.Memo1->height() / 2);
    QVERIFY(f.Memo1->grab().toImage().pixelColor(edge) != highlight);
    f.Memo1->setFocus();
    QVERIFY(f.Memo1->hasFocus());
    QCOMPARE(f.Memo1->grab().toImage().pixelColor(edge), highlight);

    // F1 opens the help page.
    QTest::keyClick(&f, Qt::Key_F1);
    QCOMPARE(f.Urls.size(), 1);
    QCOMPARE(QFileInfo(f.Urls[0].toLocalFile()).fileName(), QStringLiteral("help.html"));
  }

  // On a screen with less room than the window needs, the window becomes
  // resizable within the screen and its content scrolls: tabbing brings every
  // control into view. Where it fits, the fixed size stays.
  void smallScreens_data() {
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<bool>("fits");
    QTest::newRow("1366 x 768 at 100 %") << QRect(0, 0, 1366, 728) << true;
    QTest::newRow("1366 x 768 at 125 %") << QRect(0, 0, 1093, 582) << false;
    QTest::newRow("1024 x 600 netbook") << QRect(0, 0, 1024, 570) << false;
    QTest::newRow("800 x 480 at 150 %") << QRect(0, 0, 533, 300) << false;
  }

  void smallScreens() {
    QFETCH(QRect, screen);
    QFETCH(bool, fits);
    TTestForm f;
    f.Screen = screen;
    QVERIFY(f.ShowActive());
    f.AddPaths({QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm")});
    QCOMPARE(f.minimumSize() == f.size(), fits);
    QVERIFY(f.width() <= screen.width() && f.height() <= screen.height());
    QScrollArea* scroll = f.ScrollArea();
    QCOMPARE(scroll->verticalScrollBar()->isVisible() || scroll->horizontalScrollBar()->isVisible(), !fits);
    if (fits) {
      QCOMPARE(f.findChild<QWidget*>("ClientArea")->size(), QSize(704, 604));
      return;
    }
    // Every stop of the tab order can be seen once it has the focus: whole,
    // or filling half the view when it is larger than that.
    f.lbFiles->setFocus();
    QStringList hidden;
    const QRect view = scroll->viewport()->rect();
    for (int i = 0; i < 24; ++i) {
      QWidget* w = QApplication::focusWidget();
      const QRect shown(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size());
      const QRect seen = view.intersected(shown);
      const bool larger = shown.height() > view.height() || shown.width() > view.width();
      if (larger ? 2 * seen.height() < std::min(shown.height(), view.height()) : seen != shown)
        hidden << FocusName();
      QTest::keyClick(w, Qt::Key_Tab);
    }
    QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(", ")));
    // A size the user chose stays while the screen has room for it.
    const QSize chosen = f.minimumSize() + QSize(10, 10);
    f.resize(chosen);
    f.FitToScreen();
    QCOMPARE(f.size(), chosen);
    // A larger screen later: the whole content is back, nothing scrolls.
    f.Screen = QRect(0, 0, 1920, 1040);
    f.FitToScreen();
    QCOMPARE(f.minimumSize(), f.size());
    QCOMPARE(f.findChild<QWidget*>("ClientArea")->size(), QSize(704, 604));
  }

  // Files given on the window's command line and files or folders dropped on
  // the list are listed as "Add Files" and "Add Files in folder" list them.
  void commandLineAndDrop() {
    const TWindowArguments a = ParseWindowArguments({"a.osm", "--output", "o", "/x/b.osm", "--screenshot", "s.png"});
    QCOMPARE(a.Paths, (QStringList{"a.osm", "/x/b.osm"}));
    QCOMPARE(a.Output, QStringLiteral("o"));
    QCOMPARE(a.Screenshot, QStringLiteral("s.png"));
    QCOMPARE(ParseWindowArguments({"/d/only.osm"}).Paths, QStringList{"/d/only.osm"});

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("extracts"));
    for (const char* name : {"a.osm", "extracts/b.osm", "extracts/C.OSM", "extracts/notes.txt"})
      WriteText(dir.filePath(name), "");
    const QString a1 = dir.filePath("a.osm"), folder = dir.filePath("extracts"), gone = dir.filePath("gone.osm");
    const QStringList listed{a1, folder + "/b.osm", folder + "/C.OSM"};

    // The command line: a file, a folder, and a file that is not there.
    {
      TTestForm f;
      f.show();
      QDir::setCurrent(dir.path());
      f.AddPaths({"a.osm", folder, gone});
      QCOMPARE(ListTexts(f.lbFiles), listed);
      QCOMPARE(f.Errors, QStringList{QStringLiteral("The file \"%1\" does not exist.").arg(gone)});
      QCOMPARE(f.MainDir, dir.path() + '/');
      QVERIFY(f.btnGo->isEnabled());
    }
    // A drop of the same; a web link is refused, and a move is taken as a
    // copy so that the file manager keeps the files.
    {
      TTestForm f;
      f.show();
      QVERIFY(!DropOnList(f, {QUrl("https://example.org/a.osm")}));
      QVERIFY(DropOnList(f, {QUrl::fromLocalFile(a1), QUrl::fromLocalFile(folder)}, Qt::MoveAction | Qt::CopyAction));
      QCOMPARE(ListTexts(f.lbFiles), listed);
      QVERIFY(!DropOnList(f, {QUrl::fromLocalFile(a1)}, Qt::MoveAction));
      QCOMPARE(f.lbFiles->count(), 3);
      QCOMPARE(f.MainDir, dir.path() + '/');
      QVERIFY(f.btnGo->isEnabled());
      QVERIFY(f.Errors.isEmpty());
    }
  }

  void menuAboutAndHelp() {
    TTestForm f;
    f.About1->trigger();
    QCOMPARE(f.Messages, QStringList{"This is version 1.20"});
    f.Help1->trigger();
    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    QCOMPARE(f.Urls.size(), 1);
    QVERIFY(f.Urls[0].isLocalFile());
    QCOMPARE(QFileInfo(f.Urls[0].toLocalFile()).fileName(), QStringLiteral("help.html"));
    QVERIFY(ReadText(f.Urls[0].toLocalFile()).contains("Go !"));
  }

  // The page or folder is handed to xdg-open, which Qt counts as shown once
  // it has started; one that then finds no program to show it with ends
  // with an error status, and the window says so.
  void desktopCannotShow_data() {
    QTest::addColumn<bool>("help");  // else the output folder
    QTest::addColumn<int>("status");  // xdg-open's
    QTest::newRow("help shown") << true << 0;
    QTest::newRow("help, no browser") << true << 3;
    QTest::newRow("folder shown") << false << 0;
    QTest::newRow("folder, no file manager") << false << 4;
  }

  void desktopCannotShow() {
    QFETCH(bool, help);
    QFETCH(int, status);
    QTemporaryDir bin, out;
    const QString called = bin.filePath("called");
    WriteText(bin.filePath("xdg-open"),
              QStringLiteral("#!/bin/sh\necho \"$1\" >\"%1\"\nexit %2\n").arg(called).arg(status).toUtf8());
    QVERIFY(QFile::setPermissions(bin.filePath("xdg-open"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ':' + path);
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });

    TTestForm f;
    f.show();
    f.RealOpenUrl = true;
    QString shown;
    if (help) {
      f.Help1->trigger();
      shown = QString::fromStdString(DataFileName("help.html"));
    } else {
      f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), out.path());
      QTest::mouseClick(f.btnGo, Qt::LeftButton);
      QVERIFY(f.WaitForRunEnd());
      QTest::mouseClick(f.btnOpenOutputFolder, Qt::LeftButton);
      shown = out.path() + '/';
    }
    QTRY_VERIFY(QFileInfo::exists(called));
    QTRY_VERIFY(f.findChildren<QProcess*>().isEmpty());
    QCOMPARE(QDir(ReadText(called).trimmed()), QDir(shown));
    if (status == 0)
      QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    else
      QCOMPARE(f.Errors,
               QStringList{QStringLiteral("No program could show \"%1\" (xdg-open ended with status %2).")
                               .arg(shown, QString::number(status))});
  }

  void checkForUpdates_data() {
    QTest::addColumn<QByteArray>("versionFile");  // empty: no such file
    QTest::addColumn<QString>("source");         // "file" for the version file, else as given
    QTest::addColumn<QString>("message");        // part of the message or question shown
    QTest::addColumn<bool>("asked");
    QTest::newRow("no source") << QByteArray() << "" << "No update source is configured" << false;
    QTest::newRow("missing file") << QByteArray() << "file" << "could not be reached" << false;
    QTest::newRow("nothing listens") << QByteArray() << "http://127.0.0.1:9/version.txt" << "could not be reached"
                                     << false;
    QTest::newRow("same version") << QByteArray("1.20\n") << "file" << "You have the latest version" << false;
    QTest::newRow("older version") << QByteArray("1.3\r\n") << "file" << "You have the latest version" << false;
    QTest::newRow("not a version") << QByteArray("<html>") << "file" << "not with a version number" << false;
    QTest::newRow("newer, no page") << QByteArray("1.21") << "file" << "Version 1.21 of osm2trassel is available"
                                    << false;
    QTest::newRow("newer with page") << QByteArray("\n1.21\nhttps://example.org/osm2trassel\n") << "file"
                                     << "Open the download page?" << true;
  }

  void checkForUpdates() {
    QFETCH(QByteArray, versionFile);
    QFETCH(QString, source);
    QFETCH(QString, message);
    QFETCH(bool, asked);
    QTemporaryDir dir;
    const QString file = dir.filePath("version.txt");
    if (!versionFile.isEmpty()) WriteText(file, versionFile);
    TTestForm f;
    f.SetUpdateSource(source == "file" ? QUrl::fromLocalFile(file) : QUrl(source));
    f.Checkforupdates1->trigger();
    const QStringList& shown = asked ? f.Confirms : f.Messages;
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown[0].contains(message), qPrintable(shown[0]));
    QVERIFY((asked ? f.Messages : f.Confirms).isEmpty());
    QCOMPARE(f.Urls.size(), asked ? 1 : 0);
    if (asked) QCOMPARE(f.Urls[0], QUrl("https://example.org/osm2trassel"));
  }

  void versionOrder() {
    const struct {
      const char *a, *b;
      int order;
    } cases[] = {{"1.20", "1.20", 0}, {"1.20", "1.21", -1}, {"1.20", "1.3", 1},
                 {"1.20", "1.20.1", -1}, {"2", "1.99", 1}, {"1.20.0", "1.20", 0}};
    for (const auto& c : cases) QCOMPARE(CompareVersions(c.a, c.b), c.order);
  }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
