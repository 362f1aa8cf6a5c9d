// osm2trassel: the converter's window.
#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>

#include "main_window.h"
#include "version.h"

namespace {

// The window with the box in front of it, where the box stands, framed: on
// a virtual screen without a window manager neither has a frame of its own.
QPixmap WindowWithBox(QWidget& window, QWidget& box) {
  QPixmap shot = window.grab();
  QPainter p(&shot);
  const QPixmap front = box.grab();
  const QPoint at = box.mapToGlobal(QPoint(0, 0)) - window.mapToGlobal(QPoint(0, 0));
  p.drawPixmap(at, front);
  p.setPen(QPen(window.palette().color(QPalette::Dark), 1));
  p.drawRect(QRect(at, front.size() / front.devicePixelRatio()).adjusted(-1, -1, 0, 0));
  return shot;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(ProgramName));
  QApplication::setApplicationVersion(QString::fromUtf8(ProgramVersion));
  QApplication::setDesktopFileName(QStringLiteral("osm2trassel"));

  // Hidden options for the documentation pictures:
  //   --screenshot FILE [--output DIR] [OSM files...]
  // show the window, run the listed files into DIR when given, save the
  // window's picture to FILE and quit without touching the settings;
  //   --question FILE --output DIR OSM files...
  // press Go for a DIR that holds results, save the window with the question
  // Go asks then to FILE, answer cancel and quit.
  const TWindowArguments a = ParseWindowArguments(QApplication::arguments().mid(1));
  const QString shot = a.Question.isEmpty() ? a.Screenshot : a.Question;
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
  form.ShowFolderQuestion = !a.Question.isEmpty();
  int status = 0;
  auto save = [&](const QPixmap& picture) {
    if (!picture.save(shot)) {
      std::fprintf(stderr, "Cannot write \"%s\".\n", qPrintable(shot));
      status = 1;
    }
  };
  bool asked = false;
  // The question is modal: its picture is taken, and it is answered, from
  // a timer that runs inside it.
  QTimer question;
  question.setInterval(50);
  QObject::connect(&question, &QTimer::timeout, &form, [&] {
    auto* box = form.findChild<QMessageBox*>(QStringLiteral("OutputFolderQuestion"));
    if (!box || !box->isVisible()) return;
    question.stop();
    asked = true;
    QApplication::processEvents();
    save(WindowWithBox(form, *box));
    box->findChild<QAbstractButton*>(QStringLiteral("btnCancel"))->click();
  });
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
      if (form.ShowFolderQuestion) question.start();
      form.btnGoClick();
      if (form.Running()) wait.exec();
      form.lbFiles->clearSelection();
      form.lbFiles->setCurrentRow(-1);
    }
    QApplication::processEvents();
    if (form.ShowFolderQuestion) {
      if (!asked) {
        std::fprintf(stderr, "No question was asked: the output folder holds no results.\n");
        status = 1;
      }
    } else {
      save(form.grab());
    }
    form.close();
    QApplication::quit();
  });
  app.exec();
  return status;
}
