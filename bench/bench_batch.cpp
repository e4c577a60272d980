// The run's statements travel in batches: through a relay that delays each
// direction by 5 ms, the run against replaying its identical statements one
// per call through ODBC; on loopback, the run against one server-side
// UPDATE of the whole table; and the run's memory growth on a large table
// against the bytes of its field. The server commits durably
// (innodb_flush_log_at_trx_commit=1) while this runs.
//   bench_batch [rows through the relay = 20000] [loopback rows = 100000] [memory rows = 1000000]
#include <QApplication>
#include <cstdio>

#include "bench/common.h"
#include "bench/relay.h"
#include "caserules/case.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/rewrite.h"
#include "shell/main.h"
#include "tests/support/recorder.h"
#include "windows/form1.h"
#include "windows/form2.h"

int main(int argc, char** argv) {
  PrepareEnvironment();
  QApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int relayRows = argc > 1 ? atoi(argv[1]) : 20000;
  const int loopRows = argc > 2 ? atoi(argv[2]) : 100000;
  const int memoryRows = argc > 3 ? atoi(argv[3]) : 1000000;
  BoxRecorder boxes;
  Main::SetRandomDraw([] { return 0.5; });
  TestDatabase db;
  db.Exec("SET GLOBAL innodb_flush_log_at_trx_commit = 1");

  // Runs Start Changing in the given mode on `t`.`name` with these details;
  // with `undoMs`, then takes the run back and times that too.
  const auto run = [&](const MySQL::ConnectionDetails& d, int mode, double* undoMs = nullptr) {
    Main::SaveSetting("Combo1", QString::number(mode));
    Form1 form1;
    TypeDetailsAndGoOn(form1, d);
    form1.PushButton3_Click();
    Form2& form2 = form1.GetForm2();
    form2.ListView2->setCurrentItem(form2.ListView2->topLevelItem(1));
    const double ms = MedianMs(1, [&] { form2.PushButton1_Click(); });
    if (undoMs) {
      *undoMs = MedianMs(1, [&] { form2.UndoLastRun(); });
      boxes.boxes.clear();  // its question and its answer
    }
    return ms;
  };

  if (relayRows > 0) {
    DelayRelay relay(db.Details().port.toInt(), std::chrono::milliseconds(5));
    MySQL::ConnectionDetails far = db.Details();
    far.port = QString::number(relay.Port());
    MakeTable(db, relayRows, true);
    QStringList statements;
    for (const QString& v : db.Values("SELECT name FROM t"))
      statements << Rewrite::ValueStatement("t", "name", v.toUtf8(), Case::ProperCase(v).toUtf8(), "utf8mb4");
    const QString original = db.Values("CHECKSUM TABLE t").value(0);
    double undoMs = 0;
    run(far, 2, &undoMs);
    const bool undone = db.Values("CHECKSUM TABLE t").value(0) == original;
    const double runMs = run(far, 2);
    const QString converted = db.Values("CHECKSUM TABLE t").value(0);
    // The same statements through the batch sender alone, without the
    // window and its undo journal.
    MakeTable(db, relayRows, true);
    int bound = 0;
    const double senderMs = MedianMs(1, [&] {
      ADODB::Connection c;
      c.MultipleStatements = true;
      c.Open(MySQL::ConnectionString(far));
      Batch::Sender sender(c, [](int, const QString&) {});
      bound = sender.StatementBound();
      for (const QString& s : statements) sender.Add(s, 0);
      sender.Flush();
    });
    MakeTable(db, relayRows, true);
    const double replayMs = MedianMs(1, [&] {
      ADODB::Connection c;
      c.Open(MySQL::ConnectionString(far));
      for (const QString& s : statements) c.Execute(s);
    });
    std::printf("%d rows through a relay adding 5 ms each way: run (with its undo journal) %.0f ms, the batch sender "
                "alone %.0f ms (%d statements a batch), one statement per call %.0f ms; ratios %.1f and %.1f (target >= 50); "
                "same table afterwards: %s\n",
                relayRows, runMs, senderMs, bound, replayMs, replayMs / runMs, replayMs / senderMs,
                db.Values("CHECKSUM TABLE t").value(0) == converted ? "yes" : "NO");
    std::printf("%d rows through the relay: undoing the run %.0f ms, the table as before: %s\n", relayRows, undoMs,
                undone ? "yes" : "NO");
    std::fflush(stdout);
  }

  if (loopRows > 0) {
    MakeTable(db, loopRows, true);
    const double runMs = run(db.Details(), 0);
    // The same statements through the batch sender alone, without the window.
    MakeTable(db, loopRows, true);
    QStringList statements;
    for (const QString& v : db.Values("SELECT name FROM t"))
      statements << Rewrite::ValueStatement("t", "name", v.toUtf8(), Case::UpperText(v).toUtf8(), "utf8mb4");
    const double senderMs = MedianMs(1, [&] {
      ADODB::Connection c;
      c.MultipleStatements = true;
      c.Open(MySQL::ConnectionString(db.Details()));
      Batch::Sender sender(c, [](int, const QString&) {});
      for (const QString& s : statements) sender.Add(s, 0);
      sender.Flush();
    });
    // The least these statements can cost: the same batches of 250, bare,
    // without the notes that tell refused statements and warnings apart.
    MakeTable(db, loopRows, true);
    const double bareMs = MedianMs(1, [&] {
      ADODB::Connection c;
      c.MultipleStatements = true;
      c.Open(MySQL::ConnectionString(db.Details()));
      for (qsizetype from = 0; from < statements.size(); from += 250)
        c.ExecuteMany("START TRANSACTION;" + statements.mid(from, 250).join(QString()) + "COMMIT;",
                      [](int, ADODB::RecordSet*) {});
    });
    MakeTable(db, loopRows, true);
    const double updateMs = MedianMs(1, [&] { db.Exec("UPDATE t SET name = UPPER(name)"); });
    std::printf("%d rows on loopback: run (with its undo journal) %.0f ms, one UPDATE t SET name = UPPER(name) "
                "%.0f ms, ratio %.1f (target <= 10)\n",
                loopRows, runMs, updateMs, runMs / updateMs);
    std::printf("%d rows on loopback: the batch sender alone %.0f ms, against the one UPDATE: ratio %.1f\n", loopRows, senderMs,
                senderMs / updateMs);
    std::printf("%d rows on loopback: the same statements bare in batches of 250, nothing checked, %.0f ms, against the one "
                "UPDATE: ratio %.1f\n",
                loopRows, bareMs, bareMs / updateMs);
    std::fflush(stdout);
  }

  if (memoryRows > 0) {
    MakeTable(db, memoryRows, true);
    const double fieldMiB = db.Values("SELECT SUM(LENGTH(name)) FROM t").first().toDouble() / 1048576.0;
    ResetPeak();
    const double before = RssMiB();
    const double runMs = run(db.Details(), 2);
    const double growth = PeakMiB() - before;
    std::printf("%d rows on loopback: run (with its undo journal) %.0f ms; memory growth %.1f MiB for %.1f MiB of field text, "
                "bound 3 x text + 32 = %.1f MiB\n",
                memoryRows, runMs, growth, fieldMiB, 3 * fieldMiB + 32);
  }
  db.Exec("SET GLOBAL innodb_flush_log_at_trx_commit = 2");
  for (const auto& b : boxes.boxes) std::fprintf(stderr, "box: %s\n", qPrintable(b.text));
  return boxes.boxes.empty() ? 0 : 1;
}
