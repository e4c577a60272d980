// The norvale binary's commands, run as a script would run them, against the
// real test server; rows are checked by their bytes.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <thread>
#include <openssl/evp.h>
#include <sqlite3.h>

#include "caserules/case.h"
#include "commandline/options.h"
#include "database/rewrite.h"
#include "tests/support/testdb.h"

#include "tests/commandline/fixture.h"

namespace {

const QString kNames[] = {QStringLiteral("ann o'neil"), QStringLiteral("JEAN-LUC picard"),
                          QStringLiteral("ΟΔΥΣΣΕΥΣ ελύτης"), QStringLiteral("ıstanbul İZMİR"),
                          QStringLiteral("c:\\dir ¥"), QStringLiteral("e\u0301cole MÜLLER"),
                          QStringLiteral("\U0001D400 \U00010428 пётр ЧАЙКОВСКИЙ"), QString()};

TEST_F(CommandLineTest, DryRunConvertAndUndoRoundTripSeveralFieldsByTheirBytes) {
  // The second field is sjis, where 5C is the backslash and stays 5C.
  const QString sjis[] = {QStringLiteral("c:\\dir"), QStringLiteral("東京 tokyo"), QStringLiteral("ΑΛΦΑ beta"),
                          QStringLiteral("пётр"),      QStringLiteral("ｔｏｋｙｏ"),   QStringLiteral("x"),
                          QStringLiteral("mixed Case"), QString()};
  const auto literal = [](const QString& text) {
    return text.isNull() ? QStringLiteral("NULL") : QStringLiteral("'%1'").arg(QString(text).replace("\\", "\\\\").replace("'", "''"));
  };
  QStringList rows;
  for (int i = 0; i < 8; ++i) rows << QStringLiteral("(%1, %2, %3)").arg(i).arg(literal(kNames[i]), literal(sjis[i]));
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, a VARCHAR(60), b VARCHAR(60) CHARACTER SET sjis) CHARACTER SET utf8mb4",
             "INSERT INTO t (id, a, b) VALUES " + rows.join(u','), "UPDATE t SET b = X'633A5C646972' WHERE id = 0"});
  const QStringList a0 = Hex("t", "a"), b0 = Hex("t", "b");

  // A dry run changes nothing and keeps no journal.
  Result dry = Norvale(QStringList{"convert"} + Connection() +
                       QStringList{"--table", "t", "--field", "a", "--mode", "proper", "--dry-run", "--sample", "3"});
  ASSERT_EQ(dry.status, 0) << dry.err.toStdString();
  EXPECT_TRUE(dry.out.contains("8 read, 7 would change, 1 unchanged")) << dry.out.toStdString();
  EXPECT_TRUE(dry.out.contains("record 1: ann o'neil -> Ann O'neil")) << dry.out.toStdString();
  EXPECT_EQ(dry.out.count(" -> "), 3);
  EXPECT_EQ(Hex("t", "a"), a0);
  EXPECT_FALSE(QFile::exists(home_.path() + "/data/norvale/journal.sqlite"));

  // Two fields in one run, each counted on its own.
  Result run = Norvale(QStringList{"convert"} + Connection() +
                       QStringList{"--table", "t", "--field", "a", "--field", "b", "--mode", "upper", "--yes", "--json"});
  ASSERT_EQ(run.status, 0) << run.err.toStdString();
  const QJsonArray runs = QJsonDocument::fromJson(run.out.toUtf8()).object().value("runs").toArray();
  ASSERT_EQ(runs.size(), 1) << run.out.toStdString();
  EXPECT_EQ(runs[0].toObject().value("changed").toInt(), 7);  // rows
  const QJsonArray fields = runs[0].toObject().value("fields").toArray();
  ASSERT_EQ(fields.size(), 2) << run.out.toStdString();
  EXPECT_EQ(fields[0].toObject().value("field").toString(), "a");
  EXPECT_EQ(fields[0].toObject().value("changed").toInt(), 7);
  EXPECT_EQ(fields[1].toObject().value("field").toString(), "b");
  EXPECT_EQ(fields[1].toObject().value("changed").toInt(), 7);
  EXPECT_EQ(db_->Values("SELECT CONCAT_WS('|', a, HEX(b)) FROM t WHERE id = 0"),
            QStringList({QStringLiteral("ANN O'NEIL|433A5C444952")}));
  EXPECT_EQ(db_->Values("SELECT a FROM t WHERE id = 2"), QStringList({QStringLiteral("ΟΔΥΣΣΕΥΣ ΕΛΎΤΗΣ")}));

  const Result history = Norvale({"history", "--table", "t", "--json"});
  ASSERT_EQ(history.status, 0);
  const QJsonArray listed = QJsonDocument::fromJson(history.out.toUtf8()).object().value("runs").toArray();
  ASSERT_EQ(listed.size(), 1);
  EXPECT_EQ(listed[0].toObject().value("fields").toArray(), QJsonArray({"a", "b"}));
  EXPECT_GT(listed[0].toObject().value("bytes").toInt(), 0);

  // One undo takes both fields back, byte for byte.
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  ASSERT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_TRUE(undo.out.startsWith(QStringLiteral("%1.t.{a, b}: 14 values restored").arg(db_->Name())))
      << undo.out.toStdString();
  EXPECT_EQ(Hex("t", "a"), a0);
  EXPECT_EQ(Hex("t", "b"), b0);
  EXPECT_EQ(Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"}).status, 2);  // nothing left to undo
}

TEST_F(CommandLineTest, AnInterruptedRunStopsBetweenRecordsResumesAfterItsLastRowAndUndoesAsOneRun) {
  db_->Exec("CREATE TABLE big (id INT PRIMARY KEY, v VARCHAR(60)) SELECT seq AS id, CONCAT('name o''neil ', seq) AS v "
            "FROM seq_1_to_400000");
  const auto converted = [&] { return db_->Values("SELECT COUNT(*) FROM big WHERE v LIKE BINARY 'NAME%'").value(0).toInt(); };
  QProcess process;
  // Interrupted once it has changed some rows, while it waits at the pause
  // file: the run is fast enough to end between two looks at the table.
  PausedMidway(process, "big", "id = 100000", home_.path() + "/pause",
               QStringList{"convert"} + Connection() + QStringList{"--table", "big", "--field", "v", "--mode", "upper", "--yes"});
  SignalChild(process, SIGINT);
  ASSERT_TRUE(process.waitForFinished(120000));
  const QString err = QString::fromUtf8(process.readAllStandardError());
  EXPECT_EQ(process.exitCode(), 130) << err.toStdString();
  EXPECT_TRUE(err.contains("interrupted")) << err.toStdString();
  const int done = converted();
  EXPECT_GT(done, 0);
  EXPECT_LT(done, 400000);
  // Every row is whole: either as it was or converted.
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM big WHERE v <> CONCAT('name o''neil ', id) COLLATE utf8mb4_bin AND "
                        "v <> CONCAT('NAME O''NEIL ', id) COLLATE utf8mb4_bin"),
            QStringList({"0"}));
  // The journal knows where it stopped, and says how to go on.
  EXPECT_TRUE(err.contains("--resume continues")) << err.toStdString();
  Result r = Norvale({"history", "--json"});
  const QJsonObject stopped = Json(r).value("runs").toArray().at(0).toObject();
  EXPECT_EQ(stopped.value("ended").toString(), "interrupted");
  EXPECT_TRUE(stopped.value("resumable").toBool());
  const int next = stopped.value("next_record").toInt();
  EXPECT_EQ(next, done + 1) << "the rows changed are those before where it continues";
  const QStringList convert =
      QStringList{"convert"} + Connection() + QStringList{"--table", "big", "--field", "v", "--yes", "--json"};
  // Another mode is not a continuation.
  r = Norvale(convert + QStringList{"--mode", "lower", "--resume"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("converted to UPPER CASE, not lower case")) << r.err.toStdString();
  // It reads only the rows after the last one settled, and finishes.
  r = Norvale(convert + QStringList{"--mode", "upper", "--resume"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("read").toInt(), 400000 - done);
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 400000 - done);
  EXPECT_EQ(converted(), 400000);
  r = Norvale(convert + QStringList{"--mode", "upper", "--resume"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("finished")) << r.err.toStdString();
  // Both parts are one run, which one undo takes back.
  r = Norvale({"history", "--json"});
  ASSERT_EQ(Json(r).value("runs").toArray().size(), 1) << r.out.toStdString();
  EXPECT_EQ(Json(r).value("runs").toArray().at(0).toObject().value("rows").toInt(), 400000);
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "big", "--field", "v", "--yes"});
  ASSERT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_TRUE(undo.out.contains(QStringLiteral("400000 rows restored, 0 rows"))) << undo.out.toStdString();
  EXPECT_EQ(converted(), 0);
}

// A run killed outright never says how it ended: the journal's last word
// of where it stood (once a second) is where --resume goes on, reading some
// rows again that need no change by then.
TEST_F(CommandLineTest, ARunKilledOutrightResumesFromItsLastJournaledPlaceAndAnotherConditionIsRefused) {
  db_->Exec("CREATE TABLE k (id INT PRIMARY KEY, v VARCHAR(60)) SELECT seq AS id, CONCAT('jürgen groß ', seq) AS v "
            "FROM seq_1_to_300000");
  const QStringList before = Hex("k", "v");
  const auto converted = [&] { return db_->Values("SELECT COUNT(*) FROM k WHERE v LIKE BINARY 'JÜRGEN%'").value(0).toInt(); };
  const QStringList convert = QStringList{"convert"} + Connection() +
                              QStringList{"--table", "k", "--field", "v", "--mode", "upper", "--yes", "--json"};
  QProcess process;
  const QString pause = home_.path() + "/pause";
  PausedMidway(process, "k", "id = 200000", pause, convert);
  // Killed once the journal says it has settled rows.
  const auto settledSoFar = [&] {
    return Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("next_record").toInt();
  };
  QElapsedTimer waited;
  waited.start();
  while (settledSoFar() <= 1 && waited.elapsed() < 120000 && process.state() == QProcess::Running) QThread::msleep(20);
  SignalChild(process, SIGKILL);
  ASSERT_TRUE(process.waitForFinished(60000));
  const int done = converted();
  ASSERT_LT(done, 300000) << "the run finished before it was killed";
  Result r = Norvale({"history"});
  EXPECT_TRUE(r.out.contains("did not say how it ended")) << r.out.toStdString();
  const QJsonObject killed = Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject();
  const int settled = killed.value("next_record").toInt() - 1;
  EXPECT_GT(settled, 0);
  EXPECT_LE(settled, done);
  r = Norvale(convert + QStringList{"--resume", "--where", "id > 5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("converted every row, without --where")) << r.err.toStdString();
  r = Norvale(convert + QStringList{"--resume"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("did not say how it ended")) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("read").toInt(), 300000 - settled);
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 300000 - done);
  EXPECT_EQ(converted(), 300000);
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "k", "--field", "v", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Hex("k", "v"), before);
}

TEST_F(CommandLineTest, AKeyOfEveryKindIsReadInChunksAndARunStoppedThereResumesExact) {
  // Values of half a kilobyte, so that the table goes in many chunks, read
  // by a key of a date, text in a collation where ß sorts as ss and Å as A,
  // a negative decimal and bytes.
  db_->Exec({"CREATE TABLE c (d DATE NOT NULL, s VARCHAR(20) CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci NOT "
             "NULL, n DECIMAL(6,2) NOT NULL, b VARBINARY(8) NOT NULL, v TEXT, PRIMARY KEY (d, s, n, b))",
             "INSERT INTO c SELECT DATE_ADD('2024-02-27', INTERVAL seq % 4 DAY), ELT(1 + seq % 7, 'ß', 'Straße', "
             "'ǅemal', 'Å', 'a', 'z', 'ss'), (seq % 3) - 1.25, UNHEX(HEX(seq)), CONCAT(REPEAT(ELT(1 + seq % 4, "
             "'ΟΔΥΣΣΕΥΣ ', 'jürgen groß ', 'o''neil ', 'ıstanbul '), 40), seq) FROM seq_1_to_40000"});
  const QString order = "SELECT %1 FROM c ORDER BY d, s, n, b";
  const QStringList before = db_->Values(order.arg("HEX(v)"));
  QStringList expected;
  for (const QString& text : db_->Values(order.arg("v")))
    expected << QString::fromLatin1(Case::ConvertCase(Case::CaseMode::CaseUpper, text).toUtf8().toHex().toUpper());
  const QStringList convert = QStringList{"convert"} + Connection() +
                              QStringList{"--table", "c", "--field", "v", "--mode", "upper", "--yes", "--json"};
  // A condition on the key's text counts the rows it picks in the
  // collation, ß with ss.
  Result r = Norvale(convert + QStringList{"--dry-run", "--where", "s = 'ss'"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("read").toInt(), db_->Values("SELECT COUNT(*) FROM c WHERE s = 'ss'").value(0).toInt());
  // Stopped while it waits for the pause file, once rows have changed.
  const QString pause = home_.path() + "/pause";
  QProcess run;
  const QByteArray err = PausedMidway(run, "c", "b = UNHEX(HEX(20001))", pause, convert);
  SignalChild(run, SIGINT);
  ASSERT_TRUE(run.waitForFinished(60000));
  ASSERT_EQ(run.exitCode(), 130) << "the run finished before it was stopped: " << err.toStdString();
  QFile::remove(pause);
  const QJsonObject first = QJsonDocument::fromJson(run.readAllStandardOutput()).object().value("runs").toArray()[0].toObject();
  EXPECT_GT(first.value("changed").toInt(), 0);
  EXPECT_LT(first.value("changed").toInt(), 40000);
  // It goes on after the last row settled, reading no row settled before.
  const int settled =
      Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("next_record").toInt() - 1;
  EXPECT_GE(settled, first.value("changed").toInt());
  // Under another collation the key's text sorts otherwise (ß no longer
  // with ss): its position no longer parts the rows done from the rest.
  const QString collate = "ALTER TABLE c MODIFY s VARCHAR(20) CHARACTER SET utf8mb4 COLLATE %1 NOT NULL";
  db_->Exec({collate.arg("utf8mb4_bin")});
  const QStringList stopped = db_->Values(order.arg("HEX(v)"));
  r = Norvale(convert + QStringList{"--resume"});
  EXPECT_EQ(r.status, 2) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("changed since it read its rows")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("utf8mb4_bin")) << r.err.toStdString();
  EXPECT_EQ(db_->Values(order.arg("HEX(v)")), stopped);
  db_->Exec({collate.arg("utf8mb4_unicode_ci")});
  r = Norvale(convert + QStringList{"--resume"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("read").toInt(), 40000 - settled);
  // The Greek values are in capitals already: a quarter.
  EXPECT_EQ(first.value("changed").toInt() + OneRun(r).value("changed").toInt(), 30000);
  // Every row exact, by its bytes; one undo takes both parts back.
  EXPECT_EQ(db_->Values(order.arg("HEX(v)")), expected);
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values(order.arg("HEX(v)")), before);
}

// Each field may name its own mode; --mode is that of the others. A name
// that holds a colon keeps it unless a mode follows the last one.
TEST_F(CommandLineTest, EachFieldTakesItsOwnModeAndANameMayHoldAColon) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, a VARCHAR(20), b VARCHAR(20), `x:y` VARCHAR(20))",
             "INSERT INTO t VALUES (1, 'ann SMITH', 'ann SMITH', 'ann SMITH')"});
  const QStringList convert = QStringList{"convert"} + Connection() + QStringList{"--table", "t"};
  const Result run = Norvale(convert + QStringList{"--field", "a:lower", "--field", "b", "--field", "x:y", "--mode",
                                                   "proper", "--yes", "--json"});
  ASSERT_EQ(run.status, 0) << run.err.toStdString();
  const QJsonArray fields = OneRun(run).value("fields").toArray();
  ASSERT_EQ(fields.size(), 3) << run.out.toStdString();
  EXPECT_EQ(fields[0].toObject().value("mode").toString(), "lower case");
  EXPECT_EQ(fields[2].toObject().value("field").toString(), "x:y");
  EXPECT_EQ(OneRun(run).value("mode").toString(), "a: lower case, b: Proper Case, x:y: Proper Case");
  EXPECT_EQ(db_->Values("SELECT CONCAT_WS('|', a, b, `x:y`) FROM t"), QStringList{"ann smith|Ann Smith|Ann Smith"});

  const std::pair<QStringList, const char*> wrong[] = {
      {{"--field", "a", "--field", "a:upper", "--mode", "upper"}, "--field a is given twice"},
      {{"--field", "a:lower", "--field", "A:upper"}, "--field A is given twice"},
      {{"--field", "a:upper", "--field", "b"}, "--mode is one of"},
      {{"--field", "a:upper", "--mode", "title"}, "--mode is one of"}};
  for (const auto& [args, says] : wrong) {
    const Result refused = Norvale(convert + args + QStringList{"--yes"});
    EXPECT_EQ(refused.status, 64) << args.join(' ').toStdString();
    EXPECT_TRUE(refused.err.contains(says)) << refused.err.toStdString();
  }
  EXPECT_EQ(db_->Values("SELECT CONCAT_WS('|', a, b, `x:y`) FROM t"), QStringList{"ann smith|Ann Smith|Ann Smith"});
}

TEST_F(CommandLineTest, UsageErrorsAndFailuresHaveTheirStatusesAndSayWhy) {
  // The server refuses the second row's new value; the column cannot hold the third's.
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, a VARCHAR(20) CHARACTER SET latin1 CHECK (BINARY a <> 'REFUSED'))",
             "INSERT INTO t VALUES (1, 'x'), (2, 'refused'), (3, 'µ')"});
  const QStringList convert = QStringList{"convert"} + Connection() + QStringList{"--table", "t", "--field", "a"};
  struct Case {
    QStringList args;
    int status;
    const char* says;
  } cases[] = {
      {convert + QStringList{"--mode", "upper", "--bogus"}, 64, "Unknown option 'bogus'"},
      {QStringList{"convrt"}, 64, "'convrt' is no command"},
      {convert + QStringList{"--mode", "title", "--yes"}, 64, "--mode is one of"},
      {convert + QStringList{"--mode", "upper"}, 64, "add --yes"},  // no terminal to confirm on
      {QStringList{"undo"} + Connection(), 64, "add --yes"},
      {QStringList{"convert", "-h", db_->Details().server, "-P", db_->Details().port, "-u", db_->Details().user,
                   "-pwrong", "-D", db_->Name(), "--table", "t", "--field", "a", "--mode", "upper", "--yes"},
       2, "Access denied"},
      {QStringList{"convert"} + Connection() + QStringList{"--table", "gone", "--field", "a", "--mode", "upper", "--yes"},
       2, "gone"},
      {convert + QStringList{"--mode", "upper", "--yes"}, 1, "norvale: record 2 (`id`=2): "},
      {convert + QStringList{"--mode", "upper", "--yes"}, 1, "norvale: record 3 (`id`=3): "},
  };
  for (const Case& c : cases) {
    const Result r = Norvale(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.join(' ').toStdString() << "\n" << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << c.says << " not in: " << r.err.toStdString();
  }
  EXPECT_EQ(db_->Values("SELECT a FROM t ORDER BY id"), QStringList({"X", "refused", QString(QChar(0xB5))}));

  // Over several groups, each record's report comes in the records' order,
  // though a group is still on its way while the next is read.
  db_->Exec({"CREATE TABLE many (id INT PRIMARY KEY, a VARCHAR(20) CHARACTER SET latin1 CHECK (BINARY a <> 'REFUSED'))",
             "INSERT INTO many SELECT seq, IF(seq IN (10, 999, 1600, 2400), 'refused', IF(seq IN (1500, 2100), 'µ', "
             "CONCAT('row ', seq))) FROM seq_1_to_2500"});
  const Result r = Norvale(QStringList{"convert"} + Connection() +
                           QStringList{"--table", "many", "--field", "a", "--mode", "upper", "--yes", "--json"});
  EXPECT_EQ(r.status, 1);
  QList<int> reported;
  // Each names its row by its key (here the id is the record's number).
  static const QRegularExpression record(QStringLiteral("^norvale: record (\\d+) \\(`id`=(\\d+)\\): "),
                                         QRegularExpression::MultilineOption);
  for (auto m = record.globalMatch(r.err); m.hasNext();) {
    const QRegularExpressionMatch one = m.next();
    EXPECT_EQ(one.captured(1), one.captured(2));
    reported << one.captured(1).toInt();
  }
  EXPECT_EQ(reported, QList<int>({10, 999, 1500, 1600, 2100, 2400})) << r.err.toStdString();
  const QJsonObject totals = QJsonDocument::fromJson(r.out.toUtf8()).object().value("runs").toArray()[0].toObject();
  EXPECT_EQ(totals.value("changed").toInt(), 2494);
  EXPECT_EQ(totals.value("refused").toInt(), 4);
  EXPECT_EQ(totals.value("not_convertible").toInt(), 2);

  // A value no mode can convert (over 32,767 characters in Proper Case) is
  // that record's failure; the records around it still convert.
  db_->Exec({"CREATE TABLE huge (id INT PRIMARY KEY, v LONGTEXT)",
             "INSERT INTO huge VALUES (1, 'first one'), (2, REPEAT('x', 40000)), (3, 'third one')"});
  const Result over = Norvale(QStringList{"convert"} + Connection() +
                              QStringList{"--table", "huge", "--field", "v", "--mode", "proper", "--yes"});
  EXPECT_EQ(over.status, 1) << over.err.toStdString();
  EXPECT_TRUE(over.err.contains("norvale: record 2 (`id`=2): Overflow: the value has 32,767 characters or more"))
      << over.err.toStdString();
  EXPECT_TRUE(over.out.contains("3 read, 2 changed, 0 unchanged, 0 refused, 1 not convertible")) << over.out.toStdString();
  EXPECT_EQ(db_->Values("SELECT LEFT(v, 9) FROM huge ORDER BY id"), QStringList({"First One", "xxxxxxxxx", "Third One"}));
}

TEST_F(CommandLineTest, ValuesOfMegabytesConvertAndUndoExactWithAKeyAndWithout) {
  // Values of three megabytes in four scripts, beside short ones, go to
  // the server ahead of their statements; the table without a key holds
  // one of them twice. Every byte is the conversion's, and undo (of the
  // keyed table: the command line undoes no keyless run) gives every byte
  // back.
  const QString large = "REPEAT(CONCAT('ὀδυσσεύς straße ', seq, ' ǆemal ', 'ıstanbul 東京 '), 60000)";
  db_->Exec({"CREATE TABLE k (id INT PRIMARY KEY, v LONGTEXT CHARACTER SET utf8mb4)",
             "INSERT INTO k SELECT seq, IF(seq % 3 = 0, " + large + ", CONCAT('name ', seq)) FROM seq_1_to_7",
             "CREATE TABLE n (id INT NOT NULL, v LONGTEXT CHARACTER SET utf8mb4)",
             "INSERT INTO n SELECT seq, IF(seq % 3 = 0, " + QString(large).replace("seq", "1") +
                 ", CONCAT('name ', seq)) FROM seq_1_to_7"});
  for (const QString table : {"k", "n"}) {
    const QStringList before = Hex(table, "v");
    QStringList expected;
    for (const QString& text : db_->Values("SELECT v FROM " + table + " ORDER BY id"))
      expected << QString::fromLatin1(Case::ConvertCase(Case::CaseMode::CaseUpper, text).toUtf8().toHex().toUpper());
    const Result r = Norvale(QStringList{"convert"} + Connection() +
                             QStringList{"--table", table, "--field", "v", "--mode", "upper", "--yes", "--json"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(OneRun(r).value("changed").toInt(), 7) << table.toStdString();
    EXPECT_EQ(Hex(table, "v"), expected) << table.toStdString();
    if (table == "n") continue;
    const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", table, "--field", "v", "--yes"});
    EXPECT_EQ(undo.status, 0) << undo.err.toStdString();
    EXPECT_EQ(Hex(table, "v"), before) << table.toStdString();
  }
}

TEST_F(CommandLineTest, AnOptionFileGivesTheDetailsAndThePassword) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, a VARCHAR(20))", "INSERT INTO t VALUES (1, 'from a file')"});
  const MySQL::ConnectionDetails d = db_->Details();
  const QString text = QStringLiteral("[mysqld]\nuser = nobody\n[client]\nhost=%1\nport = %2\nuser=\"%3\"\npassword = '%4'\n"
                                      "database=%5 # ours\n")
                           .arg(d.server, d.port, d.user, d.password, d.database);
  QFile my(home_.path() + "/.my.cnf");
  ASSERT_TRUE(my.open(QIODevice::WriteOnly));
  my.write(text.toUtf8());
  my.close();
  const QStringList fieldArgs{"--table", "t", "--field", "a", "--yes"};
  Result r = Norvale(QStringList{"convert", "--mode", "proper"} + fieldArgs);
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT a FROM t"), QStringList({"From A File"}));
  // --no-defaults leaves the file out; --defaults-file reads only the one named.
  r = Norvale(QStringList{"convert", "--no-defaults", "--mode", "upper"} + fieldArgs);
  EXPECT_EQ(r.status, 64) << r.err.toStdString();
  ASSERT_TRUE(my.rename(home_.path() + "/elsewhere.cnf"));
  r = Norvale(QStringList{"convert", "--defaults-file", home_.path() + "/elsewhere.cnf", "--mode", "upper"} + fieldArgs);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT a FROM t"), QStringList({"FROM A FILE"}));

  // The groups the clients share and our own, each in its file's order, and
  // MYSQL_PWD after the option files.
  QFile groups(home_.path() + "/.my.cnf");
  ASSERT_TRUE(groups.open(QIODevice::WriteOnly));
  groups.write(QStringLiteral("[client]\nhost=%1\nport=1\n[client-server]\nport=%2\n[mysqld]\nuser=nobody\ndatabase=no\n"
                          "[client-mariadb]\nuser=%3\n[norvale]\ndatabase=%4\n[mysql]\npassword=wrong\n")
               .arg(d.server, d.port, d.user, d.database)
               .toUtf8());
  groups.close();
  extraEnv_.insert("MYSQL_PWD", d.password);
  r = Norvale(QStringList{"convert", "--mode", "lower"} + fieldArgs);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT a FROM t"), QStringList({"from a file"}));
  extraEnv_.insert("MYSQL_PWD", "wrong");
  r = Norvale(QStringList{"convert", "--mode", "upper"} + fieldArgs);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("Access denied")) << r.err.toStdString();

  EXPECT_EQ(CommandLine::NormalizedArguments({"-psecret", "-p", "--password", "--password=x", "-P", "3306"}),
            QStringList({"--password=secret", "--ask-password", "--ask-password", "--password=x", "-P", "3306"}));
}


TEST_F(CommandLineTest, CountsAreWhatTheTableGotUnderAnotherWriterAndAJournalThatLocks) {
  constexpr int kRows = 150000;
  const QString fill = QStringLiteral("INSERT INTO %1 SELECT seq, CONCAT('name é ', seq) FROM seq_1_to_%2");
  db_->Exec({"CREATE TABLE w (id INT PRIMARY KEY, v VARCHAR(60)) CHARACTER SET utf8mb4", fill.arg("w").arg(kRows)});
  const auto count = [&](const QString& table, const char* like) {
    return db_->Values(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE v LIKE BINARY '%2'").arg(table, like)).value(0).toLongLong();
  };
  const QStringList convert = QStringList{"convert"} + Connection() + QStringList{"--field", "v", "--mode", "upper", "--yes", "--json"};

  // Another client rewrites rows ahead of the run: those it has read
  // already stay theirs, those it reads after are converted as they are then.
  QProcess process;
  Start(process, convert + QStringList{"--table", "w"});
  QElapsedTimer waited;
  waited.start();
  while (count("w", "NAME%") == 0 && waited.elapsed() < 120000 && process.state() == QProcess::Running) QThread::msleep(10);
  int writes = 0;
  while (process.state() == QProcess::Running && writes < 200) {
    db_->Exec(QStringLiteral("UPDATE w SET v = CONCAT('other ', id) WHERE id > (SELECT MAX(id) FROM (SELECT id FROM w "
                             "WHERE v LIKE BINARY 'NAME%') AS done) + 2000 AND id % 97 = %1 AND v LIKE BINARY 'name%'")
                  .arg(writes % 97));
    ++writes;
  }
  ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(300000));
  const Result run{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                   QString::fromUtf8(process.readAllStandardError())};
  const QJsonObject t = OneRun(run);
  const qint64 ours = count("w", "NAME%") + count("w", "OTHER%"), theirs = count("w", "other%");
  const qint64 readAfterTheirs = count("w", "OTHER%");
  EXPECT_GT(theirs, 0) << "the other client wrote nothing while the run went on";
  EXPECT_EQ(t.value("changed").toInteger(), ours) << run.out.toStdString();
  EXPECT_EQ(t.value("changed_since").toInteger(), theirs);
  EXPECT_EQ(t.value("not_changed").toInteger(), theirs);
  EXPECT_EQ(run.status, theirs > 0 ? 1 : 0) << run.err.toStdString();
  EXPECT_TRUE(run.err.contains(QStringLiteral("%1 rows were sent but not changed").arg(theirs))) << run.err.toStdString();
  // The journal holds exactly the rows the run changed.
  const QJsonObject listed = Json(Norvale({"history", "--table", "w", "--json"})).value("runs").toArray().at(0).toObject();
  EXPECT_EQ(listed.value("rows").toInteger(), ours);

  // Undo ends at the first Ctrl+C between groups; what it restored stays
  // restored, and undoing again takes back the rest.
  Start(process, QStringList{"undo"} + Connection() + QStringList{"--table", "w", "--field", "v", "--yes", "--json"});
  waited.restart();
  while (count("w", "NAME%") + count("w", "OTHER%") == ours && waited.elapsed() < 120000 &&
         process.state() == QProcess::Running)
    QThread::msleep(5);
  SignalChild(process, SIGINT);
  ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(120000));
  const Result stopped{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                       QString::fromUtf8(process.readAllStandardError())};
  const qint64 restored = Json(stopped).value("restored").toInteger();
  if (stopped.status == 130) {
    EXPECT_TRUE(stopped.err.contains("interrupted")) << stopped.err.toStdString();
    EXPECT_TRUE(Json(stopped).value("interrupted").toBool());
    EXPECT_EQ(count("w", "NAME%") + count("w", "OTHER%"), ours - restored);
    const Result rest = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "w", "--field", "v", "--yes", "--json"});
    EXPECT_EQ(rest.status, 0) << rest.err.toStdString();
    EXPECT_EQ(Json(rest).value("restored").toInteger(), ours - restored);
  } else {
    EXPECT_EQ(stopped.status, 0) << "the undo finished before it was interrupted: " << stopped.err.toStdString();
  }
  EXPECT_EQ(count("w", "NAME%") + count("w", "OTHER%"), 0);
  EXPECT_EQ(count("w", "other%"), theirs + readAfterTheirs);

  // The journal is held by another process for longer than the run waits
  // for it: the run ends with status 2 before its next statement, and what
  // it sent stays journaled and undoable.
  db_->Exec({"CREATE TABLE l (id INT PRIMARY KEY, v VARCHAR(60)) CHARACTER SET utf8mb4", fill.arg("l").arg(kRows)});
  Start(process, convert + QStringList{"--table", "l"});
  waited.restart();
  while (count("l", "NAME%") == 0 && waited.elapsed() < 120000 && process.state() == QProcess::Running) QThread::msleep(10);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open((home_.path() + "/data/norvale/journal.sqlite").toUtf8().constData(), &holder), SQLITE_OK);
  sqlite3_busy_timeout(holder, 10000);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(holder);
  ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(300000));
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  const Result locked{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                      QString::fromUtf8(process.readAllStandardError())};
  const qint64 sent = count("l", "NAME%");
  ASSERT_GT(sent, 0);
  ASSERT_LT(sent, kRows) << "the run finished before the journal was locked";
  EXPECT_EQ(locked.status, 2) << locked.err.toStdString();
  EXPECT_TRUE(locked.err.contains("journal")) << locked.err.toStdString();
  EXPECT_EQ(OneRun(locked).value("changed").toInteger(), sent) << locked.out.toStdString();
  EXPECT_EQ(Json(locked).value("status").toInt(), 2);
  EXPECT_FALSE(Json(locked).value("error").toString().isEmpty());
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "l", "--field", "v", "--yes"});
  EXPECT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_TRUE(undo.out.contains(QStringLiteral(": %1 rows restored, 0 rows").arg(sent))) << undo.out.toStdString();
  EXPECT_EQ(count("l", "NAME%"), 0);
}

TEST_F(CommandLineTest, ColumnsThatCannotTakeAConvertedValueAreRefusedBeforeAnythingIsSent) {
  db_->Exec({"CREATE TABLE c (id INT PRIMARY KEY, a VARCHAR(20), g VARCHAR(20) AS (LOWER(a)) VIRTUAL, "
             "s VARCHAR(20) AS (CONCAT(a, 'x')) STORED, j JSON, e ENUM('small', 'big') COLLATE utf8mb4_general_ci, "
             "b ENUM('small', 'SMALL') COLLATE utf8mb4_bin) CHARACTER SET utf8mb4",
             "INSERT INTO c (id, a, j, e, b) VALUES (1, 'ünï', '{\"clé\":\"bc\"}', 'small', 'small'), (2, 'ok', '[\"x\"]', "
             "'big', 'small')"});
  const QStringList before = db_->Values("SELECT CONCAT_WS('|', HEX(a), HEX(g), HEX(s), HEX(j), HEX(e), HEX(b)) FROM c ORDER BY id");
  for (const char* field : {"g", "s", "j"}) {
    for (const QStringList& extra : {QStringList{"--yes"}, QStringList{"--dry-run"}}) {
      const Result r = Norvale(QStringList{"convert"} + Connection() +
                               QStringList{"--table", "c", "--field", field, "--mode", "upper", "--json"} + extra);
      EXPECT_EQ(r.status, 2) << field << r.err.toStdString();
      EXPECT_TRUE(r.err.contains(QStringLiteral("The field %1 ").arg(field))) << r.err.toStdString();
      EXPECT_TRUE(Json(r).value("error").toString().contains(field)) << r.out.toStdString();
    }
  }
  EXPECT_EQ(db_->Values("SELECT CONCAT_WS('|', HEX(a), HEX(g), HEX(s), HEX(j), HEX(e), HEX(b)) FROM c ORDER BY id"), before);
  EXPECT_TRUE(Json(Norvale({"history", "--json"})).value("runs").toArray().isEmpty());

  // An ENUM under a case-insensitive collation stores the same member
  // again: counted apart, not as changed. Under a binary one 'small' can
  // become the member 'SMALL'.
  Result r = Norvale(QStringList{"convert"} + Connection() + QStringList{"--table", "c", "--field", "e", "--mode", "upper", "--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 0) << r.out.toStdString();
  EXPECT_EQ(OneRun(r).value("same_value").toInt(), 2);
  EXPECT_TRUE(r.err.contains("2 where the column stored the same value again")) << r.err.toStdString();
  r = Norvale(QStringList{"convert"} + Connection() + QStringList{"--table", "c", "--field", "b", "--mode", "upper", "--yes", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 2);
  EXPECT_EQ(db_->Values("SELECT CONCAT(e, '|', b) FROM c ORDER BY id"), QStringList({"small|SMALL", "big|SMALL"}));
  // The text column beside them converts as ever.
  r = Norvale(QStringList{"convert"} + Connection() + QStringList{"--table", "c", "--field", "a", "--mode", "upper", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT CONCAT(a, '|', g) FROM c ORDER BY id"), QStringList({"ÜNÏ|ünï", "OK|ok"}));
}

TEST_F(CommandLineTest, UndoKeepsARunWhoseRowsItCouldNotRestoreAndTakesRunsBackById) {
  db_->Exec({"CREATE TABLE u (id INT PRIMARY KEY, v VARCHAR(40) CHARACTER SET latin1)",
             "INSERT INTO u SELECT seq, CONCAT('café ', seq) FROM seq_1_to_2000",
             "CREATE TABLE other (id INT PRIMARY KEY, v VARCHAR(40))", "INSERT INTO other VALUES (1, 'ελύτης')"});
  const QStringList original = Hex("u", "v");
  const QStringList convert = QStringList{"convert"} + Connection() + QStringList{"--field", "v", "--mode", "upper", "--yes"};
  ASSERT_EQ(Norvale(convert + QStringList{"--table", "u"}).status, 0);
  ASSERT_EQ(Norvale(convert + QStringList{"--table", "other"}).status, 0);
  const QJsonArray runs = Json(Norvale({"history", "--json"})).value("runs").toArray();
  ASSERT_EQ(runs.size(), 2);
  const qint64 first = runs[1].toObject().value("id").toInteger();
  EXPECT_EQ(runs[1].toObject().value("table").toString(), "u");
  EXPECT_EQ(runs[1].toObject().value("rows").toInt(), 2000);

  // The column's bytes change under the journal: nothing can be restored,
  // and the run stays in the journal.
  db_->Exec("ALTER TABLE u MODIFY v VARCHAR(40) CHARACTER SET utf8mb4");
  const QStringList undoRun = QStringList{"undo"} + Connection() + QStringList{"--yes", "--run", QString::number(first)};
  Result r = Norvale(undoRun + QStringList{"--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("restored").toInt(), 0) << r.out.toStdString();
  EXPECT_EQ(Json(r).value("left").toInt(), 2000);
  EXPECT_FALSE(Json(Norvale({"history", "--json"})).value("runs").toArray()[1].toObject().value("undone").toBool());

  // Back as it was, and one row changed by someone since: that row is left,
  // the others restored, and the run still holds that one row.
  db_->Exec({"ALTER TABLE u MODIFY v VARCHAR(40) CHARACTER SET latin1", "UPDATE u SET v = 'someone else' WHERE id = 7"});
  r = Norvale(undoRun);
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("1999 rows restored, 1 rows changed since")) << r.out.toStdString();
  QJsonObject u = Json(Norvale({"history", "--json"})).value("runs").toArray()[1].toObject();
  EXPECT_FALSE(u.value("undone").toBool());
  EXPECT_EQ(u.value("rows").toInt(), 1);
  // Once the row holds what the run wrote, undoing again restores it alone.
  db_->Exec("UPDATE u SET v = 'CAFÉ 7' WHERE id = 7");
  r = Norvale(undoRun);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains(": 1 rows restored, 0 rows")) << r.out.toStdString();
  EXPECT_EQ(Hex("u", "v"), original);
  u = Json(Norvale({"history", "--json"})).value("runs").toArray()[1].toObject();
  EXPECT_TRUE(u.value("undone").toBool());
  EXPECT_EQ(Norvale(undoRun).status, 2);  // undone already
  // The newer run on the other table was never touched, and a run is taken
  // back only where it was made.
  EXPECT_EQ(db_->Values("SELECT v FROM other"), QStringList({"ΕΛΎΤΗΣ"}));
  r = Norvale(QStringList{"undo", "-h", "localhost"} + Connection().mid(2) +
              QStringList{"--yes", "--run", QString::number(first + 1)});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("connect there")) << r.err.toStdString();
  EXPECT_EQ(Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--run", "999"}).status, 2);
}

TEST_F(CommandLineTest, HelpAndVersionNeedNoDisplayAndATableWithoutAKeySaysSoFirst) {
  for (const char* option : {"--version", "-v", "--help"}) {
    const Result r = Norvale({option});
    EXPECT_EQ(r.status, 0) << option << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("norvale 1.") || r.out.startsWith("Usage: norvale")) << r.out.toStdString();
  }
  for (const char* command : {"convert", "undo", "history"}) {
    const Result r = Norvale({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_TRUE(r.out.contains(QStringLiteral("Usage: norvale %1").arg(command))) << r.out.toStdString();
  }
  db_->Exec({"CREATE TABLE k (v VARCHAR(20))", "INSERT INTO k VALUES ('a'), ('a'), ('b'), ('c')"});
  const QStringList convert = QStringList{"convert"} + Connection() + QStringList{"--table", "k", "--field", "v", "--mode", "upper"};
  Result r = Norvale(convert + QStringList{"--dry-run"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.contains("could not be undone exactly: k has no primary key")) << r.out.toStdString();
  r = Norvale(convert + QStringList{"--yes", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 4);
  EXPECT_FALSE(OneRun(r).value("undoable").toBool());
  // History counts its values and its rows, found by one join or (with an
  // index on the field) value by value.
  db_->Exec({"CREATE TABLE ki (v VARCHAR(20), KEY (v))", "INSERT INTO ki VALUES ('a'), ('a'), ('b'), ('c'), ('c'), ('C')"});
  EXPECT_EQ(Norvale(QStringList{"convert"} + Connection() + QStringList{"--table", "ki", "--field", "v", "--mode", "upper", "--yes"}).status, 0);
  const QJsonArray listed = Json(Norvale({"history", "--json"})).value("runs").toArray();
  ASSERT_EQ(listed.size(), 2);
  EXPECT_EQ(listed[0].toObject().value("values").toInt(), 3);
  EXPECT_EQ(listed[0].toObject().value("rows").toInt(), 5);
  EXPECT_EQ(listed[1].toObject().value("values").toInt(), 3);
  EXPECT_EQ(listed[1].toObject().value("rows").toInt(), 4);
  EXPECT_TRUE(Norvale({"history"}).out.contains("3 values, 4 rows"));
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "k", "--field", "v", "--yes"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("cannot be undone exactly: k has no primary key")) << r.err.toStdString();
  // A usage error is one JSON object too.
  r = Norvale(convert + QStringList{"--json", "--mode", "title"});
  EXPECT_EQ(r.status, 64);
  EXPECT_EQ(Json(r).value("status").toInt(), 64);
}

TEST_F(CommandLineTest, ADamagedJournalKeepsEveryEntryItCanStillReadAndConvertRefusesIt) {
  const QStringList convert = QStringList{"convert"} + Connection() + QStringList{"--field", "v", "--mode", "upper", "--yes"};
  constexpr int kRuns = 12;
  for (int i = 0; i < kRuns; ++i) {
    db_->Exec({QStringLiteral("CREATE TABLE t%1 (id INT PRIMARY KEY, v VARCHAR(200))").arg(i),
               QStringLiteral("INSERT INTO t%1 SELECT seq, CONCAT(REPEAT('ünïcode ελληνικά пётр ', 3), seq) FROM seq_1_to_300").arg(i)});
  }
  const QStringList before = Hex("t0", "v");
  for (int i = 0; i < kRuns; ++i) ASSERT_EQ(Norvale(convert + QStringList{"--table", QStringLiteral("t%1").arg(i)}).status, 0);
  const QString path = home_.path() + "/data/norvale/journal.sqlite";
  QFile journal(path);
  ASSERT_FALSE(QFile::exists(path + "-wal"));
  ASSERT_TRUE(journal.resize(journal.size() / 2));
  const QByteArray damaged = [&] {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }();

  // Convert refuses, naming the file; nothing is sent.
  db_->Exec({"CREATE TABLE fresh (id INT PRIMARY KEY, v VARCHAR(20))", "INSERT INTO fresh VALUES (1, 'new')"});
  Result r = Norvale(convert + QStringList{"--table", "fresh"});
  EXPECT_EQ(r.status, 2) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("damaged") && r.err.contains(path)) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM fresh"), QStringList({"new"}));

  // History recovers the runs it can read into a new journal and keeps the
  // damaged file as it was; the intact runs undo exactly.
  r = Norvale({"history", "--json"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("kept as")) << r.err.toStdString();
  const QJsonArray runs = Json(r).value("runs").toArray();
  EXPECT_GT(runs.size(), 0);
  // A run that lost entries stays listed, saying so; one lost whole is not.
  int short_ = 0;
  for (const QJsonValue& run : runs) short_ += run.toObject().value("lost_entries").toInt() != 0;
  EXPECT_TRUE(short_ > 0 || runs.size() < kRuns) << r.out.toStdString();
  const QJsonObject oldest = runs.last().toObject();
  ASSERT_EQ(oldest.value("table").toString(), "t0");
  EXPECT_EQ(oldest.value("rows").toInt(), 300);
  const QStringList kept = QDir(home_.path() + "/data/norvale").entryList({"journal.sqlite.damaged-*"}, QDir::Files);
  ASSERT_EQ(kept.size(), 1);
  QFile aside(home_.path() + "/data/norvale/" + kept.front());
  ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
  EXPECT_EQ(aside.readAll(), damaged);
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--run", QString::number(oldest.value("id").toInteger())});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_TRUE(Hex("t0", "v") == before);
  // The new journal takes new runs.
  EXPECT_EQ(Norvale(convert + QStringList{"--table", "fresh"}).status, 0);
  EXPECT_EQ(db_->Values("SELECT v FROM fresh"), QStringList({"NEW"}));
}

TEST_F(CommandLineTest, OnATerminalTheQuestionIsAskedWithStderrRedirectedAndNoIsStatusOne) {
  db_->Exec({"CREATE TABLE q (id INT PRIMARY KEY, v VARCHAR(20))", "INSERT INTO q VALUES (1, 'ünï'), (2, 'ok')"});
  // A terminal of its own (script gives the command a pseudo-terminal), the
  // answer typed on it, and stderr going to a file.
  const auto answered = [&](const char* answer) {
    QStringList words{QStringLiteral(NORVALE_BINARY), "convert"};
    words << Connection() << QStringList{"--table", "q", "--field", "v", "--mode", "upper"};
    for (QString& w : words) w = "'" + w.replace("'", "'\\''") + "'";
    QProcess process;
    process.setProcessEnvironment(Environment());
    process.start("script", {"-qec", words.join(' ') + " 2>" + home_.path() + "/err.log", "/dev/null"});
    EXPECT_TRUE(process.waitForStarted());
    process.write(answer);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(120000));
    return std::pair(process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()));
  };
  auto [status, screen] = answered("n\n");
  EXPECT_EQ(status, 1) << screen.toStdString();
  EXPECT_TRUE(screen.contains("Convert 2 rows of " + db_->Name() + ".q.v to UPPER CASE? [y/N]")) << screen.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM q ORDER BY id"), QStringList({"ünï", "ok"}));
  std::tie(status, screen) = answered("y\n");
  EXPECT_EQ(status, 0) << screen.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM q ORDER BY id"), QStringList({"ÜNÏ", "OK"}));
}

TEST_F(CommandLineTest, ALoginWithTheConnectionStringsOwnCharactersConnectsAsTypedAndAddsNoAttribute) {
  // Plain values keep their exact form; the others are braced, a closing
  // brace doubled, so that no text typed can add an attribute of its own.
  const struct {
    const char* value;
    const char* attribute;
  } quoted[] = {{"plain-pw_1", "plain-pw_1"}, {"", ""},          {"pa;ss", "{pa;ss}"},
                {"a}b", "{a}}b}"},           {"{x", "{{x}"},      {"k=v", "{k=v}"},
                {"x;DATABASE=mysql", "{x;DATABASE=mysql}"}, {" lead", "{ lead}"}, {"ünï", "ünï"}};
  for (const auto& q : quoted) EXPECT_EQ(MySQL::AttributeValue(QString::fromUtf8(q.value)), QString::fromUtf8(q.attribute));

  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20))", "INSERT INTO t VALUES (1, 'élan')"});
  const MySQL::ConnectionDetails d = db_->Details();
  const QString user = QStringLiteral("nv;u{s}=er"), password = QStringLiteral("p;a}s{s=w}}ord;DATABASE=mysql");
  const auto literal = [](const QString& text) { return "'" + QString(text).replace("'", "''") + "'"; };
  db_->Exec({QStringLiteral("DROP USER IF EXISTS %1@'%'").arg(literal(user)),
             QStringLiteral("CREATE USER %1@'%' IDENTIFIED BY %2").arg(literal(user), literal(password)),
             QStringLiteral("GRANT ALL ON `%1`.* TO %2@'%'").arg(db_->Name(), literal(user))});
  const QStringList field{"--table", "t", "--field", "v", "--yes"};
  Result r = Norvale(QStringList{"convert", "-h", d.server, "-P", d.port, "-u", user, "--password=" + password, "-D",
                                 db_->Name(), "--mode", "upper"} + field);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM t"), QStringList({"ÉLAN"}));
  // The same login from an option file, its values quoted as the client reads them.
  QFile my(home_.path() + "/.my.cnf");
  ASSERT_TRUE(my.open(QIODevice::WriteOnly));
  my.write(QStringLiteral("[client]\nhost=%1\nport=%2\nuser=\"%3\"\npassword=\"%4\"\ndatabase=%5\n")
               .arg(d.server, d.port, user, password, db_->Name())
               .toUtf8());
  my.close();
  r = Norvale(QStringList{"convert", "--mode", "lower"} + field);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM t"), QStringList({"élan"}));
  // A password the driver would trim is refused, naming why.
  r = Norvale(QStringList{"convert", "--password= spaced", "--mode", "upper"} + field);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("password begins or ends with a space")) << r.err.toStdString();
  db_->Exec(QStringLiteral("DROP USER %1@'%'").arg(literal(user)));
}

TEST_F(CommandLineTest, TlsDemandsOfOptionFilesAndTheCommandLineAreHonouredOrRefusedByName) {
  PrivateServer server(PrivateServer::Tls::Offered);
  TestDatabase tlsDb(server.Details());
  tlsDb.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20))", "INSERT INTO t VALUES (1, 'ünï')"});
  const MySQL::ConnectionDetails d = tlsDb.Details();
  const QStringList convert{"convert", "-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password, "-D", d.database,
                            "--table", "t", "--field", "v", "--yes"};
  const auto options = [&](const QString& text) {
    QFile my(home_.path() + "/.my.cnf");
    ASSERT_TRUE(my.open(QIODevice::WriteOnly));
    my.write(text.toUtf8());
  };
  const auto stored = [&] { return tlsDb.Values("SELECT v FROM t"); };
  const struct {
    QString file;
    int status;
    const char* says;
  } cases[] = {
      // The self-signed certificate is checked, and fails, as the DBA asked.
      {"[client]\nssl-verify-server-cert\n", 2, "certificate"},
      {"[client]\nssl-ca=/nonexistent.pem\n", 2, "ssl-ca=/nonexistent.pem cannot be read"},
      {"[client-server]\nssl-mode=sometimes\n", 2, "ssl-mode=sometimes is no mode"},
      {"[client]\nssl-fp=AA:BB\n", 2, "ssl-fp bears on the connection's security"},
      {"[client]\nskip-ssl\nssl-ca=" + server.CertificateFile() + "\n", 2, "no TLS and for TLS at once"},
      {"[mysqld]\nssl-ca=/nonexistent.pem\n[mysql]\nssl-fp=AA\n", 0, ""},  // not the client's groups
  };
  for (const auto& c : cases) {
    options(c.file);
    const Result r = Norvale(convert + QStringList{"--mode", "lower"});
    EXPECT_EQ(r.status, c.status) << c.file.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << c.says << " not in " << r.err.toStdString();
  }
  EXPECT_EQ(stored(), QStringList({"ünï"}));
  // With the certificate's authority named, the check passes.
  options("[client-mariadb]\nssl-verify-server-cert\nssl-ca=" + server.CertificateFile() + "\n");
  Result r = Norvale(convert + QStringList{"--mode", "upper"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(stored(), QStringList({"ÜNÏ"}));
  // The same from the command line, where the file says nothing.
  options("");
  r = Norvale(convert + QStringList{"--mode", "lower", "--ssl-mode", "VERIFY_IDENTITY", "--ssl-ca", server.CertificateFile()});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(stored(), QStringList({"ünï"}));
  // A server without TLS: REQUIRED refuses it before anything is read;
  // DISABLED connects in plain text.
  const QStringList plain = QStringList{"convert"} + Connection() + QStringList{"--table", "nothing", "--field", "v", "--mode", "upper", "--yes"};
  r = Norvale(plain + QStringList{"--ssl-mode=REQUIRED"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("offers no TLS")) << r.err.toStdString();
  r = Norvale(plain + QStringList{"--ssl-mode=disabled"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("nothing")) << r.err.toStdString();  // the table is missing: it connected
}

TEST_F(CommandLineTest, LocalhostAndSocketConnectThroughTheSocketAsTheMysqlClientDoes) {
  const QString socket = qEnvironmentVariable("NORVALE_TEST_SOCKET");
  ASSERT_FALSE(socket.isEmpty()) << "scripts/test-db exports NORVALE_TEST_SOCKET";
  // Who changed each row, as the server saw the login.
  db_->Exec({"CREATE TABLE s (id INT PRIMARY KEY, v VARCHAR(20), who VARCHAR(100))",
             "INSERT INTO s (id, v) VALUES (1, 'ünï')",
             "CREATE TRIGGER s_who BEFORE UPDATE ON s FOR EACH ROW SET NEW.who = USER()"});
  const MySQL::ConnectionDetails d = db_->Details();
  const QStringList login{"-u", d.user, "-p" + d.password, "-D", d.database, "--table", "s", "--field", "v", "--yes"};
  const auto who = [&] { return db_->Values("SELECT CONCAT(v, ' ', SUBSTRING_INDEX(who, '@', -1)) FROM s"); };
  Result r = Norvale(QStringList{"convert", "-h", "localhost", "-S", socket, "--mode", "upper"} + login);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(who(), QStringList({"ÜNÏ localhost"}));
  // No host at all is localhost; the socket from the option file.
  QFile my(home_.path() + "/.my.cnf");
  ASSERT_TRUE(my.open(QIODevice::WriteOnly));
  my.write(("[client]\nsocket=" + socket + "\n").toUtf8());
  my.close();
  r = Norvale(QStringList{"convert", "--mode", "lower"} + login);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(who(), QStringList({"ünï localhost"}));
  // TCP where asked for; a socket that is not there is named; a protocol
  // Norvale cannot use is refused by name.
  r = Norvale(QStringList{"convert", "-h", d.server, "-P", d.port, "--protocol=tcp", "--mode", "upper"} + login);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(who(), QStringList({"ÜNÏ " + d.server}));
  r = Norvale(QStringList{"convert", "-S", "/nonexistent/mysqld.sock", "--mode", "lower"} + login);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("/nonexistent/mysqld.sock")) << r.err.toStdString();
  r = Norvale(QStringList{"convert", "--protocol=PIPE", "--mode", "lower"} + login);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("protocol=PIPE")) << r.err.toStdString();
  // One server however it is reached: the runs made through the socket are
  // taken back through TCP, newest first, and history names them by id.
  const QStringList overTcp = QStringList{"-h", d.server, "-P", d.port} + login;
  for (const char* expected : {"ünï", "ÜNÏ", "ünï"}) {
    r = Norvale(QStringList{"undo"} + overTcp);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(db_->Values("SELECT v FROM s"), QStringList({QString::fromUtf8(expected)}));
  }
  r = Norvale(QStringList{"undo"} + overTcp);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("there is no run")) << r.err.toStdString();
}

TEST_F(CommandLineTest, ALoginPathFromTheLoginFileConnectsAndOneThatIsNotThereIsRefused) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20))", "INSERT INTO t VALUES (1, 'ωμέγα élan')"});
  const MySQL::ConnectionDetails d = db_->Details();
  const QString path = home_.path() + "/.mylogin.cnf";
  const auto write = [&](const QStringList& lines, QFile::Permissions mode) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(LoginFile(lines));
    file.close();
    file.setPermissions(mode);
  };
  const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
  // [client] of the login file is read without --login-path; a login path
  // adds its own group, read last. Values are quoted as the editor writes them.
  write({"[client]", "user = \"" + d.user + "\"", "password = \"" + d.password + "\"", "[shop]", "host = \"" + d.server + "\"",
         "port = " + d.port, "database = \"" + d.database + "\""},
        ownerOnly);
  const QStringList field{"--table", "t", "--field", "v", "--yes"};
  Result r = Norvale(QStringList{"convert", "--login-path=shop", "--no-defaults", "--mode", "upper"} + field);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM t"), QStringList({"ΩΜΈΓΑ ÉLAN"}));
  r = Norvale(QStringList{"convert", "-h", d.server, "-P", d.port, "-D", d.database, "--mode", "lower"} + field);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  // A login path no file holds is refused rather than guessed.
  r = Norvale(QStringList{"convert", "--login-path=nowhere", "--mode", "upper"} + field);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("login path nowhere")) << r.err.toStdString();
  // A login file others can read is passed over, as the client passes it over.
  write({"[client]", "password = \"" + d.password + "\""}, ownerOnly | QFile::ReadGroup | QFile::ReadOther);
  r = Norvale(QStringList{"convert", "-h", d.server, "-P", d.port, "-u", d.user, "-D", d.database, "--mode", "upper"} + field);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("can be read or written by others")) << r.err.toStdString();
  // A login path it holds is not said to be missing from it: it was not read.
  write({"[shop]", "password = \"" + d.password + "\""}, ownerOnly | QFile::ReadGroup | QFile::ReadOther);
  r = Norvale(QStringList{"convert", "--login-path=shop", "--no-defaults", "--mode", "upper"} + field);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("was passed over, so it was not looked for there")) << r.err.toStdString();
  EXPECT_FALSE(r.err.contains("has none of that name")) << r.err.toStdString();
  // One that is not a login file at all says so.
  QFile garbage(path);
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly | QIODevice::Truncate));
  garbage.write("[client]\npassword=plain-text-secret\n");
  garbage.close();
  garbage.setPermissions(ownerOnly);
  EXPECT_FALSE(CommandLine::DecryptLoginFile("[client]\npassword=plain-text-secret\n"));
  r = Norvale(QStringList{"convert", "--login-path=shop", "--mode", "upper"} + field);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("not one mysql_config_editor writes")) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM t"), QStringList({"ωμέγα élan"}));
}

// A relay between the program and the server, in a process of its own, so
// that stopping it stalls every connection through it as a network would.
class Relay {
 public:
  explicit Relay(const MySQL::ConnectionDetails& d) {
    process_.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(kScript), d.server, d.port});
    if (process_.waitForReadyRead(10000)) port_ = QString::fromLatin1(process_.readLine()).trimmed();
  }
  ~Relay() {
    process_.kill();
    process_.waitForFinished();
  }
  const QString& Port() const { return port_; }
  void Stop() { SignalChild(process_, SIGSTOP); }

 private:
  static constexpr const char* kScript = R"(
import socket, sys, threading
up = (sys.argv[1], int(sys.argv[2]))
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
print(s.getsockname()[1], flush=True)
def pipe(a, b):
    try:
        while True:
            d = a.recv(65536)
            if not d: break
            b.sendall(d)
    except OSError: pass
    for x in (a, b):
        try: x.shutdown(socket.SHUT_RDWR)
        except OSError: pass
while True:
    c, _ = s.accept(); u = socket.create_connection(up)
    for a, b in ((c, u), (u, c)): threading.Thread(target=pipe, args=(a, b), daemon=True).start()
)";
  QProcess process_;
  QString port_;
};

TEST_F(CommandLineTest, AStalledConnectionEndsWithinItsBoundAndALongStatementDoesNot) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(60))",
             "INSERT INTO t SELECT seq, CONCAT(ELT(1 + seq % 4, 'straße', 'ΟΔΥΣΣΕΥΣ', 'пётр', 'ıstanbul'), ' ', seq) "
             "FROM seq_1_to_60000"});
  const auto digest = [&] { return db_->Values("SELECT MD5(GROUP_CONCAT(HEX(v) ORDER BY id)) FROM t"); };
  const QStringList before = digest();
  const MySQL::ConnectionDetails d = db_->Details();
  const QStringList login{"-u", d.user, "-p" + d.password, "-D", d.database, "--table", "t", "--field", "v", "--yes"};
  {
    // A statement that waits long for a lock is not a stall: the server is
    // at work on it.
    Relay relay(d);
    ASSERT_FALSE(relay.Port().isEmpty());
    auto holder = MySQL::OpenConnection(d, MySQL::ProbeOptions);
    holder->Execute("LOCK TABLES t WRITE");
    QProcess run;
    Start(run, QStringList{"convert", "-h", d.server, "-P", relay.Port(), "--net-timeout", "1", "--mode", "upper"} + login);
    QThread::sleep(4);
    holder->Execute("UNLOCK TABLES");
    ASSERT_TRUE(run.waitForFinished(300000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE BINARY v = BINARY UPPER(v)"), QStringList({"60000"}));
    EXPECT_EQ(Norvale(QStringList{"undo", "-h", d.server, "-P", d.port} + login).status, 0);
    EXPECT_EQ(digest(), before);
  }
  // The relay stops mid-run: the run ends within the bound (and the
  // second connection's bound), says why, and undo takes back exactly what
  // the server committed.
  const auto upper = [&] { return db_->Values("SELECT COUNT(*) FROM t WHERE BINARY v = BINARY UPPER(v)"); };
  const QStringList upperBefore = upper();
  auto relay = std::make_unique<Relay>(d);
  QProcess run;
  Start(run, QStringList{"convert", "-h", d.server, "-P", relay->Port(), "--net-timeout", "2", "--mode", "upper"} + login);
  QElapsedTimer waited;
  waited.start();
  while (upper() == upperBefore && waited.elapsed() < 120000)
    QThread::msleep(50);
  relay->Stop();
  ASSERT_TRUE(run.waitForFinished(120000)) << "the run still waits on a stalled connection";
  const QString err = QString::fromUtf8(run.readAllStandardError());
  EXPECT_EQ(run.exitCode(), 2) << err.toStdString();
  EXPECT_TRUE(err.contains("No byte moved between Norvale and the server for 2 seconds")) << err.toStdString();
  relay.reset();  // the server sees the connection go, and takes back its open transaction
  const Result undo = Norvale(QStringList{"undo", "-h", d.server, "-P", d.port} + login);
  EXPECT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_EQ(digest(), before);
  // Bad bounds are refused.
  const Result bad = Norvale(QStringList{"convert", "--net-timeout", "soon", "--mode", "upper"} + Connection() + login);
  EXPECT_EQ(bad.status, 64);
  EXPECT_TRUE(bad.err.contains("--net-timeout takes whole seconds")) << bad.err.toStdString();
}

TEST_F(CommandLineTest, AWordListAndMixedCaseValuesKeepWhatTheUserSpelt) {
  db_->Exec({"CREATE TABLE c (id INT PRIMARY KEY, v VARCHAR(60) CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci)",
             "INSERT INTO c VALUES (1, 'JOHN SMITH, PHD'), (2, 'DeShawn McDonald'), (3, 'THE IPHONE STORE'), "
             "(4, 'ACME LLC'), (5, 'ibm europe gmbh'), (6, 'ΒΑΣΊΛΗΣ ΜΑΚΡΉΣ'), (7, 'ვლადიმერ ჯაფარიძე'), (8, NULL)"});
  QFile list(home_.path() + "/words.txt");
  ASSERT_TRUE(list.open(QIODevice::WriteOnly));
  list.write("# our customers' words\nLLC\nIBM\niPhone\nGmbH\n");
  list.close();
  const QStringList run = QStringList{"convert"} + Connection() +
                          QStringList{"--table", "c", "--field", "v", "--mode", "name", "--words", list.fileName(), "--keep-mixed"};
  // The dry run counts the value it keeps for its mixed case.
  Result r = Norvale(run + QStringList{"--dry-run", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  QJsonObject totals = OneRun(r);
  EXPECT_EQ(totals.value("kept_mixed").toInt(), 1);
  EXPECT_EQ(totals.value("changed").toInt(), 5);  // the Georgian name is right as it is
  r = Norvale(run + QStringList{"--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("1 kept in mixed case")) << r.out.toStdString();
  EXPECT_EQ(db_->Values("SELECT IFNULL(v, 'NULL') FROM c ORDER BY id"),
            QStringList({"John Smith, PhD", "DeShawn McDonald", "The iPhone Store", "Acme LLC", "IBM Europe GmbH",
                         "Βασίλησ Μακρήσ", "ვლადიმერ ჯაფარიძე", "NULL"}));
  // History names the list by its contents' hash.
  r = Norvale({"history", "--json"});
  const QString hash = Json(r).value("runs").toArray().at(0).toObject().value("words").toString();
  EXPECT_EQ(hash.size(), 16) << r.out.toStdString();
  EXPECT_TRUE(Norvale({"history"}).out.contains("words " + hash));
  // The window's list, beside its settings, is read when none is named;
  // without the flag, mixed-case values are re-cased.
  ASSERT_TRUE(QDir().mkpath(home_.path() + "/config"));
  ASSERT_TRUE(QFile::copy(list.fileName(), home_.path() + "/config/words.txt"));
  r = Norvale(QStringList{"convert"} + Connection() + QStringList{"--table", "c", "--field", "v", "--mode", "proper", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT v FROM c WHERE id IN (2, 3) ORDER BY id"), QStringList({"Deshawn Mcdonald", "The iPhone Store"}));
  // A list named that is not there stops before anything is read.
  r = Norvale(QStringList{"convert"} + Connection() +
              QStringList{"--table", "c", "--field", "v", "--mode", "proper", "--yes", "--words", "/nonexistent/words.txt"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("/nonexistent/words.txt")) << r.err.toStdString();
}

TEST(Condition, OnlyOneExpressionPasses) {
  const struct {
    const char* where;
    bool passes;
  } rows[] = {
      {"country = 'FR'", true},
      {"name LIKE 'o''neil%' AND id BETWEEN 3 AND 9", true},
      {"note = 'a;b -- c /* d */ #e'", true},  // inside quotes, nothing counts
      {"`odd;name` = \"x\\\"y\"", true},
      {"id IN (SELECT id FROM t2 WHERE (a - -1) > 0)", true},
      {"1; DROP TABLE t", false},
      {"1 -- the rest", false},
      {"1 --", false},
      {"1 # the rest", false},
      {"1 /* hides */", false},
      {"1 /*! executed */", false},
      {"1) OR (1", false},
      {"(1", false},
      {"note = 'open", false},
      {"   ", false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(!Rewrite::ConditionFault(QString::fromUtf8(row.where)).has_value(), row.passes) << row.where;
}

TEST_F(CommandLineTest, AConditionConvertsOnlyItsRowsWithAndWithoutAKeyAndUndoRestoresThem) {
  db_->Exec({"CREATE TABLE t (country CHAR(2), id INT, v VARCHAR(40), PRIMARY KEY (country, id))",
             "INSERT INTO t VALUES ('FR', 1, 'élodie durand'), ('DE', 1, 'jürgen groß'), ('FR', 2, 'o''neil'), "
             "('GR', 1, 'γιώργος'), ('DE', 2, 'élodie durand'), ('FR', 3, NULL)",
             "CREATE TABLE k (country CHAR(2), v VARCHAR(40))",
             "INSERT INTO k VALUES ('FR', 'anna smith'), ('DE', 'anna smith'), ('FR', 'zoë'), ('DE', 'zoë')"});
  const QStringList before = Hex("t", "v");
  const auto run = [&](const QString& table, const QString& where, const QStringList& more) {
    return Norvale(QStringList{"convert"} + Connection() +
                   QStringList{"--table", table, "--field", "v", "--mode", "name", "--where", where} + more);
  };
  // The dry run counts only the rows the condition picks.
  Result r = run("t", "country = 'FR'", {"--dry-run", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("read").toInt(), 3);
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 2);
  r = run("t", "country = 'FR'", {"--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT CONCAT(country, id, ' ', IFNULL(v, 'NULL')) FROM t ORDER BY country, id"),
            QStringList({"DE1 jürgen groß", "DE2 élodie durand", "FR1 Élodie Durand", "FR2 O'Neil", "FR3 NULL",
                         "GR1 γιώργος"}));
  r = Norvale({"history"});
  EXPECT_TRUE(r.out.contains("where country = 'FR'")) << r.out.toStdString();
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "t", "--field", "v", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Hex("t", "v"), before);
  // Without a key the same value outside the condition stays as it is.
  r = run("k", "country = 'DE'", {"--yes"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT CONCAT(country, ' ', v) FROM k ORDER BY country, v"),
            QStringList({"DE Anna Smith", "DE Zoë", "FR anna smith", "FR zoë"}));
  // More than one expression is refused as usage, and nothing is sent.
  for (const char* bad : {"1; UPDATE t SET v = 'x'", "1 -- x", "1) OR (1", "country = 'FR' ORDER BY id",
                          "country = 'FR' LIMIT 1"}) {
    r = run("t", QString::fromUtf8(bad), {"--yes"});
    EXPECT_EQ(r.status, 64) << bad << ": " << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("--where")) << r.err.toStdString();
  }
  EXPECT_EQ(Hex("t", "v"), before);
}

TEST_F(CommandLineTest, ARunWaitsForABusyServerAndThePauseFileAndEndsOverTheCriticalLoad) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, CONCAT(ELT(1 + seq % 3, 'ΟΔΥΣΣΕΥΣ', 'jürgen groß', 'o''neil'), ' ', seq) "
             "FROM seq_1_to_3000"});
  const QStringList before = Hex("t", "v");
  const QStringList convert =
      QStringList{"convert"} + Connection() + QStringList{"--table", "t", "--field", "v", "--mode", "name", "--yes", "--json"};
  const auto changed = [&] { return db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'Jürgen%'").value(0); };
  // Sessions that keep the server's running threads up for a while.
  const auto busy = [&](int sessions, int seconds) {
    std::vector<std::thread> held;
    for (int i = 0; i < sessions; ++i)
      held.emplace_back([d = db_->Details(), seconds] {
        auto c = MySQL::OpenConnection(d, MySQL::ProbeOptions);
        c->Execute(QStringLiteral("SELECT SLEEP(%1)").arg(seconds));
      });
    return held;
  };
  {
    // The pause file holds the run back until it goes.
    const QString pause = home_.path() + "/pause";
    QFile(pause).open(QIODevice::WriteOnly);
    QProcess run;
    Start(run, convert + QStringList{"--pause-file", pause});
    EXPECT_TRUE(ErrUntil(run, "waiting: the pause file").contains("waiting: the pause file")) << "no word of the wait";
    EXPECT_EQ(changed(), "0");
    QFile::remove(pause);
    ASSERT_TRUE(run.waitForFinished(120000));
    EXPECT_EQ(run.exitCode(), 0);
    const QJsonObject one = QJsonDocument::fromJson(run.readAllStandardOutput()).object().value("runs").toArray()[0].toObject();
    EXPECT_EQ(one.value("waited_for").toArray(), QJsonArray({"pause file"}));
    EXPECT_GT(one.value("waited_seconds").toDouble(), 0.0);
    EXPECT_EQ(changed(), "1000");
  }
  EXPECT_EQ(Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"}).status, 0);
  EXPECT_EQ(Hex("t", "v"), before);
  {
    // Ctrl+C while it waits: the group in hand never goes.
    const QString pause = home_.path() + "/pause";
    QFile(pause).open(QIODevice::WriteOnly);
    QProcess run;
    Start(run, convert + QStringList{"--pause-file", pause});
    ErrUntil(run, "waiting: the pause file");
    SignalChild(run, SIGINT);
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitCode(), 130);
    EXPECT_EQ(Hex("t", "v"), before);
    QFile::remove(pause);
  }
  {
    // A bound on a variable the server does not have is refused, naming it.
    const Result r = Norvale(convert + QStringList{"--max-load", "Threads_runing=5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("no status variable Threads_runing")) << r.err.toStdString();
    EXPECT_EQ(Hex("t", "v"), before);
  }
  {
    // Over the bound the run waits for the sleeping sessions, then finishes.
    std::vector<std::thread> held = busy(3, 4);
    QThread::msleep(500);
    const Result r = Norvale(convert + QStringList{"--max-load", "Threads_running=2", "--critical-load", "Threads_running=60"});
    for (std::thread& t : held) t.join();
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(OneRun(r).value("waited_for").toArray(), QJsonArray({"Threads_running"}));
    EXPECT_TRUE(r.err.contains("waiting: Threads_running is")) << r.err.toStdString();
    EXPECT_EQ(changed(), "1000");
  }
  EXPECT_EQ(Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"}).status, 0);
  {
    // Over the critical bound it ends early, saying why; undo takes back
    // what went.
    std::vector<std::thread> held = busy(3, 3);
    QThread::msleep(500);
    const Result r = Norvale(convert + QStringList{"--critical-load", "Threads_running=2"});
    for (std::thread& t : held) t.join();
    EXPECT_EQ(r.status, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("over the critical bound 2")) << r.err.toStdString();
    // Once the server is quiet again, --resume finishes it as the same run.
    const Result resumed = Norvale(convert + QStringList{"--resume"});
    EXPECT_EQ(resumed.status, 0) << resumed.err.toStdString();
    EXPECT_EQ(changed(), "1000");
    EXPECT_EQ(Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("rows").toInt(), 3000);
    Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  }
  EXPECT_EQ(Hex("t", "v"), before);
  EXPECT_EQ(Norvale(convert + QStringList{"--max-load", "Threads_running"}).status, 64);
}

TEST_F(CommandLineTest, ARunWaitsWhileAReplicaDoesNotApplyAndTheReplicaEndsExact) {
  PrivateReplicaPair servers("ROW");
  TestDatabase db(servers.Primary());
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
           "INSERT INTO t SELECT seq, CONCAT(ELT(1 + seq % 3, 'ΟΔΥΣΣΕΥΣ', 'jürgen groß', 'o''neil'), ' ', seq) "
           "FROM seq_1_to_300000"});
  ASSERT_TRUE(servers.CatchUp());
  const MySQL::ConnectionDetails d = db.Details();
  const QStringList convert{"convert", "-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password, "-D", d.database,
                            "--table", "t", "--field", "v", "--mode", "upper", "--yes", "--json"};
  // A replica that cannot be reached stops the run before anything is sent.
  Result r = Norvale(convert + QStringList{"--replica", "127.0.0.1:1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("127.0.0.1:1 cannot be reached") && r.err.contains("--max-lag 0")) << r.err.toStdString();
  const auto converted = [&] { return db.Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'").value(0).toInt(); };
  EXPECT_EQ(converted(), 0);
  // The replica's applier stops once the run has begun to send: the run
  // waits, says why, and goes on once it runs again. (The run is held at
  // the pause file meanwhile, once a row lock another session holds has
  // kept it at its first groups.)
  const MySQL::ConnectionDetails replica = servers.Replica(d.database);
  const QString pause = home_.path() + "/pause";
  QProcess run;
  QByteArray err = PausedMidway(run, "t", "id = 20000", pause, convert, d);
  EXPECT_GT(converted(), 0);
  Sql(replica, {"STOP SLAVE SQL_THREAD"});
  QFile::remove(pause);
  err += ErrUntil(run, "waiting: the replica");
  EXPECT_TRUE(err.contains("waiting: the replica " + d.server.toUtf8() + ":")) << err.toStdString();
  EXPECT_EQ(run.state(), QProcess::Running) << "the run went on while the replica applied nothing";
  // Nothing more goes until it applies again: the run says it still waits
  // (every ten seconds), and no row changed meanwhile.
  const int whileStopped = converted();
  EXPECT_LT(whileStopped, 100000);  // long before the end
  ErrUntil(run, "waiting: the replica");
  EXPECT_EQ(converted(), whileStopped);
  Sql(replica, {"START SLAVE SQL_THREAD"});
  ASSERT_TRUE(run.waitForFinished(300000));
  EXPECT_EQ(run.exitCode(), 0) << (err + run.readAllStandardError()).toStdString();
  const QJsonObject one = QJsonDocument::fromJson(run.readAllStandardOutput()).object().value("runs").toArray()[0].toObject();
  EXPECT_TRUE(one.value("waited_for").toArray().contains("replica lag"));
  ASSERT_TRUE(servers.CatchUp());
  const QString query = "SELECT MD5(GROUP_CONCAT(id, ':', HEX(v) ORDER BY id)) FROM t";
  EXPECT_EQ(Column(replica, query), Column(d, query));
  EXPECT_EQ(converted(), 100000);
}

}  // namespace
