// Undo Last Run: takes back the newest run of the current table and field
// that has not been undone, from the journal the run wrote ahead of each of
// its commits.
#include <QCoreApplication>
#include <QLocale>
#include <cmath>

#include "conversion/engine.h"
#include "conversion/undoflow.h"
#include "database/mysql.h"
#include "journal/store.h"
#include "shell/main.h"
#include "shell/messages.h"
#include "windows/form1.h"
#include "windows/form2.h"

namespace {

// The window's pointer goes back to the arrow and its bar to rest however
// the undo ends.
class Idle {
 public:
  Idle(PointerState& pointer, QProgressBar& bar) : pointer_(pointer), bar_(bar) {}
  ~Idle() {
    pointer_.Set(PointerState::Default);
    bar_.setValue(0);
    bar_.setFormat(QStringLiteral("Progress Bar"));
  }
  Idle(const Idle&) = delete;
  Idle& operator=(const Idle&) = delete;

 private:
  PointerState& pointer_;
  QProgressBar& bar_;
};

QString Quoted(const QString& name) { return QChar(0x201C) + name + QChar(0x201D); }

// Whether the journal gave a run to undo; says why not where it did not.
// The window asks for its field's newest run only, never one by its id.
bool Chosen(const Conversion::UndoChoice& choice, const QString& where, const QString& table) {
  switch (choice.why) {
    case Conversion::NoUndo::None:
      return true;
    case Conversion::NoUndo::LostNewest:
      // A recovery that lost the newest runs whole leaves the last run unknown.
      Main::MsgBox(QStringLiteral("The undo journal's recovery lost its newest runs, so the last run it still holds "
                                  "on %1 may not be the last one made.\r\n\r\nNothing was changed.")
                       .arg(where));
      return false;
    case Conversion::NoUndo::Keyless:
      Main::MsgBox(QStringLiteral("The last run on %1 cannot be undone exactly: %2. Undo restores only "
                                  "tables whose rows have a primary key or a unique key over NOT NULL columns.\r\n\r\n"
                                  "Nothing was changed.")
                       .arg(where, Conversion::KeylessReason(Quoted(table), choice.run->keyless)));
      return false;
    default:
      Main::MsgBox(QStringLiteral("There is no run on %1 to undo.").arg(where));
      return false;
  }
}

}  // namespace

bool Form2::StartJournal(Conversion::Run& run) {
  const MySQL::ConnectionDetails d = form1_.Details();
  const Journal::Target target{d.server, d.port, d.database, ListView1->SelectedText(), ListView2->SelectedText()};
  try {
    run.StartJournal(target, Combo1->currentText());
    return true;
  } catch (const Journal::Error& e) {
    Main::MsgBox(QStringLiteral("The run was not started, and nothing was changed: its undo journal cannot be "
                                "written.\r\n\r\n") +
                 QString::fromStdString(e.what()));
    return false;
  }
}

void Form2::UndoLastRun() {
  if (Busy()) return;  // never in the middle of another operation
  if (ListView2->Count() == 0) {
    Main::MsgBox(QStringLiteral("Please select a field."));
    return;
  }
  const MySQL::ConnectionDetails d = form1_.Details();
  Journal::Target target{d.server, d.port, d.database, ListView1->SelectedText(), ListView2->SelectedText()};
  {
    // The server's own name for itself finds runs made through any of its names.
    InputGuard::Hold hold(*guard_);
    Idle idle(pointer_, *ProgressBar1);
    pointer_.Set(PointerState::Busy);
    target.serverId = Conversion::ServerIdentity(d, true);
  }
  const QString where = QStringLiteral("table %1, field %2").arg(Quoted(target.table), Quoted(target.field));
  // A damaged journal gives up none of the runs it can still read: they go
  // to a new file, and the damaged one is kept.
  std::unique_ptr<Journal::Store> journal;
  Conversion::UndoChoice choice;
  try {
    Journal::Recovering(
        [&] {
          journal.reset();
          journal = std::make_unique<Journal::Store>();
          try {
            choice = Conversion::ChooseUndo(*journal, {target});
          } catch (...) {
            journal.reset();
            throw;
          }
          return 0;
        },
        [](const QString& keptAs) {
          Main::MsgBox(QStringLiteral("The undo journal was damaged. The runs it could still read are in a new "
                                      "journal, and the damaged file is kept as %1.")
                           .arg(keptAs));
        });
  } catch (const Journal::Error& e) {
    Main::MsgBox(QStringLiteral("The undo journal cannot be read, and nothing was changed.\r\n\r\n") +
                 QString::fromStdString(e.what()));
    return;
  }
  Journal::Store& store = *journal;
  if (!Chosen(choice, where, target.table)) return;
  const Journal::RunHeader& run = *choice.run;
  const QString time = QLocale().toString(run.time.toLocalTime(), QLocale::ShortFormat);
  if (!Main::AskYesNo(QStringLiteral("Undo the last run on %1?\r\n\r\nMode: %2\r\nTime: %3\r\nRows: %4\r\n\r\n"
                                     "Each row gets its old value back, unless it was changed since.")
                          .arg(where, run.mode, time, QString::number(run.rows))))
    return;

  InputGuard::Hold hold(*guard_);
  Idle idle(pointer_, *ProgressBar1);
  pointer_.Set(PointerState::Busy);
  qint64 shown = -1;
  const Conversion::UndoResult result = Conversion::Undo(
      d, run, store,
      [&](qint64 i, qint64 count) {
        if (i % 64 == 0) QCoreApplication::processEvents();
        const qint64 percent = std::lround(double(i + 1) / double(count) * 100.0);
        if (percent != shown) ProgressBar1->setValue(int(shown = percent));
      });
  const qint64 restored = result.restored;
  const qint64 left = result.left;
  ProgressBar1->setValue(0);
  Main::MsgBox(QStringLiteral("%1 rows restored, %2 rows changed since were left as they are.").arg(restored).arg(left));
  ListView2_Click();
}
