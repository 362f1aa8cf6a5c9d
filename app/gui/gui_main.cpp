// osm2trassel: the converter's window.
#include <QApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>

#include "main_window.h"
#include "version.h"

namespace {

// For pictures taken without anyone at the screen: boxes would wait for a
// click forever, so their texts go to stderr.
class TUnattendedForm : public TForm1 {
 public:
  void ShowMessage(const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  void ShowError(const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  bool Confirm(const QString& text) override {
    ShowMessage(text);
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(ProgramName));
  QApplication::setApplicationVersion(QString::fromUtf8(ProgramVersion));
  QApplication::setDesktopFileName(QStringLiteral("osm2trassel"));

  // Hidden options for the documentation pictures:
  //   --screenshot FILE [--output DIR] [OSM files...]
  // show the window, run the listed files into DIR when given, save the
  // window's picture to FILE and quit without touching the settings.
  QString shot, output;
  QStringList files;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size())
      shot = args[++i];
    else if (args[i] == QLatin1String("--output") && i + 1 < args.size())
      output = args[++i];
    else
      files << args[i];
  }

  if (shot.isEmpty()) {
    TForm1 form;
    form.show();
    return app.exec();
  }

  TUnattendedForm form;
  form.show();
  form.SetSaveSettingsOnClose(false);
  int status = 0;
  QTimer::singleShot(0, &form, [&] {
    for (const QString& f : files) form.lbFiles->addItem(f);
    if (!files.isEmpty()) {
      if (!output.isEmpty()) {
        form.MainDir = output.endsWith(QLatin1Char('/')) ? output : output + QLatin1Char('/');
        form.Label2->setText(form.MainDir);
      }
      form.SetDefaultOutputFolder();
      form.UpdateGoButton();
      form.btnGoClick();
      form.lbFiles->clearSelection();
      form.lbFiles->setCurrentRow(-1);
    }
    QApplication::processEvents();
    if (!form.grab().save(shot)) {
      std::fprintf(stderr, "Cannot write \"%s\".\n", qPrintable(shot));
      status = 1;
    }
    form.close();
    QApplication::quit();
  });
  app.exec();
  return status;
}
