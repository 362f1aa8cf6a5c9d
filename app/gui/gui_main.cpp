// osm2trassel: the converter's window.
#include <QApplication>
#include <QEventLoop>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>

#include "main_window.h"
#include "version.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(ProgramName));
  QApplication::setApplicationVersion(QString::fromUtf8(ProgramVersion));
  QApplication::setDesktopFileName(QStringLiteral("osm2trassel"));

  // Hidden options for the documentation pictures:
  //   --screenshot FILE [--output DIR] [OSM files...]
  // show the window, run the listed files into DIR when given, save the
  // window's picture to FILE and quit without touching the settings.
  const TWindowArguments a = ParseWindowArguments(QApplication::arguments().mid(1));
  const QString& shot = a.Screenshot;
  const QString& output = a.Output;
  const QStringList& files = a.Paths;

  if (shot.isEmpty()) {
    // Files and folders given here (a desktop entry passes them) are listed
    // as "Add Files" and "Add Files in folder" would list them.
    TForm1 form;
    form.show();
    if (!files.isEmpty()) QTimer::singleShot(0, &form, [&form, files] { form.AddPaths(files); });
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
      QEventLoop wait;
      QObject::connect(&form, &TForm1::RunFinished, &wait, &QEventLoop::quit);
      form.btnGoClick();
      if (form.Running()) wait.exec();
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
