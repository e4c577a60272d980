// Choosing a table (its column names and the preview of its first field) in
// the real selection window must not grow with the table: 1,000,000 rows
// against 10 rows, measured side by side.
#include <QApplication>
#include <cstdio>

#include "bench/common.h"
#include "shell/main.h"
#include "shell/settings.h"
#include "tests/support/recorder.h"
#include "tests/support/testdb.h"
#include "windows/form1.h"
#include "windows/form2.h"

int main(int argc, char** argv) {
  PrepareEnvironment();
  QApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int big = argc > 1 ? atoi(argv[1]) : 1000000;
  BoxRecorder boxes;
  Main::SetRandomDraw([] { return 0.5; });
  TestDatabase db;
  db.Exec({"CREATE TABLE big (name VARCHAR(100), city VARCHAR(100), id INT PRIMARY KEY)",
           QStringLiteral("INSERT INTO big SELECT CONCAT('name number ', seq), CONCAT('city ', MOD(seq, 977)), seq "
                          "FROM seq_1_to_%1").arg(big),
           "CREATE TABLE small (name VARCHAR(100), city VARCHAR(100), id INT PRIMARY KEY)",
           "INSERT INTO small SELECT CONCAT('name number ', seq), CONCAT('city ', MOD(seq, 977)), seq FROM seq_1_to_10"});
  const auto d = db.Details();
  Form1 form1;
  TypeDetailsAndGoOn(form1, d);
  form1.PushButton3_Click();
  Form2& form2 = form1.GetForm2();
  const auto choose = [&](int position) {
    form2.ListView1->setCurrentItem(form2.ListView1->topLevelItem(position));
    form2.ListView1_Click();
    if (form2.ListView3->Count() != (position == 0 ? 101 : 10)) std::abort();
  };
  const double before = PeakMiB();
  const auto [bigMs, smallMs] = PairedMedianMs(31, [&] { choose(0); }, [&] { choose(1); });
  std::printf("table chosen + field chosen: %d rows %.2f ms, 10 rows %.2f ms, ratio %.2f (target <= 2)\n", big, bigMs,
              smallMs, bigMs / smallMs);
  std::printf("peak memory: %.1f MiB (%.1f MiB before choosing)\n", PeakMiB(), before);
  return boxes.boxes.empty() ? 0 : 1;
}
