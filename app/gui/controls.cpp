#include "controls.h"

#include <QButtonGroup>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QMimeData>
#include <QPainter>
#include <QRadioButton>
#include <QStyle>
#include <QUrl>

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent, int columns)
    : QGroupBox(caption, parent), FButtons(new QButtonGroup(this)) {
  auto* layout = new QGridLayout(this);
  layout->setHorizontalSpacing(12);
  layout->setVerticalSpacing(2);
  layout->setContentsMargins(8, 4, 8, 6);
  columns = std::max(1, columns);
  const int rows = std::max(1, static_cast<int>((items.size() + columns - 1) / columns));
  int id = 0;
  for (const QString& text : items) {
    auto* b = new QRadioButton(text, this);
    FButtons->addButton(b, id);
    layout->addWidget(b, id % rows, id / rows);
    b->installEventFilter(this);
    ++id;
  }
  layout->setColumnStretch(layout->columnCount(), 1);
  connect(FButtons, &QButtonGroup::idClicked, this, [this](int) { emit Click(); });
  connect(FButtons, &QButtonGroup::idToggled, this, [this](int, bool) { UpdateTabStop(); });
  UpdateTabStop();
}

QList<QWidget*> TRadioGroup::Buttons() const {
  QList<QWidget*> r;
  for (int i = 0; i < Count(); ++i) r << FButtons->button(i);
  return r;
}

// Qt keeps the tab stop on the button that last had the focus, which is not
// the checked one when the choice came from code (the settings at start).
void TRadioGroup::UpdateTabStop() {
  const int checked = std::max(0, ItemIndex());
  for (int i = 0; i < Count(); ++i)
    FButtons->button(i)->setFocusPolicy(i == checked ? Qt::StrongFocus : Qt::ClickFocus);
}

bool TRadioGroup::eventFilter(QObject* watched, QEvent* event) {
  // A press on one button released on another focuses without checking.
  if (event->type() == QEvent::FocusOut) UpdateTabStop();
  return QGroupBox::eventFilter(watched, event);
}

int TRadioGroup::ItemIndex() const { return FButtons->checkedId(); }

int TRadioGroup::Count() const { return static_cast<int>(FButtons->buttons().size()); }

QString TRadioGroup::ItemText(int index) const {
  QAbstractButton* b = FButtons->button(index);
  if (!b) return QString();
  QString t = b->text();
  return t.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

void TRadioGroup::SetItemIndex(int index) {
  if (Count() == 0) return;
  index = std::clamp(index, 0, Count() - 1);
  if (index == ItemIndex()) return;
  FButtons->button(index)->setChecked(true);
  emit Click();
}

TCheckListBox::TCheckListBox(const QStringList& items, QWidget* parent) : QListWidget(parent) {
  for (const QString& text : items) {
    auto* item = new QListWidgetItem(text, this);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    item->setCheckState(Qt::Unchecked);
  }
  setSelectionMode(QAbstractItemView::SingleSelection);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

bool TCheckListBox::Checked(int index) const {
  const QListWidgetItem* i = item(index);
  return i && i->checkState() == Qt::Checked;
}

void TCheckListBox::SetChecked(int index, bool checked) {
  if (QListWidgetItem* i = item(index)) i->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

QSize TCheckListBox::sizeHint() const {
  int h = 2 * frameWidth();
  for (int r = 0; r < count(); ++r) h += sizeHintForRow(r);
  return QSize(QListWidget::sizeHint().width(), h);
}

QSize TCheckListBox::minimumSizeHint() const { return QSize(QListWidget::minimumSizeHint().width(), sizeHint().height()); }

namespace {

QStringList LocalPaths(const QMimeData* mime) {
  QStringList r;
  if (!mime || !mime->hasUrls()) return r;
  for (const QUrl& u : mime->urls())
    if (u.isLocalFile() && !u.toLocalFile().isEmpty()) r << u.toLocalFile();
  return r;
}

// The list only names the files: a drop is taken as a copy, never as a move,
// or a file manager offering both would delete what was dropped.
bool AcceptAsCopy(QDropEvent* event, bool enabled) {
  if (!enabled || !(event->possibleActions() & Qt::CopyAction) || LocalPaths(event->mimeData()).isEmpty()) {
    event->ignore();
    return false;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  return true;
}

}  // namespace

TFileListBox::TFileListBox(QWidget* parent) : QListWidget(parent) {
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

void TFileListBox::dragEnterEvent(QDragEnterEvent* event) { AcceptAsCopy(event, isEnabled()); }

void TFileListBox::dragMoveEvent(QDragMoveEvent* event) { AcceptAsCopy(event, isEnabled()); }

void TFileListBox::dropEvent(QDropEvent* event) {
  if (AcceptAsCopy(event, isEnabled())) emit PathsDropped(LocalPaths(event->mimeData()));
}

TPathLabel::TPathLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

QSize TPathLabel::minimumSizeHint() const { return QSize(0, QLabel::minimumSizeHint().height()); }

void TPathLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, r.width());
  style()->drawItemText(&p, r, int(Qt::AlignLeft | Qt::AlignVCenter), palette(), isEnabled(), shown, foregroundRole());
}
