// The main window: input files, output folder, every option of a run, the
// log and the progress bar. Options persist in osm2trassel.ini, read when the
// window is created and written when it is closed. A run goes on a thread of
// its own (TRunWorker); the window locks what would change the running job
// and offers to stop it.
#pragma once

#include <QMainWindow>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <memory>

#include "controls.h"
#include "include_file.h"
#include "run_driver.h"
#include "settings_file.h"
#include "run_options.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLayout;
class QLabel;
class QMessageBox;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QShortcut;
class QSlider;
class TRunWorker;
struct TRunStage;

// The window's command line, without the program name: OSM files and folders
// to list (a desktop entry passes them), and three hidden options for the
// documentation pictures, "--screenshot FILE", "--question FILE" and
// "--output DIR".
struct TWindowArguments {
  QStringList Paths;
  QString Screenshot;
  QString Question;
  QString Output;
};
TWindowArguments ParseWindowArguments(const QStringList& args);

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The controls, named as the window's components.
  QPushButton* btnAddFiles;
  QPushButton* btnAddFolderContents;
  QPushButton* btnOutputFolder;
  TFileListBox* lbFiles;
  QLabel* Label2;
  QPlainTextEdit* Memo1;
  QProgressBar* ProgressBar1;
  QLabel* lblStatus;  // the stage of a run beside the bar: "Pass 2 of 3", "Checks 3 of 7: ..."
  TRadioGroup* rgOutputFormat;
  TRadioGroup* rgSpeedUnit;
  QLabel* Label3;
  TCheckListBox* cb2;
  QLabel* Label1;
  TCheckListBox* cb1;
  TRadioGroup* rgNameRef;
  TRadioGroup* rgDriving;
  QLabel* Label4;
  QSlider* TrackBar1;
  QLabel* Label5;
  QLabel* Label6;
  QCheckBox* cbSplitLoop;
  QCheckBox* cbSplitLinks;
  QCheckBox* cbBuildNetwork;
  QCheckBox* cbSubnets;
  QCheckBox* cbTopologicalChecks;
  QCheckBox* cbOverpasses;
  QLabel* lblEncoding;
  QComboBox* cbEncoding;  // item data: the encoding (0 system, 65001 UTF-8, a code page)
  QPushButton* btnGo;
  QPushButton* btnOpenOutputFolder;  // the folder of the last run, once a run has ended
  QCheckBox* cbReport;     // write report.html (and findings.geojson)
  QCheckBox* cbCompare;    // compare with the findings of the run replaced
  QPushButton* btnReport;  // opens the last run's report.html
  QFileDialog* OpenDialog1;
  QMenuBar* MainMenu1;
  QMenu* File1;
  QAction* Checkforupdates1;
  QAction* About1;
  QAction* Exit1;
  QAction* Help1;

  // Window state besides the controls.
  QString CommonAppDataPath;  // settings folder, trailing '/'
  QString MainDir;            // output folder, trailing '/'; empty until chosen
  uint8_t FF = 2;             // writer format of the run (gfSHP until the settings say otherwise)
  double minObjectLen = 0.1;  // metres; only the settings file changes these four
  uint32_t NameLength = 50;
  uint32_t RefLength = 25;
  std::string ExitText = "Exit";

  // Event handlers.
  void FormCreate();
  void FormClose();
  void btnAddFilesClick();
  void btnAddFolderContentsClick();
  void lbFilesKeyDown(int key);
  void btnOutputFolderClick();
  void rgOutputFormatClick();
  void cbBuildNetworkClick();
  void btnGoClick();
  void btnOpenOutputFolderClick();
  void btnReportClick();
  // The report page of the last run; empty when it wrote none.
  QString ReportFile() const { return FReportFile; }
  void Help1Click();
  void About1Click();
  void Checkforupdates1Click();
  void Exit1Click();

  void SetDefaultOutputFolder();
  void UpdateGoButton();

  // Files are appended as "Add Files" appends them, folders as "Add Files in
  // folder" reads them: the window's command line and drops on the list.
  // Paths that do not exist are reported, not listed.
  void AddPaths(const QStringList& paths);
  // The folder's files as "Add Files in folder" adds them; returns how many.
  int AddFolderContents(const QString& folder);

  // "Stop" (the Go button during a run, or Esc): the run ends at its next
  // progress point with what it has written complete.
  void StopRun();
  bool StopRequested() const;

  // The options of a run as the controls and fields hold them now.
  TRunOptions CurrentOptions() const;
  bool Running() const { return FRunning; }
  const TIncludeLists& IncludeLists() const { return FInclude; }
  // Where "Check for updates" asks; set at build time, empty when none.
  void SetUpdateSource(const QUrl& url) { FUpdateSource = url; }
  QUrl UpdateSource() const { return FUpdateSource; }
  // The settings are written at close unless this is off (screenshots).
  void SetSaveSettingsOnClose(bool save) { FSaveOnClose = save; }

  // What the window shows or asks the user; a test replaces them.
  virtual void ShowMessage(const QString& text);
  // Modal to the window, with the error icon: nothing can be started while
  // it is open.
  virtual void ShowError(const QString& text);
  virtual bool Confirm(const QString& text);
  // Hands the page or folder to the desktop. False when no program to show
  // it could be started; a program that starts and then finds nothing to
  // show it with is reported by an error box when it ends.
  virtual bool OpenUrl(const QUrl& url);

  // The answer to the question Go asks when the output folder holds files
  // a run writes (found, in RunOutputFileNames' order).
  enum class TFolderAnswer { faReplace, faChooseAnother, faCancel };
  virtual TFolderAnswer AskAboutPreviousResults(const QString& folder, const QStringList& found);

  // The window's widgets in tab order, one list per column, top to bottom
  // and the columns left to right.
  QList<QList<QWidget*>> TabColumns() const;

  // Where the screen has room for the whole content, the window is at least
  // that large and grows as the user enlarges it, the file list and the log
  // taking the room; otherwise it is no larger than the screen and its
  // content scrolls.
  void FitToScreen();
  QScrollArea* ScrollArea() const { return FScroll; }

 signals:
  void RunFinished();

 protected:
  // The dialogs; each returns empty when the user cancels.
  virtual QStringList ExecuteOpenDialog();
  virtual QString ExecuteFolderDialog(const QString& title, const QString& start);
  // The room the window may take: the available area of its screen.
  virtual QRect AvailableScreenArea() const;
  // Starts the run on its own thread; throws when the thread cannot start.
  virtual void StartRun(const TRunOptions& options);

  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  QLayout* CreateEncodingControl(QWidget* client);
  void SetEncoding(uint16_t encoding);
  void CreateMenu();
  void SetTabOrder();
  void ApplySettings(const TRunOptions& o);
  void SetMainDir(const QString& folder);
  // Before a run: the output folder holds no file a run writes, after the
  // user's answer (replace, another folder, or cancel). False when the run
  // must not start; removed counts the files replaced.
  // compareWith: the replaced run's findings, kept to compare with (when
  // asked for and there were any), else empty.
  bool ClearOutputFolder(int32_t& removed, std::string& compareWith);
  void SetRunning(bool running);
  void GrowWithWindow();
  void RunStageBegun(const TRunStage& stage);
  void RunEnded(const TRunResult& result);

  QWidget* FClient = nullptr;        // the client area, 704 x 604 or larger
  QScrollArea* FScroll = nullptr;    // scrolls the client area on small screens
  QWidget* FFilesPanel = nullptr;    // the file list and its buttons
  QWidget* FOptionsPanel = nullptr;  // every option of a run
  int FListHeight = 0;               // the file list's height at the smallest client area
  QString FRunFolder;                // the output folder of the last run
  QShortcut* FStopKey = nullptr;     // Esc during a run
  TIncludeLists FInclude;
  // Declared after FInclude: a run still going when the window is destroyed
  // is stopped while the lists it reads are still there.
  std::unique_ptr<TRunWorker> FWorker;
  QUrl FUpdateSource;
  QString FReportFile;
  bool FRunning = false;
  bool FCloseRequested = false;
  bool FAskingToClose = false;
  bool FWatchingScreen = false;
  bool FScrolling = false;  // the window is smaller than its content
  bool FFitted = false;     // FitToScreen has given the window its first size
  bool FSaveOnClose = true;
  bool FClosed = false;
};

// The window with no one at the screen (documentation pictures, benchmarks):
// a box would wait for a click forever, so its text goes to stderr and every
// question is answered no (the output folder's question: cancel), unless
// the folder question is to be shown for its picture.
class TUnattendedForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void ShowMessage(const QString& text) override;
  void ShowError(const QString& text) override;
  bool Confirm(const QString& text) override;
  TFolderAnswer AskAboutPreviousResults(const QString& folder, const QStringList& found) override;
  bool ShowFolderQuestion = false;
};
