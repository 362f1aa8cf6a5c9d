// How long the window keeps its user waiting during a run: a 10 ms timer on
// the window's thread, and the longest lateness of its ticks per stage of a
// run of INPUT with the network and every check. Beside the whole lateness,
// the part that is the window's own: without the time the thread waited for
// a processor (the kernel's count), which on a busy machine is not the
// window's doing. And as the machine's own measure, a bare thread beside the
// window that only sleeps 10 ms at a time: what it sees late, the window
// could not have done better.
//
// Side by side in one invocation:
//   thread  the run as the window starts it from "Go !": on a thread of its
//           own, the window woken by its reports;
//   inline  the same run on the window's thread, which answers only at the
//           run's progress points (the window as it was before).
//
//   bench_window_latency [INPUT.osm] [--only thread|inline] [--keep DIR]
//
// INPUT defaults to /tmp/andorra400.osm, made with
//   python3 /work/shared/tools/tile_osm.py /work/shared/data/osm/andorra.osm.gz 400 /tmp/andorra400.osm
// The window is shown on the offscreen platform unless QT_QPA_PLATFORM says
// otherwise; the settings are neither read from nor written to the user's.
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "latency_probe.h"
#include "main_window.h"
#include "run_driver.h"
#include "settings_file.h"
#include "window_run_ui.h"

namespace {

class TQuietForm : public TUnattendedForm {
 protected:
  // Room for the window at its fixed size, whatever the virtual screen.
  QRect AvailableScreenArea() const override { return QRect(0, 0, 4000, 3000); }

 public:
  // A folder given with --keep may hold the results of the last measure.
  TFolderAnswer AskAboutPreviousResults(const QString&, const QStringList&) override {
    return TFolderAnswer::faReplace;
  }
};

// The run on the window's thread, as the window ran it before: the window's
// events are handled at the progress points only.
class TInlineUI : public IRunUI {
 public:
  explicit TInlineUI(TForm1& form) : FForm(form) {}
  void Log(const std::string& line) override { FForm.Memo1->appendPlainText(QString::fromStdString(line)); }
  void Progress(int32_t percent) override { FForm.ProgressBar1->setValue(std::clamp(percent, 0, 100)); }
  void SelectFile(int32_t index) override { FForm.lbFiles->setCurrentRow(index); }
  void MessageBox(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  void ProcessMessages() override { QCoreApplication::processEvents(); }
  void Stage(const TRunStage& stage) override { FForm.lblStatus->setText(StageText(stage)); }

 private:
  TForm1& FForm;
};

struct TStageLateness {
  QString Stage;
  long Ticks = 0;
  qint64 LongestMs = 0;
  qint64 WindowMs = 0;  // the longest, less the wait for a processor
};

struct TMeasure {
  std::vector<TStageLateness> Stages;  // in the order they were first seen
  double WallSeconds = 0;
  qint64 BareThreadMs = 0;  // longest lateness of the bare sleeping thread
  bool Failed = false;
};

TMeasure Measure(const QString& input, const QString& output, bool inline_) {
  TQuietForm form;
  form.SetSaveSettingsOnClose(false);
  form.show();
  form.AddPaths({input});
  form.MainDir = output.endsWith('/') ? output : output + '/';
  for (int i = 0; i < 3; ++i) form.cb2->SetChecked(i, i == 2);  // cars
  form.cbBuildNetwork->setChecked(true);
  for (QCheckBox* c : {form.cbSubnets, form.cbTopologicalChecks, form.cbOverpasses}) c->setChecked(true);
  QCoreApplication::processEvents();

  TMeasure m;
  std::map<QString, size_t> index;
  QElapsedTimer clock;
  qint64 last = 0, lastQueued = QueuedMs();
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  tick.setInterval(10);
  // A late tick counts for the stage in which the wait began: the one the
  // previous tick saw.
  QString stage = QStringLiteral("(start)");
  QObject::connect(&tick, &QTimer::timeout, &form, [&] {
    const qint64 now = clock.elapsed(), queued = QueuedMs();
    auto [it, added] = index.try_emplace(stage, m.Stages.size());
    if (added) m.Stages.push_back({stage});
    TStageLateness& s = m.Stages[it->second];
    ++s.Ticks;
    s.LongestMs = std::max(s.LongestMs, now - last - 10);
    s.WindowMs = std::max(s.WindowMs, now - last - 10 - (queued - lastQueued));
    last = now;
    lastQueued = queued;
    if (!form.lblStatus->text().isEmpty()) stage = form.lblStatus->text();
  });

  QEventLoop done;
  QObject::connect(&form, &TForm1::RunFinished, &done, &QEventLoop::quit);
  TBareTimer bare;
  clock.start();
  tick.start();
  if (inline_) {
    QTimer::singleShot(0, &form, [&] {
      TInlineUI ui(form);
      const TRunResult r = RunConversion(form.CurrentOptions(), form.IncludeLists(), ui);
      if (r.Status != TRunStatus::rsOk) {
        std::fprintf(stderr, "%s\n", r.Message.c_str());
        m.Failed = true;
      }
      done.quit();
    });
    done.exec();
  } else {
    form.btnGoClick();
    if (form.Running()) done.exec();
    m.Failed = !form.Memo1->toPlainText().contains(QStringLiteral("Finish at "));
  }
  tick.stop();
  m.WallSeconds = double(clock.elapsed()) / 1000.0;
  m.BareThreadMs = bare.Stop();
  return m;
}

void Print(const char* mode, const TMeasure& m) {
  qint64 longest = 0, window = 0;
  long ticks = 0;
  for (const auto& s : m.Stages) {
    longest = std::max(longest, s.LongestMs);
    window = std::max(window, s.WindowMs);
    ticks += s.Ticks;
  }
  std::printf("%s: run %.1f s, %ld ticks, longest lateness %lld ms (the window's own %lld ms)%s\n", mode,
              m.WallSeconds, ticks, static_cast<long long>(longest), static_cast<long long>(window),
              m.Failed ? " (run FAILED)" : "");
  std::printf("  a bare thread sleeping 10 ms at a time beside it: longest lateness %lld ms\n",
              static_cast<long long>(m.BareThreadMs));
  std::printf("  %-40s %7s %12s %12s\n", "stage", "ticks", "longest ms", "window's ms");
  for (const auto& s : m.Stages)
    std::printf("  %-40s %7ld %12lld %12lld\n", qPrintable(s.Stage), s.Ticks, static_cast<long long>(s.LongestMs),
                static_cast<long long>(s.WindowMs));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  QApplication app(argc, argv);

  QString input = QStringLiteral("/tmp/andorra400.osm"), only, keep;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--only") && i + 1 < args.size())
      only = args[++i];
    else if (args[i] == QLatin1String("--keep") && i + 1 < args.size())
      keep = args[++i];
    else
      input = args[i];
  }
  if (!QFileInfo(input).isFile()) {
    std::fprintf(stderr, "Input \"%s\" not found.\n", qPrintable(input));
    return 1;
  }
  std::printf("input %s (%.1f MB), network with every check, 10 ms timer on the window's thread\n",
              qPrintable(input), double(QFileInfo(input).size()) / 1e6);

  bool failed = false;
  for (const char* mode : {"thread", "inline"}) {
    if (!only.isEmpty() && only != QLatin1String(mode)) continue;
    QTemporaryDir out(QDir::tempPath() + QStringLiteral("/window_latency-XXXXXX"));
    const QString folder = keep.isEmpty() ? out.path() : keep;
    QDir().mkpath(folder);
    const TMeasure m = Measure(input, folder, QLatin1String(mode) == QLatin1String("inline"));
    Print(mode, m);
    failed = failed || m.Failed;
  }
  return failed ? 1 : 0;
}
