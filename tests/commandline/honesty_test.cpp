// What the command line says of the rows it did not change, and of keys
// that every type must find by their index.
#include <QFile>
#include <QThread>
#include <csignal>

#include "tests/commandline/fixture.h"

namespace {

TEST_F(CommandLineTest, ARowTheConditionNoLongerPicksIsToldAsSuch) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, country CHAR(2), v VARCHAR(40))",
             "INSERT INTO t VALUES (1, 'FR', 'anna'), (2, 'FR', 'bob'), (3, 'DE', 'cleo')"});
  // Held back by the pause file once its rows are read; meanwhile another
  // client moves one of them out of the condition.
  const QString pause = home_.path() + "/pause";
  QFile(pause).open(QIODevice::WriteOnly);
  QProcess run;
  Start(run, QStringList{"convert"} + Connection() +
                 QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--where", "country = 'FR'", "--yes",
                             "--json", "--pause-file", pause});
  run.setReadChannel(QProcess::StandardError);
  QByteArray err;
  while (!err.contains("waiting: the pause file") && run.state() == QProcess::Running && run.waitForReadyRead(60000))
    err += run.readAllStandardError();
  ASSERT_TRUE(err.contains("waiting: the pause file")) << err.toStdString();
  db_->Exec("UPDATE t SET country = 'DE' WHERE id = 2");
  QFile::remove(pause);
  ASSERT_TRUE(run.waitForFinished(60000));
  err += run.readAllStandardError();
  const QJsonObject one = QJsonDocument::fromJson(run.readAllStandardOutput()).object().value("runs").toArray()[0].toObject();
  EXPECT_EQ(one.value("changed").toInt(), 1) << err.toStdString();
  EXPECT_EQ(one.value("not_matching").toInt(), 1);
  EXPECT_EQ(one.value("same_value").toInt(), 0);
  EXPECT_TRUE(err.contains("1 that --where no longer picks")) << err.toStdString();
  EXPECT_FALSE(err.contains("stored the same value again")) << err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM t ORDER BY id"), (QStringList{"ANNA", "bob", "cleo"}));
}

TEST_F(CommandLineTest, ABitKeyConvertsAndUndoesByItsIndex) {
  db_->Exec({"CREATE TABLE b (id BIT(20) PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO b SELECT seq * 37, CONCAT('jürgen ', seq) FROM seq_1_to_3000",
             "INSERT INTO b VALUES (b'11111111111111111111', 'last'), (0, 'zero')"});
  const QString sum = "SELECT SUM(CRC32(CONCAT(id + 0, ':', HEX(v)))) FROM b";
  const QStringList before = db_->Values(sum);
  // Rows read by a scan, on the whole server: a scan for each statement
  // would read the table's 3,002 rows 3,002 times.
  const auto scanned = [&] {
    return db_->Values("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = "
                       "'HANDLER_READ_RND_NEXT'").value(0).toLongLong();
  };
  qint64 from = scanned();
  const Result r = Norvale(QStringList{"convert"} + Connection() +
                           QStringList{"--table", "b", "--field", "v", "--mode", "upper", "--yes", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_LT(scanned() - from, 300000);
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 3002);
  EXPECT_EQ(db_->Values("SELECT v FROM b WHERE id = 0x0FFFFF OR id = 0 ORDER BY id"), (QStringList{"ZERO", "LAST"}));
  from = scanned();
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_LT(scanned() - from, 300000);
  EXPECT_EQ(db_->Values(sum), before);
  // Filtered, it goes record by record, each by the key.
  from = scanned();
  const Result some = Norvale(QStringList{"convert"} + Connection() +
                              QStringList{"--table", "b", "--field", "v", "--mode", "upper", "--where", "id > 0", "--yes"});
  EXPECT_EQ(some.status, 0) << some.err.toStdString();
  EXPECT_LT(scanned() - from, 300000);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM b WHERE v LIKE BINARY 'JÜRGEN%'"), QStringList{"3000"});
}

}  // namespace

namespace {

// The statements of the server that run a text, by a piece of it.
int Running(const TestDatabase& db, const QString& piece) {
  return db.Values(QStringLiteral("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE '%%1%' AND "
                                  "ID <> CONNECTION_ID()")
                       .arg(piece))
      .value(0)
      .toInt();
}

}  // namespace

TEST_F(CommandLineTest, CtrlCEndsALongStatementOnTheServerAndTheProgram) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, CONCAT('jürgen ', seq) FROM seq_1_to_20000"});
  // Counting the rows the condition picks takes minutes: stopped in the
  // middle, the count is ended on the server and the program stops.
  for (const int signal : {SIGINT, SIGTERM}) {
    for (const QString& how : {QStringLiteral("--dry-run"), QStringLiteral("--yes")}) {
      QProcess run;
      Start(run, QStringList{"convert"} + Connection() +
                     QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--where", "SLEEP(0.01) = 0", how});
      while (Running(*db_, "SLEEP(0.01)") == 0 && run.state() == QProcess::Running) QThread::msleep(20);
      ASSERT_EQ(run.state(), QProcess::Running) << run.readAllStandardError().toStdString();
      ::kill(pid_t(run.processId()), signal);
      ASSERT_TRUE(run.waitForFinished(60000)) << "still running after the signal";
      EXPECT_EQ(run.exitCode(), 130) << run.readAllStandardError().toStdString();
      EXPECT_TRUE(run.readAllStandardError().contains("interrupted"));
      // The server lets go of it once the program has told it to.
      EXPECT_EQ(Running(*db_, "SLEEP(0.01)"), 0);
    }
  }
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'"), QStringList{"0"});
}
