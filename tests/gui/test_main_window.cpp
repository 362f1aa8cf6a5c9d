// The main window driven as a user drives it: controls and their first
// state, the settings file read at start and written at close, the enabling
// rules, the file list, the menu, and a whole run from the "Go !" button.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "data_files.h"
#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "main_window.h"
#include "update_check.h"

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

  void ShowMessage(const QString& text) override { Messages << text; }
  void ShowError(const QString& text) override { Errors << text; }
  bool Confirm(const QString& text) override {
    Confirms << text;
    return ConfirmAnswer;
  }
  bool OpenUrl(const QUrl& url) override {
    Urls << url;
    return true;
  }
  // Adds one input file and chooses the output folder, through the buttons.
  void ChooseInputAndOutput(const QString& file, const QString& folder) {
    OpenAnswers = {{file}};
    FolderAnswers = {folder};
    QTest::mouseClick(btnAddFiles, Qt::LeftButton);
    QTest::mouseClick(btnOutputFolder, Qt::LeftButton);
  }

 protected:
  QStringList ExecuteOpenDialog() override { return OpenAnswers.isEmpty() ? QStringList() : OpenAnswers.takeFirst(); }
  QString ExecuteFolderDialog(const QString& title, const QString&) override {
    FolderTitles << title;
    return FolderAnswers.isEmpty() ? QString() : FolderAnswers.takeFirst();
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

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> FConfig;  // this test's settings folder parent
  QString SettingsFile() const { return FConfig->path() + QStringLiteral("/osm2trassel/osm2trassel.ini"); }
  void WriteSettings(const QByteArray& text) {
    QDir().mkpath(FConfig->path() + QStringLiteral("/osm2trassel"));
    WriteText(SettingsFile(), text);
  }

 private slots:
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
    QCOMPARE(f.centralWidget()->size(), QSize(704, 604));
    QVERIFY(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(f.minimumSize(), f.maximumSize());

    // Every control by its component name, with its caption.
    const struct {
      const char* name;
      QString caption;
    } captions[] = {
        {"btnAddFiles", "Add Files"},        {"btnAddFolderContents", "Add Files in folder"},
        {"btnOutputFolder", "Output folder"}, {"btnGo", "Go !"},
        {"Label2", "< folder name >"},       {"Label3", "Modes"},
        {"Label1", "Optional output:"},      {"Label4", "Simplification of geometry"},
        {"Label5", "None"},                  {"Label6", "Most"},
        {"cbSplitLoop", "Split loop links"}, {"cbSplitLinks", "Split links for routing"},
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

    QCOMPARE(Items(f.rgOutputFormat), (QStringList{"MIF", "SHP", "TAB"}));
    QCOMPARE(Items(f.rgSpeedUnit), (QStringList{"km/h", "mph", "leave as is"}));
    QCOMPARE(Items(f.rgNameRef),
             (QStringList{"Name", "Name (Ref)", "Name unless Ref is defined", "Name & Ref (2 fields)"}));
    QCOMPARE(Items(f.rgDriving), (QStringList{"Skip", "Right-hand driving", "Left-hand driving (UK etc)"}));
    QCOMPARE(ListTexts(f.cb2), (QStringList{"Pedestrian", "Bicycle", "Car"}));
    QCOMPARE(ListTexts(f.cb1), (QStringList{"Bridge", "Lanes", "Max Height", "Max Speed", "Max Weight", "Max Width",
                                            "Toll", "Tunnel"}));

    // The menu: File with its three commands, Help on the bar itself.
    QCOMPARE(f.File1->title(), QStringLiteral("File"));
    QStringList fileItems;
    for (QAction* a : f.File1->actions())
      if (!a->isSeparator()) fileItems << a->objectName() + ':' + a->text();
    QCOMPARE(fileItems, (QStringList{"Checkforupdates1:Check for updates", "About1:About", "Exit1:Exit"}));
    QVERIFY(f.MainMenu1->actions().contains(f.Help1));
    QCOMPARE(f.Help1->text(), QStringLiteral("Help"));

    // The open dialog.
    QCOMPARE(f.OpenDialog1->nameFilters(), QStringList{"OSM files (*.osm)"});
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
        << 2 << int(gfMITAB) << 2 << 0 << 0 << 15 << "001" << "000 off" << "Exit";
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
    for (const char* name : {"x.osm", "Y.OSM", "notes.txt", "z.osm.bak"}) WriteText(dir.filePath(name), "");
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
    QCOMPARE(ListTexts(f.lbFiles), (QStringList{dir.path() + "/x.osm", dir.path() + "/Y.OSM"}));
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
    // The last one: the list is empty, and Go keeps its state.
    QTest::keyClick(f.lbFiles, Qt::Key_Delete);
    QCOMPARE(f.lbFiles->count(), 0);
    QVERIFY(f.btnGo->isEnabled());
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

    // What the window looks like while the run is on: the first pending
    // event it handles at a progress point tells.
    bool seen = false, goEnabled = true, waitCursor = false, running = false, goAfterAdd = true;
    int selected = -1;
    QTimer::singleShot(0, &f, [&] {
      seen = true;
      goEnabled = f.btnGo->isEnabled();
      waitCursor = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
      running = f.Running();
      selected = f.lbFiles->currentRow();
      // Adding files mid-run must not offer a second, overlapping run.
      f.OpenAnswers = {{sample}};
      QTest::mouseClick(f.btnAddFiles, Qt::LeftButton);
      goAfterAdd = f.btnGo->isEnabled();
    });
    QTest::mouseClick(f.btnGo, Qt::LeftButton);

    QVERIFY2(f.Errors.isEmpty(), qPrintable(f.Errors.join('\n')));
    QVERIFY(f.Messages.isEmpty());
    QVERIFY(seen);
    QVERIFY(!goEnabled);
    QVERIFY(!goAfterAdd);
    QCOMPARE(f.lbFiles->count(), 2);
    QVERIFY(waitCursor);
    QVERIFY(running);
    QCOMPARE(selected, 0);
    QVERIFY(f.btnGo->isEnabled());
    QVERIFY(!QApplication::overrideCursor());

    const QStringList log = f.Memo1->toPlainText().split('\n');
    QVERIFY2(log.first().startsWith("Start at "), qPrintable(log.first()));
    QVERIFY2(log.last().startsWith("Finish at "), qPrintable(log.last()));
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

  void runErrorShowsErrorBox() {
    QTemporaryDir dir;
    const QString missing = dir.filePath("gone");
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), missing);
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QCOMPARE(f.Errors.size(), 1);
    QVERIFY2(f.Errors[0].contains("gone"), qPrintable(f.Errors[0]));
    QVERIFY(f.Memo1->toPlainText().startsWith("Start at "));
    QVERIFY(!f.Memo1->toPlainText().contains("Finish at "));
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(f.btnGo->isEnabled());
    QVERIFY(!f.Running());
  }

  void closeDuringRunWaitsForTheEnd() {
    QTemporaryDir out;
    TTestForm f;
    f.show();
    f.ChooseInputAndOutput(QStringLiteral(PROJECT_DATA_DIR "/sample/west-oakland.osm"), out.path());
    bool visibleAfterClose = false;
    QTimer::singleShot(0, &f, [&] {
      f.close();
      visibleAfterClose = f.isVisible();
    });
    QTest::mouseClick(f.btnGo, Qt::LeftButton);
    QVERIFY(visibleAfterClose);
    QVERIFY(f.Memo1->toPlainText().contains("Finish at "));
    QVERIFY(!f.isVisible());
    QVERIFY(QFileInfo(SettingsFile()).isFile());
    QVERIFY(QFileInfo(out.filePath("roads.shp")).isFile());
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
