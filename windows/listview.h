// The list view of the selection window: a one-column report-style list
// whose items the case routines and the table listing work on.
#pragma once

#include <QTreeWidget>

#include "caserules/case.h"
#include "database/mysql.h"

class ListView : public QTreeWidget, public Case::TextList, public MySQL::NameList {
  Q_OBJECT
 public:
  explicit ListView(QWidget* parent = nullptr);

  // Adds the report column with its header; until then the list shows none.
  void AddColumn(const QString& header);
  void SetColumnWidthTwips(int twips);
  QString HeaderText() const;

  // Appends an item; a list that was empty selects its first item.
  void AddItem(const QString& text);
  void Clear();
  int Count() const { return topLevelItemCount(); }
  // The text of the selected item; raises when no item is selected.
  QString SelectedText() const;

  // Case::TextList, positions from 1
  int ItemCount() const override { return Count(); }
  QString ItemText(int position) const override;
  void SetItemText(int position, const QString& text) override;
  // MySQL::NameList
  void ClearItems() override { Clear(); }
  void AppendItem(const QString& text) override { AddItem(text); }

 signals:
  // A click anywhere on the list (the list's Click event).
  void Click();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  // A press of the left button that a release turns into a click: not the
  // second press of a double-click, and not one the list never saw.
  bool clickPressed_ = false;
};
