#include "windows/listview.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyledItemDelegate>
#include <stdexcept>

namespace {

// Draws an item with no more of its text than a row can show: laying out a
// value of megabytes on every repaint would stall the window, while the
// item keeps its whole text for whoever reads it.
class ShortTextDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  static constexpr qsizetype kShownCharacters = 1000;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    if (option->text.size() > kShownCharacters) option->text = option->text.left(kShownCharacters) + QChar(0x2026);
  }
};

}  // namespace

ListView::ListView(QWidget* parent) : QTreeWidget(parent) {
  setItemDelegate(new ShortTextDelegate(this));
  setColumnCount(1);
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  header()->setStretchLastSection(false);
  setHeaderHidden(true);
}

void ListView::AddColumn(const QString& header) {
  setHeaderLabels({header});
  setHeaderHidden(false);
}

void ListView::SetColumnWidthTwips(int twips) {
  // 15 twips make one pixel at 96 dots per inch.
  setColumnWidth(0, (twips + 7) / 15);
}

QString ListView::HeaderText() const { return isHeaderHidden() ? QString() : headerItem()->text(0); }

void ListView::AddItem(const QString& text) {
  const bool wasEmpty = topLevelItemCount() == 0;
  auto* item = new QTreeWidgetItem(QStringList{text});
  addTopLevelItem(item);
  if (wasEmpty) setCurrentItem(item);
}

void ListView::Clear() { clear(); }

QString ListView::SelectedText() const {
  const auto selected = selectedItems();
  if (!selected.isEmpty()) return selected.first()->text(0);
  if (currentItem()) return currentItem()->text(0);
  throw std::runtime_error("Object variable or With block variable not set");
}

QString ListView::ItemText(int position) const {
  auto* item = topLevelItem(position - 1);
  if (!item) throw std::runtime_error("Index out of bounds");
  return item->text(0);
}

void ListView::SetItemText(int position, const QString& text) {
  auto* item = topLevelItem(position - 1);
  if (!item) throw std::runtime_error("Index out of bounds");
  item->setText(0, text);
}

void ListView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) clickPressed_ = true;
  QTreeWidget::mousePressEvent(event);
}

void ListView::mouseDoubleClickEvent(QMouseEvent* event) {
  // A double-click is one choice: its first click has chosen already.
  if (event->button() == Qt::LeftButton) clickPressed_ = false;
  QTreeWidget::mouseDoubleClickEvent(event);
}

void ListView::mouseReleaseEvent(QMouseEvent* event) {
  QTreeWidget::mouseReleaseEvent(event);
  // The press may have been kept from the list while it was busy, and a
  // double-click's second press is no click of its own.
  const bool click = event->button() == Qt::LeftButton && clickPressed_;
  if (event->button() == Qt::LeftButton) clickPressed_ = false;
  if (click) emit Click();
}

void ListView::keyReleaseEvent(QKeyEvent* event) {
  QTreeWidget::keyReleaseEvent(event);
  // Moving the selection with the keyboard chooses the item, as a click does.
  switch (event->key()) {
    case Qt::Key_Up: case Qt::Key_Down: case Qt::Key_Home: case Qt::Key_End:
    case Qt::Key_PageUp: case Qt::Key_PageDown:
      if (!event->isAutoRepeat()) emit Click();
      break;
    default:
      break;
  }
}
