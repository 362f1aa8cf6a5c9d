// The main window: input files, output folder, every option of a run, the
// log and the progress bar. Options persist in osm2trassel.ini, read when the
// window is created and written when it is closed.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>

#include "controls.h"
#include "include_file.h"
#include "run_driver.h"
#include "run_options.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLayout;
class QLabel;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The controls, named as the window's components.
  QPushButton* btnAddFiles;
  QPushButton* btnAddFolderContents;
  QPushButton* btnOutputFolder;
  QListWidget* lbFiles;
  QLabel* Label2;
  QPlainTextEdit* Memo1;
  QProgressBar* ProgressBar1;
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
  void Help1Click();
  void About1Click();
  void Checkforupdates1Click();
  void Exit1Click();

  void SetDefaultOutputFolder();
  void UpdateGoButton();

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
  virtual void ShowError(const QString& text);
  virtual bool Confirm(const QString& text);
  virtual bool OpenUrl(const QUrl& url);

 signals:
  void RunFinished();

 protected:
  // The dialogs; each returns empty when the user cancels.
  virtual QStringList ExecuteOpenDialog();
  virtual QString ExecuteFolderDialog(const QString& title, const QString& start);

  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  QLayout* CreateEncodingControl(QWidget* client);
  void SetEncoding(uint16_t encoding);
  void CreateMenu();
  void ApplySettings(const TRunOptions& o);
  void SetMainDir(const QString& folder);

  TIncludeLists FInclude;
  QUrl FUpdateSource;
  bool FRunning = false;
  bool FCloseRequested = false;
  bool FSaveOnClose = true;
  bool FClosed = false;
};
