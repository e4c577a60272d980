// A table's three fields in three modes, from the command line: one run of
// the three against one field's run, against three runs one a field, and
// against one server-side UPDATE of the three, side by side; and against the
// costliest of the three fields run alone:
//   bench_fields [rows=1000000]
// Each command runs on a table made afresh; the tables end the same.
#include <QCoreApplication>
#include <QProcess>
#include <algorithm>
#include <cstdio>

#include "bench/common.h"

namespace {

void MakeCustomers(TestDatabase& db, const QString& table, int rows) {
  db.Exec({"DROP TABLE IF EXISTS " + table,
           QStringLiteral("CREATE TABLE %1 (id INT PRIMARY KEY, a VARCHAR(60), b VARCHAR(60), c VARCHAR(60)) CHARACTER "
                          "SET utf8mb4 SELECT seq AS id, CONCAT('ann o''neil ', seq) AS a, CONCAT('JEAN-LUC PICARD ', "
                          "seq) AS b, CONCAT('straße de l''église ', seq) AS c FROM seq_1_to_%2")
               .arg(table)
               .arg(rows)});
}

}  // namespace

int main(int argc, char** argv) {
  PrepareEnvironment();
  QCoreApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int rows = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 1000000;
  TestDatabase db;
  db.Exec("SET GLOBAL innodb_flush_log_at_trx_commit = 1");
  const QString pool = db.Values("SELECT @@innodb_buffer_pool_size").value(0);
  if (rows >= 1000000 && pool.toLongLong() < (2LL << 30)) db.Exec("SET GLOBAL innodb_buffer_pool_size = " + QString::number(2LL << 30));
  const MySQL::ConnectionDetails d = db.Details();
  const auto convert = [&](const QString& table, const QStringList& fields) {
    QStringList args{"convert", "-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password, "-D", d.database,
                     "--table", table, "--yes", "--no-defaults"};
    for (const QString& f : fields) args << "--field" << f;
    QProcess p;
    p.start(QStringLiteral(NORVALE_BINARY), args);
    p.waitForFinished(-1);
    if (p.exitCode() != 0) std::fprintf(stderr, "norvale convert ended with %d: %s\n", p.exitCode(), p.readAllStandardError().constData());
  };
  // Medians of three, each on its table made again.
  const auto median = [&](const std::function<void()>& make, const std::function<void()>& body) {
    std::vector<double> ms;
    for (int i = 0; i < 3; ++i) {
      make();
      AwaitQuiet(db);
      ms.push_back(MedianMs(1, body));
    }
    std::sort(ms.begin(), ms.end());
    return ms[1];
  };
  const QStringList three{"a:upper", "b:lower", "c:proper"};
  const double one = median([&] { MakeCustomers(db, "one", rows); }, [&] { convert("one", {"a:upper"}); });
  // The costliest of the three alone: a run of several fields cannot end
  // before its slowest field would on its own.
  const double costliest = median([&] { MakeCustomers(db, "costliest", rows); }, [&] { convert("costliest", {"c:proper"}); });
  const double together = median([&] { MakeCustomers(db, "together", rows); }, [&] { convert("together", three); });
  const double apart = median([&] { MakeCustomers(db, "apart", rows); }, [&] {
    for (const QString& f : three) convert("apart", {f});
  });
  const double update = median([&] { MakeCustomers(db, "s", rows); },
                               [&] { db.Exec("UPDATE s SET a = UPPER(a), b = LOWER(b), c = UPPER(c)"); });
  const QString sum = "SELECT SUM(CRC32(CONCAT(id, ':', HEX(a), HEX(b), HEX(c)))) FROM %1";
  const bool same = db.Values(sum.arg("together")) == db.Values(sum.arg("apart"));
  std::printf("%d rows: one field %.0f ms, its costliest field alone %.0f ms, three fields in one run %.0f ms, three "
              "runs %.0f ms, one UPDATE of three %.0f ms\n",
              rows, one, costliest, together, apart, update);
  std::printf("  three in one run / one field: %.2f (target <= 1.5)\n", together / one);
  std::printf("  three in one run / its costliest field alone (c:proper): %.2f\n", together / costliest);
  std::printf("  three in one run / three runs: %.2f (target <= 0.5)\n", together / apart);
  std::printf("  three in one run / one UPDATE: %.1f\n%s", together / update, same ? "" : "  TABLES DIFFER\n");
  if (db.Values("SELECT @@innodb_buffer_pool_size").value(0) != pool) db.Exec("SET GLOBAL innodb_buffer_pool_size = " + pool);
  return same ? 0 : 1;
}
