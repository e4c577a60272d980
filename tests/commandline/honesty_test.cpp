// What the command line says of the rows it did not change, and of keys
// that every type must find by their index.
#include <QFile>
#include <QThread>
#include <csignal>
#include <sqlite3.h>

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
  QByteArray err = ErrUntil(run, "waiting: the pause file");
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
      SignalChild(run, signal);
      ASSERT_TRUE(run.waitForFinished(60000)) << "still running after the signal";
      EXPECT_EQ(run.exitCode(), 130) << run.readAllStandardError().toStdString();
      EXPECT_TRUE(run.readAllStandardError().contains("interrupted"));
      // The server lets go of it once the program has told it to.
      EXPECT_EQ(Running(*db_, "SLEEP(0.01)"), 0);
    }
  }
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'"), QStringList{"0"});
}

TEST_F(CommandLineTest, UndoSettlesARowOnlyWhenTheTableShowsItBack) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, CONCAT('abc', seq) FROM seq_1_to_1000"});
  const QStringList convert{"--table", "t", "--field", "v", "--mode", "upper", "--yes", "--json"};
  ASSERT_EQ(Norvale(QStringList{"convert"} + Connection() + convert).status, 0);
  // One row written by someone else, one already put back by hand: the
  // group falls two short, and only one of them is still to restore.
  db_->Exec({"UPDATE t SET v = 'someone else wrote this' WHERE id = 5", "UPDATE t SET v = 'abc6' WHERE id = 6"});
  Result r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("restored").toInt(), 998);
  EXPECT_EQ(Json(r).value("left").toInt(), 1);
  const int id = Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("id").toInt();
  // The run stays, and once the row holds what the run wrote, it goes back.
  db_->Exec("UPDATE t SET v = 'ABC5' WHERE id = 5");
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--run", QString::number(id), "--yes", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("left").toInt(), 0);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE v = BINARY CONCAT('abc', id)"), QStringList{"1000"});

  // A trigger that stores every value in lower case: undo cannot put the
  // mixed case back, says so and leaves the run.
  db_->Exec({"CREATE TABLE g (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO g SELECT seq, CONCAT('Abc', seq) FROM seq_1_to_300"});
  ASSERT_EQ(Norvale(QStringList{"convert"} + Connection() +
                    QStringList{"--table", "g", "--field", "v", "--mode", "upper", "--yes"}).status, 0);
  db_->Exec("CREATE TRIGGER lower_g BEFORE UPDATE ON g FOR EACH ROW SET NEW.v = LOWER(NEW.v)");
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "g", "--field", "v", "--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("left").toInt(), 300);
  EXPECT_EQ(Json(r).value("restored").toInt(), 0) << "the server changed them, but not back";
  db_->Exec("DROP TRIGGER lower_g");
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "g", "--field", "v", "--yes", "--json"});
  EXPECT_EQ(r.status, 1) << "rows that hold neither value stay left: " << r.err.toStdString();
}

// Undo's groups go one after another while the next is made: what each one
// left is counted for it, and a value too large for a group goes alone
// between them, right after a group is sent (entries come newest first).
TEST_F(CommandLineTest, UndoCountsWhatEachOfItsGroupsLeftAndSendsALargeValueBetweenThem) {
  db_->Exec({"CREATE TABLE w (id INT PRIMARY KEY, v MEDIUMTEXT)",
             "INSERT INTO w SELECT seq, CONCAT('abc', seq) FROM seq_1_to_30000",
             "UPDATE w SET v = REPEAT('big value ', 250000) WHERE id = 22000"});
  const QStringList before = Hex("w", "v");
  ASSERT_EQ(Norvale(QStringList{"convert"} + Connection() +
                    QStringList{"--table", "w", "--field", "v", "--mode", "upper", "--yes"}).status, 0);
  // Rows of four groups written by someone else since, and one put back by hand.
  db_->Exec({"UPDATE w SET v = 'someone else' WHERE id IN (3, 9001, 17001, 29999)",
             "UPDATE w SET v = 'abc12000' WHERE id = 12000"});
  Result r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("restored").toInt(), 29995);
  EXPECT_EQ(Json(r).value("left").toInt(), 4);
  EXPECT_EQ(db_->Values("SELECT id FROM w WHERE v = 'someone else' ORDER BY id"),
            (QStringList{"3", "9001", "17001", "29999"}));
  const QStringList after = Hex("w", "v");
  ASSERT_EQ(after.size(), before.size());
  int differing = 0;
  for (qsizetype i = 0; i < after.size(); ++i) differing += after[i] != before[i];
  EXPECT_EQ(differing, 4);
  EXPECT_EQ(after[21999], before[21999]) << "the large value is back";
}

TEST_F(CommandLineTest, AKeyTheRunsOwnUpdateMovesIsNotReadOrUndoneBy) {
  const QString table = "CREATE TABLE %1 (ts TIMESTAMP(6) NOT NULL DEFAULT '2024-01-01 00:00:00' ON UPDATE "
                        "CURRENT_TIMESTAMP(6), id INT NOT NULL, code INT NOT NULL, v VARCHAR(40), PRIMARY KEY (ts, id)%2)";
  db_->Exec({table.arg("m", ""), table.arg("m2", ", UNIQUE KEY (code)")});
  for (const char* name : {"m", "m2"})
    db_->Exec(QStringLiteral("INSERT INTO %1 (id, code, v) SELECT seq, seq, CONCAT('abc', seq) FROM seq_1_to_5000").arg(name));
  // Only the moving key: each row read once, and said not to be undoable.
  Result r = Norvale(QStringList{"convert"} + Connection() +
                     QStringList{"--table", "m", "--field", "v", "--mode", "upper", "--dry-run"});
  EXPECT_TRUE(r.out.contains("change with every update")) << r.out.toStdString();
  r = Norvale(QStringList{"convert"} + Connection() +
                     QStringList{"--table", "m", "--field", "v", "--mode", "upper", "--yes", "--json"});
  EXPECT_EQ(OneRun(r).value("read").toInt(), 5000) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 5000);
  EXPECT_FALSE(OneRun(r).value("undoable").toBool());
  // Beside another key, that one is taken, and undo is exact.
  r = Norvale(QStringList{"convert"} + Connection() +
              QStringList{"--table", "m2", "--field", "v", "--mode", "upper", "--yes", "--json"});
  EXPECT_EQ(OneRun(r).value("read").toInt(), 5000) << r.err.toStdString();
  EXPECT_TRUE(OneRun(r).value("undoable").toBool());
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "m2", "--field", "v", "--yes", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("restored").toInt(), 5000);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM m2 WHERE v = BINARY CONCAT('abc', id)"), QStringList{"5000"});
}

TEST_F(CommandLineTest, ResumeAfterAnUndoOfPartOfTheRunIsRefused) {
  db_->Exec("CREATE TABLE k (id INT PRIMARY KEY, v VARCHAR(60)) SELECT seq AS id, CONCAT('jürgen groß ', seq) AS v "
            "FROM seq_1_to_200000");
  const auto converted = [&] { return db_->Values("SELECT COUNT(*) FROM k WHERE v LIKE BINARY 'JÜRGEN%'").value(0).toInt(); };
  const QStringList convert = QStringList{"convert"} + Connection() +
                              QStringList{"--table", "k", "--field", "v", "--mode", "upper", "--yes", "--json"};
  // Stopped while it waits for the pause file, once rows have changed.
  const QString pause = home_.path() + "/pause";
  QProcess run;
  const QByteArray err = PausedMidway(run, "k", "id = 100000", pause, convert);
  SignalChild(run, SIGINT);
  ASSERT_TRUE(run.waitForFinished(60000));
  ASSERT_EQ(run.exitCode(), 130) << err.toStdString();
  QFile::remove(pause);
  // An undo puts most rows back, and leaves one someone else wrote since.
  const int first = db_->Values("SELECT MIN(id) FROM k WHERE v LIKE BINARY 'JÜRGEN%'").value(0).toInt();
  db_->Exec(QStringLiteral("UPDATE k SET v = 'someone else' WHERE id = %1").arg(first));
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  EXPECT_EQ(undo.status, 1) << undo.err.toStdString();
  EXPECT_EQ(converted(), 0);
  // Continuing after where the run stopped would leave the rows undo put
  // back unconverted: refused, saying why.
  const Result resumed = Norvale(convert + QStringList{"--resume"});
  EXPECT_EQ(resumed.status, 2) << resumed.err.toStdString();
  EXPECT_TRUE(resumed.err.contains("put back rows of run")) << resumed.err.toStdString();
  EXPECT_EQ(converted(), 0);
}

TEST_F(CommandLineTest, ARowLockIsSaidWithinSecondsAndOutlastingItsBoundEndsTheRunResumably) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, CONCAT('jürgen ', seq) FROM seq_1_to_3000"});
  const auto converted = [&] { return db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'").value(0).toInt(); };
  const QStringList convert = QStringList{"convert"} + Connection() +
                              QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--yes", "--json"};
  // Another session holds one row.
  const auto hold = [&] {
    auto c = std::make_unique<ADODB::Connection>();
    c->Open(MySQL::ConnectionString(db_->Details()));
    c->Execute("START TRANSACTION");
    c->Execute("SELECT v FROM t WHERE id = 1500 FOR UPDATE");
    return c;
  };
  {
    // The run says why it waits, and finishes once the lock goes.
    auto holder = hold();
    QProcess run;
    Start(run, convert);
    QByteArray err = ErrUntil(run, "waiting: a row lock held by another session");
    EXPECT_TRUE(err.contains("waiting: a row lock held by another session (session ")) << err.toStdString();
    holder->Execute("ROLLBACK");
    ASSERT_TRUE(run.waitForFinished(120000));
    EXPECT_EQ(run.exitCode(), 0) << (err + run.readAllStandardError()).toStdString();
    EXPECT_EQ(converted(), 3000);
  }
  ASSERT_EQ(Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"}).status, 0);
  {
    // Held longer than its bound: the run ends early, resumably, and the
    // rows before the locked one are through.
    auto holder = hold();
    const Result r = Norvale(convert + QStringList{"--lock-wait", "3"});
    EXPECT_EQ(r.status, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("outlasted the 3 s")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("--resume")) << r.err.toStdString();
    EXPECT_LT(converted(), 3000);
    holder->Execute("ROLLBACK");
    const Result resumed = Norvale(convert + QStringList{"--resume"});
    EXPECT_EQ(resumed.status, 0) << resumed.err.toStdString();
    EXPECT_EQ(converted(), 3000);
  }
}

TEST_F(CommandLineTest, OneRunIsMadeOrContinuedByOneProcessAtATime) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, CONCAT('jürgen ', seq) FROM seq_1_to_5000"});
  const QStringList convert = QStringList{"convert"} + Connection() +
                              QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--yes", "--json"};
  const QString pause = home_.path() + "/pause";
  QFile(pause).open(QIODevice::WriteOnly);
  // Held back by the pause file, each holds the run in turn.
  const auto held = [&](QProcess& run, const QStringList& args) {
    Start(run, args + QStringList{"--pause-file", pause});
    QByteArray err = ErrUntil(run, "waiting: the pause file");
    ASSERT_TRUE(err.contains("waiting: the pause file")) << err.toStdString();
  };
  const auto refused = [&] {
    const Result r = Norvale(convert + QStringList{"--resume"});
    EXPECT_EQ(r.status, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("being made or continued by another norvale")) << r.err.toStdString();
  };
  QProcess first;
  held(first, convert);
  refused();  // the run is still being made
  SignalChild(first, SIGINT);
  ASSERT_TRUE(first.waitForFinished(60000));
  EXPECT_EQ(first.exitCode(), 130);
  QProcess second;
  held(second, convert + QStringList{"--resume"});
  refused();  // and now continued
  QFile::remove(pause);
  ASSERT_TRUE(second.waitForFinished(120000));
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'"), QStringList{"5000"});
  EXPECT_EQ(Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("rows").toInt(), 5000);
}

TEST_F(CommandLineTest, RunsMadeOnAnotherServerAreNamedWhereNoneIsHere) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))", "INSERT INTO t VALUES (1, 'anna'), (2, 'bob')"});
  const QStringList convert = QStringList{"convert"} + Connection() +
                              QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--yes"};
  ASSERT_EQ(Norvale(convert).status, 0);
  // As if the run had been made through a cluster node that is gone now.
  sqlite3* journal = nullptr;
  ASSERT_EQ(sqlite3_open((home_.path() + "/data/norvale/journal.sqlite").toUtf8().constData(), &journal), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(journal, "UPDATE runs SET server = 'node1.example', port = '3306', server_id = "
                                  "'node1:3306:/var/lib/mysql/', ended = 'interrupted'",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(journal);
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  EXPECT_EQ(undo.status, 2);
  EXPECT_TRUE(undo.err.contains("to undo on this server; the journal holds run 1 through node1.example:3306, made on "
                                "another server"))
      << undo.err.toStdString();
  const Result resumed = Norvale(convert + QStringList{"--resume"});
  EXPECT_EQ(resumed.status, 2);
  EXPECT_TRUE(resumed.err.contains("no run of it made on this server; the journal holds run 1 through node1.example"))
      << resumed.err.toStdString();
}

TEST_F(CommandLineTest, AfterARecoveryThatLostRunsUndoTakesBackOnlyARunNamedAndSaysWhatItCannot) {
  // t1 in more than one group: its entries are in more than one pack.
  db_->Exec({"CREATE TABLE t1 (id INT PRIMARY KEY, v VARCHAR(40))", "CREATE TABLE t2 (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t1 SELECT seq, CONCAT('abc', seq) FROM seq_1_to_2000",
             "INSERT INTO t2 SELECT seq, CONCAT('abc', seq) FROM seq_1_to_100"});
  for (const char* table : {"t1", "t2"})
    ASSERT_EQ(Norvale(QStringList{"convert"} + Connection() +
                      QStringList{"--table", table, "--field", "v", "--mode", "upper", "--yes"}).status, 0);
  // What a recovery leaves when it lost the newest run whole, and one row
  // of the journal of the run before it: a pack of its entries.
  sqlite3* journal = nullptr;
  ASSERT_EQ(sqlite3_open((home_.path() + "/data/norvale/journal.sqlite").toUtf8().constData(), &journal), SQLITE_OK);
  const char* first = "(SELECT MIN(rowid) FROM entries WHERE run = 1)";
  sqlite3_stmt* items = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(journal, (QByteArray("SELECT items FROM entries WHERE rowid = ") + first).constData(), -1,
                               &items, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(items), SQLITE_ROW);
  const int lost = sqlite3_column_int(items, 0);
  sqlite3_finalize(items);
  ASSERT_GT(lost, 0);
  ASSERT_LT(lost, 2000);
  ASSERT_EQ(sqlite3_exec(journal,
                         (QByteArray("DELETE FROM entries WHERE run = 2; DELETE FROM runs WHERE id = 2; "
                                     "INSERT INTO facts (name, value) VALUES ('lost_through', 2); "
                                     "DELETE FROM entries WHERE rowid = ") +
                          first + "; UPDATE runs SET lost = " + QByteArray::number(lost) + " WHERE id = 1")
                             .constData(),
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(journal);
  const auto upper = [&](const char* table) {
    return db_->Values(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE v LIKE BINARY 'ABC%'").arg(table)).value(0).toInt();
  };
  // "The newest run" is not known: nothing is taken back.
  Result r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("lost its newest runs")) << r.err.toStdString();
  EXPECT_EQ(upper("t1"), 2000);
  EXPECT_TRUE(Norvale({"history"}).out.contains(QStringLiteral("lost %1 entries to the journal's damage").arg(lost)));
  // Named, the run goes back but for the rows its lost entries held, and
  // says so.
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--run", "1", "--yes"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("run 1 lost %1 of its entries").arg(lost))) << r.err.toStdString();
  EXPECT_EQ(upper("t1"), lost);
  EXPECT_EQ(upper("t2"), 100);
}

TEST_F(CommandLineTest, ATriggersRewriteIsToldAsTheServersAndUndoneWhereItCanBe) {
  db_->Exec({"CREATE TABLE g (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO g SELECT seq, CONCAT('Abc', seq) FROM seq_1_to_300",
             "CREATE TRIGGER mark_g BEFORE UPDATE ON g FOR EACH ROW "
             "IF BINARY NEW.v = UPPER(NEW.v) THEN SET NEW.v = CONCAT(NEW.v, '!'); END IF"});
  const QStringList convert = QStringList{"convert"} + Connection() +
                              QStringList{"--table", "g", "--field", "v", "--mode", "upper", "--yes", "--json"};
  // Every row took the trigger's value, not the one sent: said as the
  // server's doing, naming the trigger, never as another client's.
  Result r = Norvale(convert);
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("stored_otherwise").toInt(), 300);
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 0);
  EXPECT_EQ(OneRun(r).value("changed_since").toInt(), 0);
  EXPECT_TRUE(r.err.contains("the table's trigger mark_g rewrites what is written")) << r.err.toStdString();
  EXPECT_FALSE(r.err.contains("another client")) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM g WHERE id = 7"), QStringList{"ABC7!"});
  // The journal kept what the rows hold: undo finds them, and the old value
  // (not all capitals) is stored as sent.
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("restored").toInt(), 300);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM g WHERE v = BINARY CONCAT('Abc', id)"), QStringList{"300"});

  // A trigger that rewrites every value: the run says so, and undo cannot
  // put the old values back, says so and keeps the run.
  db_->Exec({"DROP TRIGGER mark_g", "CREATE TRIGGER lower_g BEFORE UPDATE ON g FOR EACH ROW SET NEW.v = LOWER(NEW.v)"});
  r = Norvale(convert);
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("stored_otherwise").toInt(), 300);
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("left").toInt(), 300);
  EXPECT_EQ(Json(r).value("restored").toInt(), 0);
  EXPECT_TRUE(r.err.contains("trigger lower_g rewrites what is written")) << r.err.toStdString();
  EXPECT_FALSE(Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("undone").toBool());
}

TEST_F(CommandLineTest, CtrlCWhileARowLockHoldsTheRunBackEndsItAtOnceAndUndoIsExact) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, CONCAT('jürgen ', seq) FROM seq_1_to_3000"});
  ADODB::Connection holder;
  holder.Open(MySQL::ConnectionString(db_->Details()));
  holder.Execute("START TRANSACTION");
  holder.Execute("SELECT v FROM t WHERE id = 1500 FOR UPDATE");
  QProcess run;
  Start(run, QStringList{"convert"} + Connection() +
                 QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--yes", "--json"});
  ErrUntil(run, "waiting: a row lock");
  SignalChild(run, SIGINT);
  ASSERT_TRUE(run.waitForFinished(30000)) << "still waiting for the lock after Ctrl+C";
  EXPECT_EQ(run.exitCode(), 130);
  holder.Execute("ROLLBACK");
  // The journal holds every row the table shows converted: undo puts each
  // back.
  const int converted = db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'").value(0).toInt();
  EXPECT_LT(converted, 3000);
  EXPECT_GE(Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("rows").toInt(),
            converted);
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  EXPECT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'"), QStringList{"0"});
}
