// The whole run from the command line (norvale convert, a process of its
// own) and through the window, each with its undo journal, on the tables
// users have (no index on the field; keyed or not; every value its own or
// three in all; utf8mb4 and latin1), against one server-side UPDATE of an
// identical table, at each size given:
//   bench_scale [case] [rows=100000] [rows…]
// (`case`: only the cases whose name holds it, as "latin1" or "no key")
// Beside the times: the command's peak resident memory, and how much the
// window's grew during its run. Both should stay flat as the table grows.
#include <algorithm>
#include <functional>
#include <QApplication>
#include <QProcess>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/common.h"
#include "shell/main.h"
#include "tests/support/recorder.h"
#include "windows/form1.h"
#include "windows/form2.h"

namespace {

// Runs the program to its end; its exit status and its peak resident
// memory in MiB.
std::pair<int, double> RunMeasured(const QStringList& args) {
  std::vector<QByteArray> bytes{QByteArray(NORVALE_BINARY)};
  for (const QString& a : args) bytes.push_back(a.toUtf8());
  std::vector<char*> argv;
  for (QByteArray& b : bytes) argv.push_back(b.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, double(usage.ru_maxrss) / 1024.0};
}

// norvale convert of `u`'s field in `mode`: its time, and its peak memory.
std::pair<double, double> Command(const TestDatabase& db, const QString& mode) {
  const MySQL::ConnectionDetails d = db.Details();
  double peak = 0;
  AwaitQuiet(db);
  const double ms = MedianMs(1, [&] {
    const auto [status, mib] =
        RunMeasured({"convert", "-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password, "-D", d.database,
                     "--table", "u", "--field", "name", "--mode", mode, "--yes", "--no-defaults"});
    if (status != 0) std::fprintf(stderr, "norvale convert ended with %d\n", status);
    peak = mib;
  });
  return {ms, peak};
}

// The UPDATE's median of three, lowered again between them: one alone
// varies by half on this machine.
double SingleUpdateMs(const TestDatabase& db) {
  std::vector<double> ms;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) db.Exec("UPDATE s SET name = LOWER(name)");
    AwaitQuiet(db);
    ms.push_back(MedianMs(1, [&] { db.Exec("UPDATE s SET name = UPPER(name)"); }));
  }
  std::sort(ms.begin(), ms.end());
  return ms[1];
}

// Each other mode's command against the same UPDATE, on a keyed table:
// the median of three, each on the table made again by `run`.
void OtherModes(const std::function<double(const QString&)>& run, const QString& what, double updateMs) {
  for (const auto& [mode, bound] : {std::pair{"lower", 3}, {"proper", 6}, {"sentence", 6}, {"name", 6}}) {
    std::vector<double> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(run(QString::fromLatin1(mode)));
    std::sort(runs.begin(), runs.end());
    std::printf("%s: %-8s %7.0f ms, ratio %5.1f to the UPDATE (target <= %d)\n", qPrintable(what), mode, runs[1],
                runs[1] / updateMs, bound);
  }
}

}  // namespace

int main(int argc, char** argv) {
  PrepareEnvironment();
  QApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  std::vector<int> sizes;
  QString only;
  for (int i = 1; i < argc; ++i) {
    if (atoi(argv[i]) > 0) sizes.push_back(atoi(argv[i]));
    else only = QString::fromLocal8Bit(argv[i]);
  }
  if (sizes.empty()) sizes.push_back(100000);
  BoxRecorder boxes;
  Main::SetRandomDraw([] { return 0.5; });
  TestDatabase db;
  db.Exec("SET GLOBAL innodb_flush_log_at_trx_commit = 1");
  // The three tables of a size held in the server's memory, as a server
  // sized for its tables holds them: a buffer pool smaller than them makes
  // the server's own time per row grow with the table, the UPDATE's as
  // much as the run's. The UPDATE's own growth is printed beside the run's.
  const QString pool = db.Values("SELECT @@innodb_buffer_pool_size").value(0);
  if (sizes.back() >= 1000000 && pool.toLongLong() < (2LL << 30)) {
    db.Exec("SET GLOBAL innodb_buffer_pool_size = " + QString::number(2LL << 30));
    std::printf("innodb_buffer_pool_size set to 2 GiB for the run (was %lld MiB)\n", pool.toLongLong() >> 20);
  }
  Main::SaveSetting("Combo1", "0");  // UPPER CASE
  Form1 form1;
  TypeDetailsAndGoOn(form1, db.Details());
  // The run on `t`, chosen in the window as a user would.
  const auto window = [&] {
    form1.PushButton3_Click();
    Form2& form2 = form1.GetForm2();
    for (int i = 0; i < form2.ListView1->topLevelItemCount(); ++i)
      if (form2.ListView1->topLevelItem(i)->text(0) == "t") form2.ListView1->setCurrentItem(form2.ListView1->topLevelItem(i));
    form2.ListView1_Click();
    form2.ListView2->setCurrentItem(form2.ListView2->topLevelItem(1));
    return MedianMs(1, [&] { form2.PushButton1_Click(); });
  };

  struct Case_ {
    const char* what;
    TableShape shape;
    double target;  // of the command line's ratio at the first size
  };
  const Case_ cases[] = {{"INT key, distinct, utf8mb4", {true, false, 0, "utf8mb4"}, 3},
                         {"INT key, distinct, latin1", {true, false, 0, "latin1"}, 3},
                         {"INT key, 3 values", {true, false, 3}, 3},
                         {"no key, distinct values", {false, false, 0}, 8},
                         {"no key, 3 values", {false, false, 3}, 8}};
  for (const Case_& c : cases) {
    if (!QString::fromLatin1(c.what).contains(only)) continue;
    double firstMs = 0, firstPeak = 0, firstWindow = 0, firstSingle = 0;
    for (const int n : sizes) {
      MakeShapedTable(db, "t", n, c.shape);
      MakeShapedTable(db, "u", n, c.shape);
      MakeShapedTable(db, "s", n, c.shape);
      ResetPeak();
      const double before = RssMiB();
      const double windowMs = window();
      const double windowGrew = PeakMiB() - before;
      auto [runMs, peak] = Command(db, QStringLiteral("upper"));
      // The first size, that every other is measured against, takes the
      // median of three runs, each on the table made again.
      if (n == sizes.front()) {
        std::vector<double> runs{runMs};
        for (int i = 0; i < 2; ++i) {
          MakeShapedTable(db, "u", n, c.shape);
          runs.push_back(Command(db, QStringLiteral("upper")).first);
        }
        std::sort(runs.begin(), runs.end());
        runMs = runs[1];
      }
      const double singleMs = SingleUpdateMs(db);
      const QString sum = "SELECT SUM(CRC32(CONCAT(id, ':', HEX(name)))) FROM %1";
      const bool same =
          db.Values(sum.arg("t")) == db.Values(sum.arg("s")) && db.Values(sum.arg("u")) == db.Values(sum.arg("s"));
      if (n == sizes.front()) firstMs = runMs, firstPeak = peak, firstWindow = windowGrew, firstSingle = singleMs;
      std::printf("%8d rows, %-27s: command %7.0f ms (%5.1f MiB peak), window %7.0f ms (grew %5.1f MiB), one UPDATE "
                  "%6.0f ms, ratio %5.1f (target <= %.0f), window %5.1f",
                  n, c.what, runMs, peak, windowMs, windowGrew, singleMs, runMs / singleMs, c.target,
                  windowMs / singleMs);
      if (n != sizes.front())
        // 5,000,000 rows may take 60 times 100,000: 1.2 times linear.
        std::printf("; time x%.1f for x%.0f rows (target <= %.0f; the UPDATE's x%.1f), memory +%.1f MiB command, "
                    "+%.1f MiB window (target <= 32)",
                    runMs / firstMs, double(n) / sizes.front(), 1.2 * n / sizes.front(), singleMs / firstSingle,
                    peak - firstPeak, windowGrew - firstWindow);
      std::printf("%s\n", same ? "" : "  ROWS DIFFER");
      if (c.shape.key && c.shape.distinct == 0)
        OtherModes([&](const QString& mode) {
          MakeShapedTable(db, "u", n, c.shape);
          return Command(db, mode).first;
        }, QStringLiteral("%1 rows, %2").arg(n, 8).arg(QString::fromLatin1(c.what), -27), singleMs);
      std::fflush(stdout);
    }
  }
  if (db.Values("SELECT @@innodb_buffer_pool_size").value(0) != pool)
    db.Exec("SET GLOBAL innodb_buffer_pool_size = " + pool);
  for (const auto& b : boxes.boxes) std::fprintf(stderr, "box: %s\n", qPrintable(b.text));
  return boxes.boxes.empty() ? 0 : 1;
}
