// The whole run from the command line (norvale convert, a process of its
// own) and through the window, each with its undo journal, on the tables
// users have (no index on the field; keyed or not; every value its own or
// three in all), against one server-side UPDATE of an identical table:
//   bench_scale [rows=100000] [large=0]
// With a large row count it also times that many rows, for how the run
// grows, and the memory the run took.
#include <QApplication>
#include <QProcess>
#include <cstdio>

#include "bench/common.h"
#include "shell/main.h"
#include "tests/support/recorder.h"
#include "windows/form1.h"
#include "windows/form2.h"

int main(int argc, char** argv) {
  PrepareEnvironment();
  QApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int rows = argc > 1 ? atoi(argv[1]) : 100000;
  const int large = argc > 2 ? atoi(argv[2]) : 0;
  BoxRecorder boxes;
  Main::SetRandomDraw([] { return 0.5; });
  TestDatabase db;
  db.Exec("SET GLOBAL innodb_flush_log_at_trx_commit = 1");
  Main::SaveSetting("Combo1", "0");  // UPPER CASE
  Form1 form1;
  TypeDetailsAndGoOn(form1, db.Details());
  // The run on `t`, chosen in the window as a user would.
  const auto run = [&] {
    form1.PushButton3_Click();
    Form2& form2 = form1.GetForm2();
    for (int i = 0; i < form2.ListView1->topLevelItemCount(); ++i)
      if (form2.ListView1->topLevelItem(i)->text(0) == "t") form2.ListView1->setCurrentItem(form2.ListView1->topLevelItem(i));
    form2.ListView1_Click();
    form2.ListView2->setCurrentItem(form2.ListView2->topLevelItem(1));
    return MedianMs(1, [&] { form2.PushButton1_Click(); });
  };
  const auto command = [&] {
    const MySQL::ConnectionDetails d = db.Details();
    return MedianMs(1, [&] {
      const int status = QProcess::execute(QStringLiteral(NORVALE_BINARY),
                                           {"convert", "-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password,
                                            "-D", d.database, "--table", "u", "--field", "name", "--mode", "upper",
                                            "--yes"});
      if (status != 0) std::fprintf(stderr, "norvale convert ended with %d\n", status);
    });
  };
  const auto single = [&] { return MedianMs(1, [&] { db.Exec("UPDATE s SET name = UPPER(name)"); }); };

  struct Case_ {
    const char* what;
    TableShape shape;
    double target;  // of the command line's ratio
  };
  const Case_ cases[] = {{"INT key, distinct values", {true, false, 0}, 10},
                         {"INT key, 3 values", {true, false, 3}, 10},
                         {"no key, distinct values", {false, false, 0}, 12},
                         {"no key, 3 values", {false, false, 3}, 12}};
  for (const Case_& c : cases) {
    const auto time = [&](int n) {
      MakeShapedTable(db, "t", n, c.shape);
      MakeShapedTable(db, "u", n, c.shape);
      MakeShapedTable(db, "s", n, c.shape);
      const double windowMs = run();
      const double runMs = command();
      const double singleMs = single();
      const QString sum = "SELECT SUM(CRC32(CONCAT(id, ':', HEX(name)))) FROM %1";
      const bool same = db.Values(sum.arg("t")) == db.Values(sum.arg("s")) && db.Values(sum.arg("u")) == db.Values(sum.arg("s"));
      return std::tuple(runMs, singleMs, same, windowMs);
    };
    const auto [runMs, singleMs, same, windowMs] = time(rows);
    std::printf("%8d rows, %-26s: command %7.0f ms, window %7.0f ms, one UPDATE %6.0f ms, ratio %5.1f (target <= %.0f), "
                "window %5.1f%s\n",
                rows, c.what, runMs, windowMs, singleMs, runMs / singleMs, c.target, windowMs / singleMs,
                same ? "" : "  ROWS DIFFER");
    if (large > 0) {
      ResetPeak();
      const double before = RssMiB();
      const auto [bigMs, bigSingleMs, bigSame, bigWindowMs] = time(large);
      const double growth = PeakMiB() - before;
      // At most three times the bytes of the field and the key, and 32 MiB.
      const double bytes =
          db.Values(QStringLiteral("SELECT SUM(LENGTH(name)) + %1 * COUNT(*) FROM t").arg(c.shape.key ? 4 : 0))
              .value(0)
              .toDouble();
      const double bound = 3 * bytes / 1048576 + 32;
      std::printf("%8d rows, %-26s: command %7.0f ms, window %7.0f ms, one UPDATE %6.0f ms, ratio %5.1f; time %d/%d "
                  "rows %.1f (target <= 12); the window's memory grew %.0f MiB (bound %.0f MiB)%s\n",
                  large, c.what, bigMs, bigWindowMs, bigSingleMs, bigMs / bigSingleMs, large, rows, bigMs / runMs, growth,
                  bound, bigSame ? "" : "  ROWS DIFFER");
    }
    std::fflush(stdout);
  }
  for (const auto& b : boxes.boxes) std::fprintf(stderr, "box: %s\n", qPrintable(b.text));
  return boxes.boxes.empty() ? 0 : 1;
}
