// Two small controls the window needs and Qt does not have as such: a titled
// group of radio buttons with one item index, and a list of check boxes.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QStringList>

class QButtonGroup;

// Radio buttons in a titled frame. ItemIndex is -1 only while nothing is
// chosen; SetItemIndex brings any other value into the items' range, so a
// stored index from an older or hand-edited settings file still shows a
// choice. Tab enters the group on its checked button, whichever way that
// button was checked; the arrow keys move within the group.
class TRadioGroup : public QGroupBox {
  Q_OBJECT
 public:
  // Items fill the columns top to bottom, left to right.
  TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent = nullptr, int columns = 1);
  int ItemIndex() const;
  void SetItemIndex(int index);
  int Count() const;
  QString ItemText(int index) const;  // as shown, "&&" already single
  QList<QWidget*> Buttons() const;    // in item order, for the window's tab order

 signals:
  // A user's click on an item, or a change of ItemIndex from code.
  void Click();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void UpdateTabStop();
  QButtonGroup* FButtons;
};

// A list of labelled check boxes, as the modes and the optional fields are
// shown.
class TCheckListBox : public QListWidget {
  Q_OBJECT
 public:
  TCheckListBox(const QStringList& items, QWidget* parent = nullptr);
  bool Checked(int index) const;
  void SetChecked(int index, bool checked);
  // Height that shows every item without a scroll bar.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
};

// The input file list. Local files and folders dropped on it are handed on
// as paths; other drops are refused, and so is everything while it is
// disabled.
class TFileListBox : public QListWidget {
  Q_OBJECT
 public:
  explicit TFileListBox(QWidget* parent = nullptr);

 signals:
  void PathsDropped(const QStringList& paths);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

// A label for a path: when the path is wider than the label, its middle is
// left out on screen while text() keeps the whole path.
class TPathLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TPathLabel(const QString& text, QWidget* parent = nullptr);
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
