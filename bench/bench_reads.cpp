// Learning a table's column names and reading the first 101 values of a
// column must not grow with the table: 1,000,000 rows against 10 rows.
#include <QCoreApplication>
#include <cstdio>

#include "bench/common.h"
#include "database/ado.h"
#include "database/mysql.h"
#include "tests/support/testdb.h"

namespace {

void Fill(TestDatabase& db, const QString& table, int rows) {
  db.Exec({QStringLiteral("CREATE TABLE `%1` (id INT PRIMARY KEY, name VARCHAR(100), city VARCHAR(100))").arg(table),
           QStringLiteral("INSERT INTO `%1` SELECT seq, CONCAT('name number ', seq), CONCAT('city ', MOD(seq, 977)) "
                          "FROM seq_1_to_%2")
               .arg(table)
               .arg(rows)});
}

void ColumnNames(const MySQL::ConnectionDetails& d, const QString& table) {
  MedianMs(1, [&] {
    auto c = MySQL::OpenConnection(d, MySQL::BrowseOptions);
    ADODB::RecordSet rs;
    rs.OpenFieldsOnly(QStringLiteral("SELECT * FROM `%1`").arg(table), *c);
    if (rs.FieldCount() != 3) std::abort();
  });
}

void First101(const MySQL::ConnectionDetails& d, const QString& table) {
  MedianMs(1, [&] {
    auto c = MySQL::OpenConnection(d, MySQL::BrowseOptions);
    ADODB::RecordSet rs;
    rs.MaxRecords = 101;
    rs.Open(QStringLiteral("SELECT `name` FROM `%1`").arg(table), *c, ADODB::adOpenStatic, ADODB::adLockOptimistic);
    int n = 0;
    while (!rs.Eof() && n <= 100) {
      rs.Value(0);
      rs.MoveNext();
      ++n;
    }
    if (n != 101 && n != 10) std::abort();
  });
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int big = argc > 1 ? atoi(argv[1]) : 1000000;
  TestDatabase db;
  Fill(db, "big", big);
  Fill(db, "small", 10);
  const auto d = db.Details();
  const double before = PeakMiB();
  First101(d, "big");  // warm the server's caches for both tables
  First101(d, "small");
  const auto [namesBig, namesSmall] =
      PairedMedianMs(31, [&] { ColumnNames(d, "big"); }, [&] { ColumnNames(d, "small"); });
  const auto [readBig, readSmall] = PairedMedianMs(31, [&] { First101(d, "big"); }, [&] { First101(d, "small"); });
  std::printf("column names : %d rows %.2f ms, 10 rows %.2f ms, ratio %.2f (target <= 2)\n", big, namesBig, namesSmall,
              namesBig / namesSmall);
  std::printf("first 101    : %d rows %.2f ms, 10 rows %.2f ms, ratio %.2f (target <= 2)\n", big, readBig, readSmall,
              readBig / readSmall);
  // For scale: what the unbounded statement costs when the driver reads it whole.
  const double unbounded = MedianMs(1, [&] {
    auto c = MySQL::OpenConnection(d, MySQL::BrowseOptions);
    ADODB::RecordSet rs;
    rs.Open("SELECT `name` FROM `big`", *c, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  });
  std::printf("for scale    : the same query unbounded on %d rows %.2f ms\n", big, unbounded);
  std::printf("peak memory  : %.1f MiB (%.1f MiB before the reads)\n", PeakMiB(), before);
  return 0;
}
