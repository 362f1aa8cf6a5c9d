#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSlider>
#include <QStandardPaths>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>
#include <exception>

#include "data_files.h"
#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "osm_format.h"
#include "output_files.h"
#include "run_folder.h"
#include "update_check.h"
#include "version.h"
#include "window_run_ui.h"

#ifndef OSM2TRASSEL_UPDATE_URL
#define OSM2TRASSEL_UPDATE_URL ""
#endif

namespace {

constexpr int cClientWidth = 704;
constexpr int cClientHeight = 604;
constexpr int cUpdateTimeoutMs = 5000;
// Smallest window on a small screen: the log and the bar still make sense.
constexpr int cSmallestWidth = 360;
constexpr int cSmallestHeight = 240;
// Title bar and borders, until the window manager tells: enough for the
// common desktops, so that a window that only fits without them scrolls.
constexpr int cGuessedFrameWidth = 2 * 6;
constexpr int cGuessedFrameHeight = 36 + 6;

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

QString WithTrailingDelimiter(QString folder) {
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  return folder;
}

QString TrackBarHint(int position) {
  return position == 0 ? QStringLiteral("No simplification")
                       : QStringLiteral("Angular tolerance %1\u00b0").arg(position);
}

}  // namespace

TWindowArguments ParseWindowArguments(const QStringList& args) {
  TWindowArguments r;
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size())
      r.Screenshot = args[++i];
    else if (args[i] == QLatin1String("--question") && i + 1 < args.size())
      r.Question = args[++i];
    else if (args[i] == QLatin1String("--output") && i + 1 < args.size())
      r.Output = args[++i];
    else
      r.Paths << args[i];
  }
  return r;
}

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), FUpdateSource(QString::fromUtf8(OSM2TRASSEL_UPDATE_URL)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromUtf8(ProgramCaption));
  // A dialog-like window: it can be minimised and enlarged, not maximised.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  FWorker = std::make_unique<TRunWorker>();
  CreateControls();
  CreateMenu();
  SetTabOrder();
  // The client area is at least 704 x 604; a larger desktop font widens it
  // rather than cutting captions off.
  const QSize need = FClient->minimumSizeHint();
  FClient->setMinimumSize(std::max(cClientWidth, need.width()), std::max(cClientHeight, need.height()));
  FClient->resize(FClient->minimumSize());
  FitToScreen();
  FormCreate();

  connect(FWorker.get(), &TRunWorker::LogLines, this, [this](const QStringList& lines) {
    for (const QString& l : lines) Memo1->appendPlainText(l);
  });
  connect(FWorker.get(), &TRunWorker::ProgressChanged, ProgressBar1, &QProgressBar::setValue);
  connect(FWorker.get(), &TRunWorker::FileSelected, this, [this](int index) {
    if (index >= lbFiles->count()) return;
    lbFiles->clearSelection();
    lbFiles->setCurrentRow(index);
  });
  connect(FWorker.get(), &TRunWorker::StageBegun, this, [this](const TRunStage& s) { RunStageBegun(s); });
  connect(FWorker.get(), &TRunWorker::Finished, this, [this](const TRunResult& r) { RunEnded(r); });
}

TForm1::~TForm1() {
  // Stops and waits for a run still going, before anything it reads goes.
  FWorker.reset();
  // An xdg-open still going (it may wait for the browser it started) is not
  // killed with the window: it ends on its own, and its object with it.
  for (QProcess* p : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
    disconnect(p, nullptr, this, nullptr);
    p->setParent(nullptr);
  }
  // The controls go before this object does: the list empties itself after
  // the Go button has gone, and the focus moves while the client area goes.
  disconnect(lbFiles->model(), nullptr, this, nullptr);
  disconnect(qApp, nullptr, this, nullptr);
}

// ---------------------------------------------------------------- controls

void TForm1::CreateControls() {
  FScroll = new QScrollArea(this);
  FScroll->setObjectName(QStringLiteral("ScrollArea"));
  FScroll->setFrameShape(QFrame::NoFrame);
  FScroll->setFocusPolicy(Qt::NoFocus);
  // The client area fills the window and never goes below its smallest
  // size: on a small screen it scrolls.
  FScroll->setWidgetResizable(true);
  setCentralWidget(FScroll);
  auto* client = new QWidget();
  FClient = client;
  client->setObjectName(QStringLiteral("ClientArea"));

  auto named = [](auto* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
  };

  btnAddFiles = named(new QPushButton(QStringLiteral("Add Files"), client), "btnAddFiles");
  btnAddFolderContents = named(new QPushButton(QStringLiteral("Add Files in folder"), client), "btnAddFolderContents");
  btnOutputFolder = named(new QPushButton(QStringLiteral("Output folder"), client), "btnOutputFolder");
  lbFiles = named(new TFileListBox(client), "lbFiles");
  lbFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lbFiles->installEventFilter(this);
  Label2 = named(new TPathLabel(QStringLiteral("< folder name >"), client), "Label2");
  Memo1 = named(new QPlainTextEdit(client), "Memo1");
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Readable from the keyboard, and Tab moves on. The frame shows where the
  // focus is; both states have the same width so that the text stays put.
  Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Memo1->setFocusPolicy(Qt::StrongFocus);
  Memo1->setTabChangesFocus(true);
  Memo1->setStyleSheet(QStringLiteral("QPlainTextEdit { border: 1px solid palette(mid); padding: 1px; }"
                                      "QPlainTextEdit:focus { border: 2px solid palette(highlight); padding: 0px; }"));
  ProgressBar1 = named(new QProgressBar(client), "ProgressBar1");
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  lblStatus = named(new QLabel(client), "lblStatus");

  rgOutputFormat = named(new TRadioGroup(QStringLiteral("Output format"),
                                         {QStringLiteral("MIF"), QStringLiteral("SHP"), QStringLiteral("TAB"),
                                          QStringLiteral("GPKG")},
                                         client, 4),
                         "rgOutputFormat");
  rgOutputFormat->SetItemIndex(1);
  rgSpeedUnit = named(new TRadioGroup(QStringLiteral("Speed unit"),
                                      {QStringLiteral("km/h"), QStringLiteral("mph"), QStringLiteral("leave as is")},
                                      client),
                      "rgSpeedUnit");
  rgSpeedUnit->SetItemIndex(2);
  Label3 = named(new QLabel(QStringLiteral("Modes"), client), "Label3");
  cb2 = named(new TCheckListBox({QStringLiteral("Pedestrian"), QStringLiteral("Bicycle"), QStringLiteral("Car")}, client),
              "cb2");
  Label1 = named(new QLabel(QStringLiteral("Optional output:"), client), "Label1");
  cb1 = named(new TCheckListBox({QStringLiteral("Bridge"), QStringLiteral("Lanes"), QStringLiteral("Max Height"),
                                 QStringLiteral("Max Speed"), QStringLiteral("Max Weight"), QStringLiteral("Max Width"),
                                 QStringLiteral("Toll"), QStringLiteral("Tunnel")},
                                client),
              "cb1");
  rgNameRef = named(new TRadioGroup(QStringLiteral("Output of Name and Ref"),
                                    {QStringLiteral("Name"), QStringLiteral("Name (Ref)"),
                                     QStringLiteral("Name unless Ref is defined"), QStringLiteral("Name && Ref (2 fields)")},
                                    client),
                    "rgNameRef");
  rgNameRef->SetItemIndex(3);
  rgDriving = named(new TRadioGroup(QStringLiteral("Roundabout checking"),
                                    {QStringLiteral("Skip"), QStringLiteral("Right-hand driving"),
                                     QStringLiteral("Left-hand driving (UK etc)")},
                                    client),
                    "rgDriving");
  rgDriving->SetItemIndex(0);
  Label4 = named(new QLabel(QStringLiteral("Simplification of geometry"), client), "Label4");
  TrackBar1 = named(new QSlider(Qt::Horizontal, client), "TrackBar1");
  TrackBar1->setRange(0, 15);
  TrackBar1->setSingleStep(1);
  TrackBar1->setPageStep(1);
  TrackBar1->setTickPosition(QSlider::TicksBelow);
  TrackBar1->setTickInterval(1);
  TrackBar1->setValue(0);
  TrackBar1->setToolTip(TrackBarHint(0));
  Label5 = named(new QLabel(QStringLiteral("None"), client), "Label5");
  Label6 = named(new QLabel(QStringLiteral("Most"), client), "Label6");
  Label6->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  cbSplitLoop = named(new QCheckBox(QStringLiteral("Split loop links"), client), "cbSplitLoop");
  cbSplitLoop->setChecked(true);
  cbSplitLinks = named(new QCheckBox(QStringLiteral("Split links for routing"), client), "cbSplitLinks");
  cbSplitLinks->setChecked(true);
  cbBuildNetwork = named(new QCheckBox(QStringLiteral("Build Linvoro 4 network"), client), "cbBuildNetwork");
  cbSubnets = named(new QCheckBox(QStringLiteral("Detect subnets"), client), "cbSubnets");
  cbTopologicalChecks = named(new QCheckBox(QStringLiteral("Topological checks"), client), "cbTopologicalChecks");
  cbOverpasses = named(new QCheckBox(QStringLiteral("Overpasses"), client), "cbOverpasses");
  for (QCheckBox* c : {cbSubnets, cbTopologicalChecks, cbOverpasses}) c->setEnabled(false);
  btnGo = named(new QPushButton(QStringLiteral("Go !"), client), "btnGo");
  QFont bold = btnGo->font();
  bold.setBold(true);
  btnGo->setFont(bold);
  btnGo->setEnabled(false);
  btnGo->setDefault(true);
  btnOpenOutputFolder = named(new QPushButton(QStringLiteral("Open output folder"), client), "btnOpenOutputFolder");
  btnOpenOutputFolder->setEnabled(false);
  cbReport = named(new QCheckBox(QStringLiteral("Write report"), client), "cbReport");
  cbReport->setChecked(true);
  cbReport->setToolTip(QStringLiteral("report.html: the run, a map of the roads and the findings of the checks, "
                                      "for a web browser; findings.geojson: the findings with their OSM ways"));
  cbCompare = named(new QCheckBox(QStringLiteral("Compare with last run"), client), "cbCompare");
  cbCompare->setToolTip(QStringLiteral("When Go replaces a run in the output folder, its findings are kept as "
                                       "findings-earlier.geojson and each finding of the new run is marked new or "
                                       "unchanged, the ones gone as fixed"));
  btnReport = named(new QPushButton(QStringLiteral("Report"), client), "btnReport");
  btnReport->setEnabled(false);
  btnReport->setToolTip(QStringLiteral("Open the report of the last run (report.html) in the web browser"));

  OpenDialog1 = named(new QFileDialog(this), "OpenDialog1");
  OpenDialog1->setNameFilters({QString::fromLatin1(OsmFileFilter), QStringLiteral("All files (*)")});
  OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setSizeGripEnabled(true);

  // ---- layout: files on top, the options in three columns, then the run.
  // The files and the options each sit in a panel of their own, so that a run
  // can lock them as a whole and give back every control's own state after.
  auto* main = new QVBoxLayout(client);
  main->setContentsMargins(8, 8, 8, 8);
  main->setSpacing(6);

  FFilesPanel = named(new QWidget(client), "FilesPanel");
  auto* files = new QGridLayout(FFilesPanel);
  files->setContentsMargins(0, 0, 0, 0);
  files->setHorizontalSpacing(8);
  files->setVerticalSpacing(4);
  files->addWidget(lbFiles, 0, 0, 4, 1);
  files->addWidget(btnAddFiles, 0, 1);
  files->addWidget(btnAddFolderContents, 1, 1);
  files->addWidget(btnOutputFolder, 2, 1);
  files->setRowStretch(3, 1);
  auto* outputCaption = new QLabel(QStringLiteral("Output to:"), FFilesPanel);
  auto* outputRow = new QHBoxLayout();
  outputRow->setSpacing(6);
  outputRow->addWidget(outputCaption);
  outputRow->addWidget(Label2, 1);
  files->addLayout(outputRow, 4, 0, 1, 2);
  files->setColumnStretch(0, 1);
  FListHeight = fontMetrics().height() * 4 + 2 * lbFiles->frameWidth() + 6;
  lbFiles->setFixedHeight(FListHeight);
  main->addWidget(FFilesPanel);

  FOptionsPanel = named(new QWidget(client), "OptionsPanel");
  auto* options = new QHBoxLayout(FOptionsPanel);
  options->setContentsMargins(0, 0, 0, 0);
  options->setSpacing(8);
  auto* col0 = new QVBoxLayout();
  col0->addWidget(rgOutputFormat);
  col0->addWidget(rgSpeedUnit);
  col0->addWidget(rgDriving);
  col0->addLayout(CreateEncodingControl(client));
  col0->addStretch(1);
  auto* col1 = new QVBoxLayout();
  col1->setSpacing(3);
  col1->addWidget(Label3);
  col1->addWidget(cb2);
  col1->addSpacing(6);
  col1->addWidget(Label1);
  col1->addWidget(cb1);
  col1->addSpacing(8);
  col1->addWidget(cbSplitLoop);
  col1->addWidget(cbSplitLinks);
  col1->addWidget(cbReport);
  col1->addWidget(cbCompare);
  col1->addStretch(1);
  auto* col2 = new QVBoxLayout();
  col2->addWidget(rgNameRef);
  auto* simplify = new QGridLayout();
  simplify->setVerticalSpacing(0);
  simplify->addWidget(Label4, 0, 0, 1, 2);
  simplify->addWidget(TrackBar1, 1, 0, 1, 2);
  simplify->addWidget(Label5, 2, 0);
  simplify->addWidget(Label6, 2, 1);
  col2->addLayout(simplify);
  col2->addSpacing(4);
  auto* network = new QVBoxLayout();
  network->setSpacing(3);
  network->addWidget(cbBuildNetwork);
  for (QCheckBox* c : {cbSubnets, cbTopologicalChecks, cbOverpasses}) {
    // The sub-options sit under the option they depend on.
    auto* indent = new QHBoxLayout();
    indent->addSpacing(20);
    indent->addWidget(c);
    network->addLayout(indent);
  }
  col2->addLayout(network);
  col2->addStretch(1);
  options->addLayout(col0, 1);
  options->addLayout(col1, 1);
  options->addLayout(col2, 1);
  main->addWidget(FOptionsPanel);

  main->addWidget(Memo1, 1);
  auto* runRow = new QHBoxLayout();
  // Wide enough for the longest stage, so that the bar does not jump.
  lblStatus->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("Checks 9 of 9: Non-connected links")) + 4);
  runRow->addWidget(lblStatus);
  runRow->addWidget(ProgressBar1, 1);
  btnGo->setMinimumWidth(110);
  runRow->addWidget(btnOpenOutputFolder);
  runRow->addWidget(btnReport);
  runRow->addWidget(btnGo);
  main->addLayout(runRow);
  FScroll->setWidget(client);
  client->installEventFilter(this);

  // On a small screen the control that gets the focus scrolls into view as a
  // whole; the scroll area alone only shows a text field's cursor line.
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    if (!now || !FClient->isAncestorOf(now)) return;
    const QRect r(now->mapTo(FClient, QPoint(0, 0)), now->size());
    const QSize view = FScroll->viewport()->size();
    FScroll->ensureVisible(r.center().x(), r.center().y(), std::min(r.width() / 2 + 8, view.width() / 2),
                           std::min(r.height() / 2 + 8, view.height() / 2));
  });
  FStopKey = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  FStopKey->setEnabled(false);
  connect(FStopKey, &QShortcut::activated, this, [this] { StopRun(); });
  connect(lbFiles, &TFileListBox::PathsDropped, this, [this](const QStringList& paths) { AddPaths(paths); });
  // Go follows the list whichever way it changes.
  QAbstractItemModel* list = lbFiles->model();
  connect(list, &QAbstractItemModel::rowsInserted, this, [this] { UpdateGoButton(); });
  connect(list, &QAbstractItemModel::rowsRemoved, this, [this] { UpdateGoButton(); });
  connect(list, &QAbstractItemModel::modelReset, this, [this] { UpdateGoButton(); });

  // ---- events
  connect(btnAddFiles, &QPushButton::clicked, this, [this] { btnAddFilesClick(); });
  connect(btnAddFolderContents, &QPushButton::clicked, this, [this] { btnAddFolderContentsClick(); });
  connect(btnOutputFolder, &QPushButton::clicked, this, [this] { btnOutputFolderClick(); });
  connect(rgOutputFormat, &TRadioGroup::Click, this, [this] { rgOutputFormatClick(); });
  connect(cbBuildNetwork, &QCheckBox::toggled, this, [this] { cbBuildNetworkClick(); });
  // Nothing to compare without the findings file.
  connect(cbReport, &QCheckBox::toggled, cbCompare, &QCheckBox::setEnabled);
  connect(btnGo, &QPushButton::clicked, this, [this] { btnGoClick(); });
  connect(btnOpenOutputFolder, &QPushButton::clicked, this, [this] { btnOpenOutputFolderClick(); });
  connect(btnReport, &QPushButton::clicked, this, [this] { btnReportClick(); });
  connect(TrackBar1, &QSlider::valueChanged, this, [this](int v) { TrackBar1->setToolTip(TrackBarHint(v)); });
  connect(TrackBar1, &QSlider::sliderMoved, this, [this](int v) {
    QToolTip::showText(TrackBar1->mapToGlobal(QPoint(0, -TrackBar1->height())), TrackBarHint(v), TrackBar1);
  });
}

QLayout* TForm1::CreateEncodingControl(QWidget* client) {
  lblEncoding = new QLabel(QStringLiteral("Table encoding"), client);
  lblEncoding->setObjectName(QStringLiteral("lblEncoding"));
  cbEncoding = new QComboBox(client);
  cbEncoding->setObjectName(QStringLiteral("cbEncoding"));
  cbEncoding->addItem(QStringLiteral("System (%1)").arg(SystemAnsiCodePage()), 0);
  cbEncoding->addItem(QStringLiteral("UTF-8"), 65001);
  static const struct {
    int codepage;
    const char* script;
  } pages[] = {{1250, "Central European"}, {1251, "Cyrillic"}, {1252, "Western"},   {1253, "Greek"},
               {1254, "Turkish"},          {1255, "Hebrew"},   {1256, "Arabic"},    {1257, "Baltic"},
               {1258, "Vietnamese"},       {874, "Thai"},      {932, "Japanese"},   {936, "Chinese (Simplified)"},
               {949, "Korean"},            {950, "Chinese (Traditional)"}};
  for (const auto& p : pages)
    cbEncoding->addItem(QStringLiteral("%1 %2").arg(p.codepage).arg(QString::fromLatin1(p.script)), p.codepage);
  // The column keeps the width its radio groups give it; the list that
  // drops down shows the whole names.
  cbEncoding->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cbEncoding->setMinimumContentsLength(8);
  cbEncoding->setToolTip(QStringLiteral("Text of every table; characters the code page cannot hold are written as ?"));
  lblEncoding->setBuddy(cbEncoding);
  auto* row = new QHBoxLayout();
  row->setSpacing(6);
  row->addWidget(lblEncoding);
  row->addWidget(cbEncoding, 1);
  return row;
}

void TForm1::SetEncoding(uint16_t encoding) {
  int i = cbEncoding->findData(int(encoding));
  if (i < 0) {
    // A code page set in the settings file by hand is kept as it is.
    cbEncoding->addItem(QString::number(encoding), int(encoding));
    i = cbEncoding->count() - 1;
  }
  cbEncoding->setCurrentIndex(i);
}

void TForm1::CreateMenu() {
  MainMenu1 = new QMenuBar(this);
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  setMenuBar(MainMenu1);
  // Mnemonics: Alt+F, Alt+H, then the underlined letters; F1 for the help.
  File1 = MainMenu1->addMenu(QStringLiteral("&File"));
  File1->setObjectName(QStringLiteral("File1"));
  Checkforupdates1 = File1->addAction(QStringLiteral("Check for &updates"));
  Checkforupdates1->setObjectName(QStringLiteral("Checkforupdates1"));
  About1 = File1->addAction(QStringLiteral("&About"));
  About1->setObjectName(QStringLiteral("About1"));
  File1->addSeparator();
  Exit1 = File1->addAction(QStringLiteral("E&xit"));
  Exit1->setObjectName(QStringLiteral("Exit1"));
  Help1 = MainMenu1->addAction(QStringLiteral("&Help"));
  Help1->setObjectName(QStringLiteral("Help1"));
  Help1->setShortcut(QKeySequence::HelpContents);
  Help1->setShortcutContext(Qt::WindowShortcut);
  // The shortcut of an action on the bar itself only counts where the window
  // holds the action too.
  addAction(Help1);
  connect(Checkforupdates1, &QAction::triggered, this, [this] { Checkforupdates1Click(); });
  connect(About1, &QAction::triggered, this, [this] { About1Click(); });
  connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });
  connect(Help1, &QAction::triggered, this, [this] { Help1Click(); });
}

QList<QList<QWidget*>> TForm1::TabColumns() const {
  // A radio group is one stop; all its buttons are listed so that the stop
  // is wherever the checked one is.
  QList<QWidget*> col0 = rgOutputFormat->Buttons();
  col0 << rgSpeedUnit->Buttons() << rgDriving->Buttons() << cbEncoding;
  QList<QWidget*> col2 = rgNameRef->Buttons();
  col2 << TrackBar1 << cbBuildNetwork << cbSubnets << cbTopologicalChecks << cbOverpasses;
  return {
      {lbFiles, btnAddFiles, btnAddFolderContents, btnOutputFolder},
      col0,
      {cb2, cb1, cbSplitLoop, cbSplitLinks, cbReport, cbCompare},
      col2,
      {Memo1, btnOpenOutputFolder, btnReport, btnGo},
  };
}

void TForm1::SetTabOrder() {
  QWidget* previous = nullptr;
  for (const QList<QWidget*>& column : TabColumns())
    for (QWidget* w : column) {
      if (previous) setTabOrder(previous, w);
      previous = w;
    }
}

QRect TForm1::AvailableScreenArea() const {
  const QScreen* s = screen();
  if (!s) s = QGuiApplication::primaryScreen();
  return s ? s->availableGeometry() : QRect();
}

void TForm1::FitToScreen() {
  const QSize full(FClient->minimumWidth(), FClient->minimumHeight() + MainMenu1->sizeHint().height());
  const QRect avail = AvailableScreenArea();
  QSize frame = frameGeometry().size() - geometry().size();
  if (!isVisible() || frame.isEmpty()) frame = frame.expandedTo(QSize(cGuessedFrameWidth, cGuessedFrameHeight));
  const QSize room = avail.isValid() ? avail.size() - frame : full;
  setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  // A size the user chose stays as long as the screen has room for it.
  const QSize chosen = FFitted ? size() : full;
  FFitted = true;
  if (full.width() <= room.width() && full.height() <= room.height()) {
    // Never smaller than the whole content; larger as the user likes.
    setMinimumSize(full);
    resize((FScrolling ? full : chosen).boundedTo(room).expandedTo(full));
    FScrolling = false;
    return;
  }
  // Too large for this screen: the window can be made as large as the
  // screen allows, and the client area scrolls inside it.
  const QSize smallest = full.boundedTo(QSize(cSmallestWidth, cSmallestHeight));
  setMinimumSize(smallest);
  resize((FScrolling ? chosen : full).boundedTo(room).expandedTo(smallest));
  FScrolling = true;
  if (isVisible() && avail.isValid() && !avail.contains(frameGeometry()))
    move(std::max(avail.left(), std::min(x(), avail.right() - frameGeometry().width())),
         std::max(avail.top(), std::min(y(), avail.bottom() - frameGeometry().height())));
}

// The room of a larger window goes to the file list (a third) and the log
// (the rest); the options keep their size.
void TForm1::GrowWithWindow() {
  const int extra = std::max(0, FClient->height() - FClient->minimumHeight());
  const int height = FListHeight + extra / 3;
  if (lbFiles->minimumHeight() == height) return;
  lbFiles->setFixedHeight(height);
  // Now, not at the next turn of the event loop: the client's layout is
  // about to place the panel by its size hint.
  FFilesPanel->updateGeometry();
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (QWindow* w = windowHandle(); w && !FWatchingScreen) {
    // Another screen, or the same one with a panel added, changes the room.
    FWatchingScreen = true;
    auto watch = [this](QScreen* s) {
      if (s) connect(s, &QScreen::availableGeometryChanged, this, &TForm1::FitToScreen, Qt::UniqueConnection);
    };
    watch(w->screen());
    connect(w, &QWindow::screenChanged, this, [this, watch](QScreen* s) {
      watch(s);
      FitToScreen();
    });
  }
  FitToScreen();
}

// ---------------------------------------------------------------- start and close

void TForm1::FormCreate() {
  OpenDialog1->setDirectory(Q(GetExeFolder()));
  // Errors of the start are shown once the window is up, like any other.
  QStringList errors;
  // Without a settings folder the window starts as on a first start.
  TRunOptions o;
  try {
    CommonAppDataPath = Q(SettingsFolder());
    LoadSettings(S(CommonAppDataPath) + "osm2trassel.ini", o);
  } catch (const std::exception& e) {
    errors << QString::fromUtf8(e.what());
  }
  ApplySettings(o);
  try {
    FInclude.LoadIncludeFile(DataFileName("include.txt"));
  } catch (const std::exception& e) {
    errors << QString::fromUtf8(e.what());
  }
  if (!errors.isEmpty())
    QTimer::singleShot(0, this, [this, errors] {
      for (const QString& e : errors) ShowError(e);
    });
}

void TForm1::ApplySettings(const TRunOptions& o) {
  rgOutputFormat->SetItemIndex(o.OutputFormat);
  rgOutputFormatClick();
  rgSpeedUnit->SetItemIndex(o.SpeedUnit);
  cbSplitLoop->setChecked(o.SplitLoopLinks);
  cbSplitLinks->setChecked(o.SplitLinks);
  cb2->SetChecked(0, o.Pedestrian);
  cb2->SetChecked(1, o.Bicycle);
  cb2->SetChecked(2, o.Car);
  for (int i = 0; i < oiCount; ++i) cb1->SetChecked(i, o.Optional[i]);
  rgNameRef->SetItemIndex(o.NameRef);
  rgDriving->SetItemIndex(o.Driving);
  // Its click handler runs on a change and settles the sub-options' enabling
  // before their stored states are applied: stored as checked under an
  // unchecked network they show checked but disabled.
  cbBuildNetwork->setChecked(o.BuildNetwork);
  cbSubnets->setChecked(o.Subnets);
  cbTopologicalChecks->setChecked(o.TopoChecks);
  TrackBar1->setValue(o.Simplify);
  minObjectLen = o.minObjectLen;
  NameLength = o.NameLength;
  RefLength = o.RefLength;
  ExitText = o.ExitText;
  SetEncoding(o.Encoding);
  cbReport->setChecked(o.Report);
}

TRunOptions TForm1::CurrentOptions() const {
  TRunOptions o;
  o.OutputFormat = FF == gfMIF ? 0 : FF == gfMITAB ? 2 : FF == gfGPKG ? 3 : 1;
  o.SpeedUnit = rgSpeedUnit->ItemIndex();
  o.SplitLoopLinks = cbSplitLoop->isChecked();
  o.SplitLinks = cbSplitLinks->isChecked();
  o.Pedestrian = cb2->Checked(0);
  o.Bicycle = cb2->Checked(1);
  o.Car = cb2->Checked(2);
  for (int i = 0; i < oiCount; ++i) o.Optional[i] = cb1->Checked(i);
  o.NameRef = rgNameRef->ItemIndex();
  o.Driving = rgDriving->ItemIndex();
  o.BuildNetwork = cbBuildNetwork->isChecked();
  o.Subnets = cbSubnets->isChecked();
  o.TopoChecks = cbTopologicalChecks->isChecked();
  o.Overpasses = cbOverpasses->isChecked();
  o.Simplify = TrackBar1->value();
  o.minObjectLen = minObjectLen;
  o.NameLength = NameLength;
  o.RefLength = RefLength;
  o.ExitText = ExitText;
  o.Encoding = static_cast<uint16_t>(cbEncoding->currentData().toInt());
  o.Report = cbReport->isChecked();
  for (int i = 0; i < lbFiles->count(); ++i) o.Files.push_back(S(lbFiles->item(i)->text()));
  o.MainDir = S(MainDir);
  return o;
}

void TForm1::FormClose() {
  if (FSaveOnClose && !CommonAppDataPath.isEmpty()) {
    // The settings file keeps "rgOutputFormat"'s index; it is the same choice
    // as FF, so the index is written as the control shows it.
    TRunOptions o = CurrentOptions();
    o.OutputFormat = rgOutputFormat->ItemIndex();
    try {
      SaveSettings(S(CommonAppDataPath) + "osm2trassel.ini", o);
    } catch (const std::exception& e) {
      ShowError(QString::fromUtf8(e.what()));
    }
  }
  FInclude.FreeIncludeLists();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (FRunning) {
    // Already stopping to close, or asking: the window closes once the run
    // has stopped.
    if (FCloseRequested || FAskingToClose) {
      event->ignore();
      return;
    }
    FAskingToClose = true;
    const bool stop = Confirm(QStringLiteral("A run is going on. Stop it and close the window?"));
    FAskingToClose = false;
    if (!stop) {
      event->ignore();
      return;
    }
    // The run may have ended while the question was open.
    if (FRunning) {
      FCloseRequested = true;
      StopRun();
      event->ignore();
      return;
    }
  }
  if (!FClosed) {
    FClosed = true;
    FormClose();
  }
  event->accept();
}

// ---------------------------------------------------------------- files and folder

QStringList TForm1::ExecuteOpenDialog() {
  OpenDialog1->setWindowTitle(QStringLiteral("Select OSM files"));
  if (OpenDialog1->exec() != QDialog::Accepted) return {};
  return OpenDialog1->selectedFiles();
}

QString TForm1::ExecuteFolderDialog(const QString& title, const QString& start) {
  return QFileDialog::getExistingDirectory(this, title, start);
}

void TForm1::btnAddFilesClick() {
  const QStringList chosen = ExecuteOpenDialog();
  for (const QString& f : chosen) lbFiles->addItem(QDir::toNativeSeparators(f));
  if (!chosen.isEmpty()) {
    SetDefaultOutputFolder();
    UpdateGoButton();
  }
}

void TForm1::btnAddFolderContentsClick() {
  const QString folder = ExecuteFolderDialog(QStringLiteral("Select folder with OSM files"), QString());
  if (!folder.isEmpty()) AddFolderContents(folder);
  SetDefaultOutputFolder();
  UpdateGoButton();
}

int TForm1::AddFolderContents(const QString& folder) {
  // Plain files only; the patterns ignore letter case as the file systems
  // these extracts come from do.
  const QDir dir(folder);
  QStringList patterns;
  for (const std::string& p : OsmFilePatterns()) patterns << QString::fromStdString(p);
  const QStringList names = dir.entryList(patterns, QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
  for (const QString& n : names) lbFiles->addItem(WithTrailingDelimiter(folder) + n);
  return static_cast<int>(names.size());
}

void TForm1::AddPaths(const QStringList& paths) {
  // The list is the running job's; it takes nothing until the run ends.
  if (FRunning || paths.isEmpty()) return;
  QStringList missing;
  for (const QString& p : paths) {
    const QFileInfo fi(p);
    if (fi.isDir())
      AddFolderContents(fi.absoluteFilePath());
    else if (fi.exists())
      lbFiles->addItem(QDir::toNativeSeparators(fi.absoluteFilePath()));
    else
      missing << QDir::toNativeSeparators(p);
  }
  SetDefaultOutputFolder();
  UpdateGoButton();
  for (const QString& m : missing) ShowError(QStringLiteral("The file \"%1\" does not exist.").arg(m));
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  // Before the client's layout takes the new size, so that it lays the
  // list out at its new height at once.
  if (watched == FClient && event->type() == QEvent::Resize) GrowWithWindow();
  if (watched == lbFiles && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Delete) {
      lbFilesKeyDown(key->key());
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm1::lbFilesKeyDown(int key) {
  if (key != Qt::Key_Delete) return;
  const int old = lbFiles->currentRow();
  for (int i = lbFiles->count() - 1; i >= 0; --i)
    if (lbFiles->item(i)->isSelected()) delete lbFiles->takeItem(i);
  lbFiles->clearSelection();
  if (lbFiles->count() > 0 && old >= 0) lbFiles->setCurrentRow(std::min(old, lbFiles->count() - 1));
}

void TForm1::btnOutputFolderClick() {
  const QString folder = ExecuteFolderDialog(QStringLiteral("Select output folder"), MainDir);
  if (!folder.isEmpty()) SetMainDir(folder);
}

void TForm1::SetMainDir(const QString& folder) {
  MainDir = WithTrailingDelimiter(folder);
  Label2->setText(QDir::toNativeSeparators(MainDir));
  Label2->setToolTip(Label2->text());
}

void TForm1::SetDefaultOutputFolder() {
  if (lbFiles->count() == 0 || !MainDir.isEmpty()) return;
  SetMainDir(QFileInfo(lbFiles->item(0)->text()).absolutePath());
}

// During a run the button is "Stop" and follows the run instead.
void TForm1::UpdateGoButton() {
  if (FRunning) return;
  btnGo->setEnabled(lbFiles->count() > 0);
}

// ---------------------------------------------------------------- options

void TForm1::rgOutputFormatClick() {
  switch (rgOutputFormat->ItemIndex()) {
    case 0: FF = gfMIF; break;
    case 1: FF = gfSHP; break;
    case 2: FF = gfMITAB; break;
    case 3: FF = gfGPKG; break;
    default: break;
  }
}

void TForm1::cbBuildNetworkClick() {
  const bool network = cbBuildNetwork->isChecked();
  if (!network)
    for (QCheckBox* c : {cbTopologicalChecks, cbSubnets, cbOverpasses}) c->setChecked(false);
  for (QCheckBox* c : {cbSubnets, cbTopologicalChecks, cbOverpasses}) c->setEnabled(network);
}

// ---------------------------------------------------------------- the run

void TForm1::btnGoClick() {
  if (FRunning) {
    StopRun();
    return;
  }
  // Without files a run would only replace the output folder's tables with
  // empty ones.
  if (lbFiles->count() == 0) {
    UpdateGoButton();
    return;
  }
  // The network builder rejects closed links, so it needs them split.
  if (!cbSplitLoop->isChecked()) cbBuildNetwork->setChecked(false);
  if (!cbBuildNetwork->isChecked()) {
    cbSubnets->setChecked(false);
    cbTopologicalChecks->setChecked(false);
  }
  TRunOptions o = CurrentOptions();
  if (o.OutputModes() == 0) {
    ShowMessage(QStringLiteral("Choose at least 1 mode in output"));
    return;
  }
  // A format that cannot declare the chosen encoding is refused here, before
  // anything is written, as the run itself would refuse it.
  if (const std::string problem = TableEncodingProblem(o); !problem.empty()) {
    ShowError(QString::fromStdString(problem));
    return;
  }
  // An input that cannot be read would only cost the previous results.
  if (const std::string problem = InputFilesProblem(o.Files); !problem.empty()) {
    ShowError(QString::fromStdString(problem));
    return;
  }
  SetDefaultOutputFolder();
  int32_t removed = 0;
  std::string compareWith;
  if (!ClearOutputFolder(removed, compareWith)) return;
  o.MainDir = S(MainDir);
  o.CompareFile = compareWith;

  // Each run's log after a blank line.
  if (!Memo1->document()->isEmpty()) Memo1->appendPlainText(QString());
  if (removed > 0) Memo1->appendPlainText(Q(RemovedFilesLine(removed)));
  // The page is about to be written anew.
  FReportFile.clear();
  btnReport->setEnabled(false);
  // The window is busy only once the run is really going: a thread that
  // cannot start leaves it as it was.
  try {
    StartRun(o);
  } catch (const std::exception& e) {
    ShowError(QStringLiteral("The run could not be started: %1").arg(QString::fromUtf8(e.what())));
    return;
  }
  FRunFolder = MainDir;
  SetRunning(true);
  lblStatus->clear();
}

void TForm1::StartRun(const TRunOptions& options) { FWorker->Start(options, FInclude); }

bool TForm1::ClearOutputFolder(int32_t& removed, std::string& compareWith) {
  removed = 0;
  compareWith.clear();
  for (;;) {
    const std::vector<std::string> found = PreviousResults(S(MainDir));
    if (found.empty()) return true;
    QStringList names;
    for (const std::string& f : found) names << Q(f);
    switch (AskAboutPreviousResults(QDir::toNativeSeparators(MainDir), names)) {
      case TFolderAnswer::faReplace: {
        std::string error;
        const std::string findings = S(MainDir) + "/" + ReportFileNames()[0];
        if (cbCompare->isChecked() && cbReport->isChecked() && QFileInfo(Q(findings)).isFile()) {
          compareWith = KeepEarlierFindings(S(MainDir), findings, error);
          if (compareWith.empty()) {
            ShowError(Q(error));
            return false;
          }
        }
        if (RemoveRunOutputs(S(MainDir), removed, error)) return true;
        ShowError(Q(error));
        return false;
      }
      case TFolderAnswer::faChooseAnother: {
        // Asked again when that folder holds results too.
        const QString folder = ExecuteFolderDialog(QStringLiteral("Select output folder"), MainDir);
        if (folder.isEmpty()) return false;
        SetMainDir(folder);
        break;
      }
      case TFolderAnswer::faCancel:
        return false;
    }
  }
}

TForm1::TFolderAnswer TForm1::AskAboutPreviousResults(const QString& folder, const QStringList& found) {
  std::vector<std::string> names;
  for (const QString& f : found) names.push_back(S(f));
  QMessageBox box(QMessageBox::Question, windowTitle(),
                  QStringLiteral("The output folder \"%1\" already holds the results of a run (%2).")
                      .arg(folder, Q(PreviousResultsText(names))),
                  QMessageBox::NoButton, this);
  box.setObjectName(QStringLiteral("OutputFolderQuestion"));
  box.setInformativeText(
      QStringLiteral("Replace them: every file this program writes is removed from the folder first; "
                     "other files stay.\nOr choose another folder for this run."));
  box.setDetailedText(QStringLiteral("Files of a previous run:\n") + found.join(QLatin1Char('\n')));
  QPushButton* replace = box.addButton(QStringLiteral("Replace"), QMessageBox::DestructiveRole);
  replace->setObjectName(QStringLiteral("btnReplace"));
  QPushButton* another = box.addButton(QStringLiteral("Choose another folder\u2026"), QMessageBox::ActionRole);
  another->setObjectName(QStringLiteral("btnChooseAnother"));
  QPushButton* cancel = box.addButton(QMessageBox::Cancel);
  cancel->setObjectName(QStringLiteral("btnCancel"));
  // Enter does not remove anything.
  box.setDefaultButton(another);
  box.setEscapeButton(cancel);
  box.setWindowModality(Qt::WindowModal);
  box.exec();
  if (box.clickedButton() == replace) return TFolderAnswer::faReplace;
  if (box.clickedButton() == another) return TFolderAnswer::faChooseAnother;
  return TFolderAnswer::faCancel;
}

void TForm1::StopRun() {
  if (!FRunning || FWorker->StopRequested()) return;
  FWorker->Stop();
  btnGo->setEnabled(false);
  lblStatus->setText(QStringLiteral("Stopping\u2026"));
}

bool TForm1::StopRequested() const { return FRunning && FWorker->StopRequested(); }

void TForm1::SetRunning(bool running) {
  FRunning = running;
  // Disabling the panels keeps each control's own state (the network
  // sub-options stay as their option left them).
  FFilesPanel->setEnabled(!running);
  FOptionsPanel->setEnabled(!running);
  btnGo->setText(running ? QStringLiteral("Stop") : QStringLiteral("Go !"));
  btnGo->setEnabled(running || lbFiles->count() > 0);
  FStopKey->setEnabled(running);
  // The window stays usable during a run: busy, not waiting.
  if (running)
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void TForm1::RunStageBegun(const TRunStage& stage) {
  if (FWorker->StopRequested()) return;  // "Stopping…" stays
  lblStatus->setText(StageText(stage));
}

void TForm1::RunEnded(const TRunResult& r) {
  SetRunning(false);
  switch (r.Status) {
    case TRunStatus::rsOk: lblStatus->setText(QStringLiteral("Finished")); break;
    case TRunStatus::rsCancelled: lblStatus->setText(QStringLiteral("Stopped")); break;
    case TRunStatus::rsFailed:
    case TRunStatus::rsHeaderFailed: lblStatus->setText(QStringLiteral("Failed")); break;
    case TRunStatus::rsNoMode: lblStatus->clear(); break;
  }
  if (r.Status != TRunStatus::rsNoMode) {
    btnOpenOutputFolder->setEnabled(true);
    btnOpenOutputFolder->setToolTip(QDir::toNativeSeparators(FRunFolder));
  }
  // The log ends with the report, whatever way the run ended.
  FReportFile = Q(r.ReportFile);
  btnReport->setEnabled(!FReportFile.isEmpty());
  if (!FReportFile.isEmpty()) Memo1->appendPlainText(Q(ReportLogLine(r.ReportFile)));
  // The log has said it already, before its last line; one box says it
  // once more, and holds the window until it is read.
  if (r.Status == TRunStatus::rsFailed || r.Status == TRunStatus::rsHeaderFailed) ShowError(Q(r.Message));
  emit RunFinished();
  if (FCloseRequested) close();
}

void TForm1::btnOpenOutputFolderClick() {
  if (FRunFolder.isEmpty()) return;
  const QString folder = QDir::toNativeSeparators(FRunFolder);
  if (!QFileInfo(FRunFolder).isDir()) {
    ShowError(QStringLiteral("The output folder \"%1\" does not exist.").arg(folder));
    return;
  }
  if (!OpenUrl(QUrl::fromLocalFile(FRunFolder)))
    ShowError(QStringLiteral("No program to show the folder \"%1\" was found.").arg(folder));
}

void TForm1::btnReportClick() {
  if (FReportFile.isEmpty()) return;
  if (!QFileInfo(FReportFile).isFile()) {
    ShowError(QStringLiteral("The report \"%1\" is no longer there.").arg(FReportFile));
    btnReport->setEnabled(false);
    return;
  }
  if (!OpenUrl(QUrl::fromLocalFile(FReportFile)))
    ShowError(QStringLiteral("No program to show the report \"%1\" was found.").arg(FReportFile));
}

// ---------------------------------------------------------------- menu

void TForm1::Help1Click() {
  const QString help = Q(DataFileName("help.html"));
  if (!QFileInfo(help).isFile()) {
    ShowError(QStringLiteral("The help page \"%1\" is missing.").arg(help));
    return;
  }
  if (!OpenUrl(QUrl::fromLocalFile(help)))
    ShowError(QStringLiteral("No program to show the help page \"%1\" was found.").arg(help));
}

void TForm1::About1Click() { ShowMessage(QStringLiteral("This is version %1").arg(QString::fromUtf8(ProgramVersion))); }

void TForm1::Checkforupdates1Click() {
  const QString program = QString::fromUtf8(ProgramName), version = QString::fromUtf8(ProgramVersion);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const TUpdateInfo info = CheckForUpdate(FUpdateSource, program, version, cUpdateTimeoutMs);
  QApplication::restoreOverrideCursor();
  const QString text = UpdateMessage(info, program, version, FUpdateSource);
  if (info.State == TUpdateInfo::usNewer && !info.DownloadUrl.isEmpty()) {
    if (Confirm(text)) OpenUrl(QUrl(info.DownloadUrl));
  } else {
    ShowMessage(text);
  }
}

void TForm1::Exit1Click() { close(); }

// ---------------------------------------------------------------- user dialogs

void TForm1::ShowMessage(const QString& text) { QMessageBox::information(this, windowTitle(), text); }

void TForm1::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, windowTitle(), text, QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("ErrorBox"));
  // Qt itself keeps input from the window while the box is open, with or
  // without a window manager: Go cannot start another run behind it.
  box.setWindowModality(Qt::WindowModal);
  box.exec();
}

bool TForm1::Confirm(const QString& text) {
  return QMessageBox::question(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
         QMessageBox::Yes;
}

bool TForm1::OpenUrl(const QUrl& url) {
  // Qt hands the page to xdg-open and counts it as shown once xdg-open has
  // started; without a browser it ends soon after with an error status,
  // which only the window can still tell the user.
  const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (xdgOpen.isEmpty()) return QDesktopServices::openUrl(url);
  const QString shown = url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()) : url.toString();
  auto* p = new QProcess(this);
  p->setProgram(xdgOpen);
  p->setArguments({url.isLocalFile() ? url.toLocalFile() : url.toString()});
  // The program it starts may outlive the window; it must not write into
  // pipes that close with it.
  p->setStandardInputFile(QProcess::nullDevice());
  p->setStandardOutputFile(QProcess::nullDevice());
  p->setStandardErrorFile(QProcess::nullDevice());
  connect(p, &QProcess::finished, p, &QObject::deleteLater);
  connect(p, &QProcess::finished, this, [this, shown](int code, QProcess::ExitStatus status) {
    if (status == QProcess::NormalExit && code != 0)
      ShowError(QStringLiteral("No program could show \"%1\" (xdg-open ended with status %2).").arg(shown).arg(code));
  });
  p->start();
  if (p->waitForStarted()) return true;
  delete p;
  return false;
}

void TUnattendedForm::ShowMessage(const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); }

void TUnattendedForm::ShowError(const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); }

TForm1::TFolderAnswer TUnattendedForm::AskAboutPreviousResults(const QString& folder, const QStringList& found) {
  if (ShowFolderQuestion) return TForm1::AskAboutPreviousResults(folder, found);
  ShowMessage(QStringLiteral("The output folder \"%1\" already holds the results of a run: not run.").arg(folder));
  return TFolderAnswer::faCancel;
}

bool TUnattendedForm::Confirm(const QString& text) {
  ShowMessage(text);
  return false;
}
