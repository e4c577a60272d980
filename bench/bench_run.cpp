// The conversion run against replaying its identical statements through the
// mariadb command-line client, on the same server in one run:
// 10,000 and 100,000 rows with an index on the field, 10,000 without.
// Also the run's time per record and its peak memory on a large table.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <cstdio>

#include "bench/common.h"
#include "caserules/case.h"
#include "database/mysql.h"
#include "shell/main.h"
#include "shell/settings.h"
#include "tests/support/recorder.h"
#include "tests/support/testdb.h"
#include "windows/form1.h"
#include "windows/form2.h"
#include "database/rewrite.h"

namespace {

// The statements the run sends for the table as it stands, in its order.
QByteArray Statements(const TestDatabase& db) {
  QByteArray script;
  for (const QString& v : db.Values("SELECT name FROM t")) {
    const QString statement = Rewrite::ValueStatement("t", "name", v.toUtf8(), Case::ProperCase(v).toUtf8(), "utf8mb4");
    script += statement.toUtf8() + '\n';
  }
  return script;
}

double Replay(const TestDatabase& db, const QByteArray& script) {
  const auto d = db.Details();
  QProcess client;
  client.setProgram("mariadb");
  client.setArguments({"--no-defaults", "--default-character-set=utf8mb4", "-h", d.server, "-P", d.port, "-u", d.user,
                       "-p" + d.password, d.database});
  return MedianMs(1, [&] {
    client.start();
    client.write(script);
    client.closeWriteChannel();
    client.waitForFinished(-1);
    if (client.exitCode() != 0) {
      std::fprintf(stderr, "%s\n", client.readAllStandardError().constData());
      std::abort();
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  PrepareEnvironment();
  QApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int large = argc > 1 ? atoi(argv[1]) : 1000000;
  BoxRecorder boxes;
  Main::SetRandomDraw([] { return 0.5; });
  TestDatabase db;
  const auto d = db.Details();
  Main::SaveSetting("Combo1", "2");  // Proper Case
  Form1 form1;
  TypeDetailsAndGoOn(form1, d);
  const auto run = [&] {
    form1.PushButton3_Click();  // lists `t` and chooses its field `name`
    Form2& form2 = form1.GetForm2();
    form2.ListView2->setCurrentItem(form2.ListView2->topLevelItem(1));
    return MedianMs(1, [&] { form2.PushButton1_Click(); });
  };

  struct Case_ { int rows; bool index; };
  for (const Case_ c : {Case_{10000, true}, Case_{100000, true}, Case_{10000, false}}) {
    MakeTable(db, c.rows, c.index);
    const QByteArray script = Statements(db);
    const double runMs = run();
    MakeTable(db, c.rows, c.index);
    const double replayMs = Replay(db, script);
    std::printf("%7d rows, %-8s: run %8.0f ms, client replay %8.0f ms, ratio %.2f (target <= 1.2), %.1f us per record\n",
                c.rows, c.index ? "index" : "no index", runMs, replayMs, runMs / replayMs, runMs * 1000 / c.rows);
  }
  if (large > 0) {
    MakeTable(db, large, true);
    const double textMiB = db.Values("SELECT SUM(LENGTH(name)) FROM t").first().toDouble() / 1048576.0;
    const double before = PeakMiB();
    const double runMs = run();
    std::printf("%7d rows, index   : run %8.0f ms, %.1f us per record; peak memory %.1f MiB (%.1f MiB before), "
                "field text %.1f MiB\n",
                large, runMs, runMs * 1000 / large, PeakMiB(), before, textMiB);
  }
  for (const auto& b : boxes.boxes) std::fprintf(stderr, "box: %s\n", qPrintable(b.text));
  return boxes.boxes.empty() ? 0 : 1;
}
