#include "controls.h"

#include <QButtonGroup>
#include <QPainter>
#include <QRadioButton>
#include <QStyle>
#include <QGridLayout>

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
    ++id;
  }
  layout->setColumnStretch(layout->columnCount(), 1);
  connect(FButtons, &QButtonGroup::idClicked, this, [this](int) { emit Click(); });
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
