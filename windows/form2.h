// The selection window: tables, fields, the preview of the chosen field, the
// case mode, and "Start Changing".
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <memory>

#include "caserules/case.h"
#include "database/rowkey.h"
#include "windows/listview.h"
#include "windows/fixedwindow.h"
#include "windows/pointer.h"

class Form1;
namespace ADODB {
class Connection;
}
namespace Conversion {
class Run;
}

class Form2 : public FixedWindow {
 public:
  explicit Form2(Form1& form1);
  ~Form2() override;

  // Event procedures
  void Form_Load();
  void Combo1_Click();       // the mode changed
  void ListView1_Click();    // a table was chosen
  void ListView2_Click();    // a field was chosen
  void PushButton1_Click();  // "Start Changing": the conversion run
  void PushButton5_Click();  // "< Back"
  void UndoLastRun();        // Ctrl+Z, or "Undo Last Run…" on the preview list

  PointerState& Pointer() { return pointer_; }
  bool Busy() const { return guard_->Active(); }

  static inline const QString kListTip =
      QStringLiteral("Move | line to right and out of window to reveal full names.");

  ListView* ListView1;        // tables
  ListView* ListView2;        // fields of the current table
  ListView* ListView3;        // first values of the current field
  QGroupBox* Frame1;          // "Change All Fields To"
  QComboBox* Combo1;          // the case mode
  QPushButton* PushButton5;   // "< Back"
  QPushButton* PushButton1;   // "Start Changing"
  QProgressBar* ProgressBar1; // progress of the run

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The preview text of a value: bytes as a cut hex text.
  static QString PreviewText(const QVariant& value);
  // Opens the run's undo journal; false, after one box saying why, when the
  // run cannot be journaled and must not start.
  bool StartJournal(Conversion::Run& run);

  // Opens the user's word list in the desktop's editor, made first where
  // there is none yet.
  void EditWordList();

  Form1& form1_;
  PointerState pointer_;
  InputGuard* guard_;
  // What the last run added to its mode, for the preview after it.
  Case::Rules previewRules_;
  std::shared_ptr<const Case::WordList> words_;
};
