// What the undo journal costs: the run's statements on 100,000 rows sent
// through the batch sender with and without the journal's hook, on the same
// server in one run, and the journal's size on disk afterwards.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>

#include "bench/common.h"
#include "caserules/case.h"
#include "database/batch.h"
#include "database/mysql.h"
#include "journal/recorder.h"
#include "database/rewrite.h"

namespace {

const char* kFirst[] = {"anna", "JOSÉ", "zoë", "mARIE-claire", "o'brien", "KATHARINA", "łukasz", "yuki", "seán", "lee"};
const char* kLast[] = {"o'neil", "McDONALD", "van der berg", "müller", "SMITH", "nguyen", "garcía", "kowalski"};

void MakeTable(const TestDatabase& db, int rows) {
  db.Exec({"DROP TABLE IF EXISTS t", "CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(100), KEY (name))"});
  QRandomGenerator random(7);
  for (int start = 0; start < rows; start += 5000) {
    QStringList values;
    for (int i = start; i < std::min(rows, start + 5000); ++i) {
      const QString name = QString::fromUtf8(kFirst[random.bounded(10)]) + " " +
                           QString::fromUtf8(kLast[random.bounded(8)]) + " " + QString::number(i);
      values << QStringLiteral("(%1,'%2')").arg(i).arg(EscapeValue(name));
    }
    db.Exec(QStringLiteral("INSERT INTO t VALUES ") + values.join(","));
  }
}

// The run's Proper Case statements, sent as the run sends them.
double Send(const TestDatabase& db, const QString& journalPath) {
  MakeTable(db, 100000);
  auto connection = std::make_unique<ADODB::Connection>();
  MySQL::ApplyOptions(*connection, MySQL::RunOptions);
  connection->MultipleStatements = true;
  connection->Open(MySQL::ConnectionString(db.Details()));
  connection->Execute(Rewrite::SessionModeStatement(QString()));
  const QStringList values = db.Values("SELECT name FROM t");
  return MedianMs(1, [&] {
    Batch::Sender sender(*connection, [](int, const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    std::unique_ptr<Journal::RunRecorder> journal;
    if (!journalPath.isEmpty()) {
      const auto d = db.Details();
      journal = Journal::RunRecorder::Start(MySQL::ReadRowIdentity(*connection, "t", "name"),
                                            {d.server, d.port, d.database, "t", "name"}, "Proper Case", journalPath);
      sender.SetHook(journal.get());
    }
    qint64 record = 0;
    for (const QString& v : values) {
      const QByteArray oldBytes = v.toUtf8(), newBytes = Case::ProperCase(v).toUtf8();
      sender.Add(Rewrite::ValueStatement("t", "name", oldBytes, newBytes, "utf8mb4"), 0,
                 Rewrite::RecordNote(record++, QString(), oldBytes, newBytes));
    }
    sender.Flush();
    if (journal) journal->Finish();
  });
}

qint64 FolderBytes(const QString& folder) {
  qint64 bytes = 0;
  for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files)) bytes += f.size();
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareEnvironment();
  QCoreApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  TestDatabase db;
  QTemporaryDir data;
  const QString path = data.filePath("norvale/journal.sqlite");
  std::vector<double> without, with;
  for (int i = 0; i < 3; ++i) {
    without.push_back(Send(db, QString()));
    with.push_back(Send(db, path));
  }
  std::sort(without.begin(), without.end());
  std::sort(with.begin(), with.end());
  const double a = without[1], b = with[1];
  const qint64 rows = db.Values("SELECT COUNT(*) FROM t").first().toLongLong();
  const double text = db.Values("SELECT SUM(LENGTH(name)) FROM t").first().toDouble();
  std::printf("100000 rows, Proper Case: without journal %.0f ms, with journal %.0f ms, ratio %.2f\n", a, b, b / a);
  std::printf("journal on disk after 3 runs of %lld rows: %.1f MiB (%.0f bytes per row; field text %.1f MiB per run)\n",
              rows, double(FolderBytes(data.filePath("norvale"))) / 1048576.0,
              double(FolderBytes(data.filePath("norvale"))) / double(3 * rows), text / 1048576.0);
  return 0;
}
