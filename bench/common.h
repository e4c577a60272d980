// Helpers shared by the benchmarks: wall time, peak memory, a scratch database.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <malloc.h>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

// Median wall time in milliseconds of several runs.
inline double MedianMs(int runs, const std::function<void()>& body) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer t;
    t.start();
    body();
    times.push_back(double(t.nsecsElapsed()) / 1e6);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Medians of two bodies timed in turns, so both see the same conditions.
inline std::pair<double, double> PairedMedianMs(int runs, const std::function<void()>& a, const std::function<void()>& b) {
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    ta.push_back(MedianMs(1, a));
    tb.push_back(MedianMs(1, b));
  }
  std::sort(ta.begin(), ta.end());
  std::sort(tb.begin(), tb.end());
  return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

// Starts the peak over from the memory in use now, once what earlier work
// freed has gone back to the system.
inline void ResetPeak() {
  malloc_trim(0);
  QFile refs("/proc/self/clear_refs");
  if (refs.open(QIODevice::WriteOnly)) refs.write("5");
}

// A memory figure of this process in MiB, by its name in /proc/self/status.
inline double StatusMiB(const QByteArray& name) {
  QFile status("/proc/self/status");
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith(name + ':')) return line.mid(name.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
  }
  return -1;
}
inline double RssMiB() { return StatusMiB("VmRSS"); }   // in use now
inline double PeakMiB() { return StatusMiB("VmHWM"); }  // the peak since the last reset

#include "tests/support/testdb.h"

// Settings of the benchmark's own and the offscreen platform, before the
// application object exists.
inline void PrepareEnvironment() {
  UseFreshSettings();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Waits until the server is quiet again: what earlier updates left is
// purged (an empty history list) and its page cleaner has stopped writing
// dirty pages out (their count still for a second); at most two minutes.
// A million rows changed just before keep the server busy for seconds,
// and whatever is timed next, the UPDATE or the run, would pay for it.
inline void AwaitQuiet(const TestDatabase& db) {
  QElapsedTimer waited;
  waited.start();
  QString last;
  while (waited.elapsed() < 120000) {
    const QStringList now = db.Values(
        "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN "
        "('INNODB_HISTORY_LIST_LENGTH', 'INNODB_BUFFER_POOL_PAGES_DIRTY') ORDER BY VARIABLE_NAME");
    if (now.size() != 2) return;
    if (now[1] == "0" && now[0] == last) return;
    last = now[0];
    QThread::msleep(1000);
  }
}

// True when the test server runs; otherwise says how to start it.
inline bool ServerRunning() {
  if (ServerAvailable()) return true;
  std::fprintf(stderr, "start the test server first: eval \"$(scripts/test-db start)\"\n");
  return false;
}

// The connection window of a program started for a benchmark, with the
// given details typed in.
#include "database/mysql.h"
#include "shell/settings.h"
#include "tests/support/typedetails.h"
#include "windows/form1.h"

inline void TypeDetailsAndGoOn(Form1& form1, const MySQL::ConnectionDetails& d) {
  for (const char* name : {"MyServer", "MyUser", "MyPassword", "MyDatabase", "MyPort"}) Main::SaveSetting(name, "");
  form1.Form_Load();
  TypeDetails(form1, d);
}

#include <QRandomGenerator>


inline const char* kFirst[] = {"anna", "JOSÉ", "zoë", "mARIE-claire", "o'brien", "KATHARINA", "łukasz", "yuki", "seán", "lee"};
inline const char* kLast[] = {"o'neil", "McDONALD", "van der berg", "müller", "SMITH", "nguyen", "garcía", "kowalski"};

// Fresh table `t` (id, name) with the given number of rows of messy names.
inline void MakeTable(const TestDatabase& db, int rows, bool index) {
  db.Exec({"DROP TABLE IF EXISTS t",
           QStringLiteral("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(100)%1)").arg(index ? ", KEY (name)" : "")});
  QRandomGenerator random(7);
  for (int start = 0; start < rows; start += 5000) {
    QStringList values;
    for (int i = start; i < std::min(rows, start + 5000); ++i) {
      const QString name = QString::fromUtf8(kFirst[random.bounded(10)]) + " " + QString::fromUtf8(kLast[random.bounded(8)]) +
                           " " + QString::number(random.bounded(rows / 3 + 1));
      values << QStringLiteral("(%1,'%2')").arg(i).arg(EscapeValue(name));
    }
    db.Exec(QStringLiteral("INSERT INTO t VALUES ") + values.join(","));
  }
}


// The shapes of table a user has: keyed or not, the field indexed or not,
// every value its own or only a few.
struct TableShape {
  bool key = true;
  bool index = false;
  int distinct = 0;  // 0: nearly every row its own value
  const char* charset = "utf8mb4";  // the field's
};

// Fresh table `name` (id, name) of the given shape and rows, filled on the
// server from the sequence engine, so that a million rows take seconds.
inline void MakeShapedTable(const TestDatabase& db, const QString& table, int rows, TableShape shape) {
  const QString id = shape.key ? "id INT NOT NULL PRIMARY KEY" : "id INT NOT NULL";
  db.Exec({"DROP TABLE IF EXISTS " + table,
           QStringLiteral("CREATE TABLE %1 (%2, name VARCHAR(100) CHARACTER SET %4%3) ENGINE=InnoDB")
               .arg(table, id, shape.index ? ", KEY (name)" : "", QString::fromLatin1(shape.charset))});
  QStringList first, last;
  for (const char* f : kFirst) first << "'" + EscapeValue(QString::fromUtf8(f)) + "'";
  for (const char* l : kLast) last << "'" + EscapeValue(QString::fromUtf8(l)) + "'";
  const QString name =
      shape.distinct > 0
          ? QStringLiteral("ELT(1 + MOD(seq, %1), 'germany', 'france', 'spain', 'italy', 'poland')").arg(shape.distinct)
          : QStringLiteral("CONCAT(ELT(1 + MOD(seq, 10), %1), ' ', ELT(1 + MOD(seq DIV 10, 8), %2), ' ', seq)")
                .arg(first.join(","), last.join(","));
  // Characters the column's set lacks become '?', as a client's would.
  const QString value = QStringLiteral("CONVERT(%1 USING %2)").arg(name, QString::fromLatin1(shape.charset));
  db.Exec({"SET SESSION sql_mode = ''",
           QStringLiteral("INSERT INTO %1 SELECT seq, %2 FROM seq_0_to_%3").arg(table, value).arg(rows - 1)});
}


// The engine's run of one field, as the command line and the window make
// it, with its journal; with `undoMs`, then its undo, timed too.
#include "conversion/engine.h"

class QuietListener : public Conversion::Listener {
 public:
  void RecordFailed(qint64, const QString&, const QString& text, Conversion::Failure, qint64) override {
    std::fprintf(stderr, "record failed: %s\n", qPrintable(text));
  }
};

inline double EngineRunMs(const MySQL::ConnectionDetails& d, const QString& table, const QString& field,
                          Case::CaseMode mode, double* undoMs = nullptr) {
  QuietListener listener;
  const double ms = MedianMs(1, [&] {
    Conversion::Run run(listener);
    Conversion::Drive(run, {d, table, field, mode, {}}, nullptr, nullptr);
  });
  if (undoMs) {
    Journal::Store store;
    const auto last = store.LastRun({d.server, d.port, d.database, table, field});
    *undoMs = last ? MedianMs(1, [&] { Conversion::Undo(d, *last, store, nullptr); }) : -1;
  }
  return ms;
}
