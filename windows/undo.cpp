// Undo Last Run: takes back the newest run of the current table and field
// that has not been undone, from the journal the run wrote ahead of each of
// its commits.
#include <QCoreApplication>
#include <QLocale>
#include <cmath>

#include "database/ado.h"
#include "database/batch.h"
#include "database/mysql.h"
#include "database/rewrite.h"
#include "journal/recorder.h"
#include "shell/main.h"
#include "shell/messages.h"
#include "windows/form1.h"
#include "windows/form2.h"
#include "windows/run.h"

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

}  // namespace

std::unique_ptr<Journal::RunRecorder> Form2::StartJournal(const MySQL::RowIdentity& identity) {
  const MySQL::ConnectionDetails d = form1_.Details();
  const Journal::Target target{d.server, d.port, d.database, ListView1->SelectedText(), ListView2->SelectedText()};
  try {
    return Journal::RunRecorder::Start(identity, target, Combo1->currentText());
  } catch (const std::exception& e) {
    Main::MsgBox(QStringLiteral("The run was not started, and nothing was changed: its undo journal cannot be "
                                "written.\r\n\r\n") +
                 QString::fromStdString(e.what()));
    return nullptr;
  }
}

void Form2::UndoLastRun() {
  if (Busy()) return;  // never in the middle of another operation
  if (ListView2->Count() == 0) {
    Main::MsgBox(QStringLiteral("Please select a field."));
    return;
  }
  const MySQL::ConnectionDetails d = form1_.Details();
  const Journal::Target target{d.server, d.port, d.database, ListView1->SelectedText(), ListView2->SelectedText()};
  const QString where = QStringLiteral("table %1, field %2").arg(Quoted(target.table), Quoted(target.field));
  Journal::Store store;
  const std::optional<Journal::RunHeader> run = store.LastRun(target);
  if (!run) {
    Main::MsgBox(QStringLiteral("There is no run on %1 to undo.").arg(where));
    return;
  }
  if (!run->keyless.isEmpty()) {
    Main::MsgBox(QStringLiteral("The last run on %1 cannot be undone exactly: the table %2. Undo restores only "
                                "tables whose rows have a primary key or a unique key over NOT NULL columns.\r\n\r\n"
                                "Nothing was changed.")
                     .arg(where, run->keyless));
    return;
  }
  const QString time = QLocale().toString(run->time.toLocalTime(), QLocale::ShortFormat);
  if (!Main::AskYesNo(QStringLiteral("Undo the last run on %1?\r\n\r\nMode: %2\r\nTime: %3\r\nRows: %4\r\n\r\n"
                                     "Each row gets its old value back, unless it was changed since.")
                          .arg(where, run->mode, time, QString::number(run->rows))))
    return;

  InputGuard::Hold hold(*guard_);
  Idle idle(pointer_, *ProgressBar1);
  pointer_.Set(PointerState::Busy);
  auto connection = std::make_unique<ADODB::Connection>();
  MySQL::ApplyOptions(*connection, MySQL::RunOptions);
  connection->MultipleStatements = true;
  connection->ResponsiveWaits = true;
  connection->Open(MySQL::ConnectionString(d));
  auto mode = connection->Execute(QStringLiteral("SELECT @@SESSION.sql_mode;"));
  connection->Execute(Rewrite::SessionModeStatement(mode ? mode->Value(0).toString() : QString()));
  connection->Execute(MySQL::SessionTimeZone());

  // The same batched transport as the run: a refused row is left as it is.
  Journal::Restorer restorer(*run, Journal::EntriesNewestFirst(store, run->id));
  qint64 refused = 0;
  Batch::Sender sender(*connection, [&](int, const QString&) { ++refused; });
  sender.SetHook(&restorer);
  const size_t count = restorer.Count();
  for (size_t i = 0; i < count; ++i) {
    if (i % 64 == 0) QCoreApplication::processEvents();
    ProgressBar1->setValue(int(std::lround(double(i + 1) / double(count) * 100.0)));
    sender.Add(restorer.Statement(i), 0, restorer.Note(i));
  }
  sender.Flush();
  store.MarkUndone(run->id);
  const qint64 restored = restorer.Restored() - refused;
  const qint64 left = restorer.ChangedSince() + refused;
  ProgressBar1->setValue(0);
  Main::MsgBox(QStringLiteral("%1 rows restored, %2 rows changed since were left as they are.").arg(restored).arg(left));
  ListView2_Click();
}
