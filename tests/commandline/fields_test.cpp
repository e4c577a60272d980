// Several fields of a table in one run: read once, each in its own mode,
// changed a row at a time, counted field by field, and taken back by one
// undo. Rows are checked by their bytes.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QThread>
#include <csignal>

#include "caserules/case.h"
#include "tests/commandline/fixture.h"

namespace {

struct Column {
  const char* name;
  Case::CaseMode mode;
  QStringConverter::Encoding encoding;  // of the column's character set
};
// A customer table: a name, a city in latin1, an e-mail address.
const Column kColumns[] = {{"name", Case::CaseMode::CaseName, QStringConverter::Utf8},
                           {"city", Case::CaseMode::CaseProper, QStringConverter::Latin1},
                           {"email", Case::CaseMode::CaseLower, QStringConverter::Utf8}};

class FieldsTest : public CommandLineTest {
 protected:
  // `rows` customers under a key of two columns; values the modes change,
  // values already in their case, and NULLs.
  // Under an INT key (`intKey_`), rows whose keys lie close together go a
  // group at a time by the key's range, where the server's LOWER() writes
  // the e-mail addresses and the other fields' values ride in the statement;
  // under the two columns' key, by the pair table.
  void MakeCustomers(int rows) {
    const QString columns = "region INT NOT NULL, code VARCHAR(12) NOT NULL, name VARCHAR(80) CHARACTER SET utf8mb4, "
                            "city VARCHAR(60) CHARACTER SET latin1, email VARCHAR(80) CHARACTER SET utf8mb4";
    db_->Exec({intKey_ ? "CREATE TABLE cust (id INT AUTO_INCREMENT PRIMARY KEY, " + columns + ", UNIQUE (region, code))"
                       : "CREATE TABLE cust (" + columns + ", PRIMARY KEY (region, code))",
               QStringLiteral("INSERT INTO cust (region, code, name, city, email) SELECT seq % 7, CONCAT('c', seq), "
                              "ELT(1 + seq % 6, 'mary o''neil', 'JEAN-LUC mcdonald', 'ΟΔΥΣΣΕΥΣ ελύτης', 'ǆemal İZMİR', "
                              "'Ann Smith', NULL), ELT(1 + seq % 5, 'NEW YORK', 'straße de l''église', 'Zürich', "
                              "'c:\\\\dir', NULL), ELT(1 + seq % 4, 'Mary@Example.COM', 'x@y.org', 'ÜBER@Straße.DE', "
                              "IF(seq % 1000 = 3, 'İSTANBUL@ǅ.TR', NULL)) FROM seq_1_to_%1")
                   .arg(rows)});
  }
  bool intKey_ = false;

  void OnePassAndOneUndo();
  void AnotherWriter();
  void InterruptedAndResumed();

  static QString Order() { return QStringLiteral(" FROM cust ORDER BY region, code"); }

  // Each field's bytes in key order.
  QList<QStringList> Bytes() const {
    QList<QStringList> all;
    for (const Column& c : kColumns)
      all << db_->Values(QStringLiteral("SELECT IFNULL(HEX(%1), 'NULL')").arg(c.name) + Order());
    return all;
  }

  // What each field's bytes become in its mode, and how many change.
  static QList<QStringList> Converted(const QList<QStringList>& before, int changes[3]) {
    QList<QStringList> after;
    for (int f = 0; f < 3; ++f) {
      QStringList column;
      changes[f] = 0;
      for (const QString& hex : before[f]) {
        if (hex == QLatin1String("NULL")) {
          column << hex;
          continue;
        }
        QStringDecoder decode(kColumns[f].encoding);
        QStringEncoder encode(kColumns[f].encoding);
        const QString text = decode(QByteArray::fromHex(hex.toLatin1()));
        const QByteArray bytes = encode(Case::ConvertCase(kColumns[f].mode, text));
        const QString now = QString::fromLatin1(bytes.toHex().toUpper());
        if (now != hex) ++changes[f];
        column << now;
      }
      after << column;
    }
    return after;
  }

  QStringList Convert() const {
    return QStringList{"convert"} + Connection() +
           QStringList{"--table", "cust", "--field", "name:name", "--field", "city:proper", "--field", "email:lower",
                       "--yes", "--json"};
  }

  static QJsonObject FieldOf(const QJsonObject& run, int f) { return run.value("fields").toArray().at(f).toObject(); }
};

void FieldsTest::OnePassAndOneUndo() {
  MakeCustomers(2500);
  const QList<QStringList> before = Bytes();
  int changes[3];
  const QList<QStringList> expected = Converted(before, changes);
  // Groups of a thousand rows, so that several joins go.
  const Result run = Norvale(Convert() + QStringList{"--chunk-time", "0"});
  ASSERT_EQ(run.status, 0) << run.err.toStdString();
  EXPECT_EQ(Bytes(), expected);
  const QJsonObject one = OneRun(run);
  EXPECT_EQ(Json(run).value("runs").toArray().size(), 1);
  EXPECT_EQ(one.value("read").toInt(), 2500);
  EXPECT_EQ(one.value("mode").toString(), "name: Name Case, city: Proper Case, email: lower case");
  for (int f = 0; f < 3; ++f) {
    const QJsonObject field = FieldOf(one, f);
    EXPECT_EQ(field.value("field").toString(), kColumns[f].name);
    EXPECT_EQ(field.value("read").toInt(), 2500);
    EXPECT_EQ(field.value("changed").toInt(), changes[f]) << kColumns[f].name;
    EXPECT_EQ(field.value("unchanged").toInt(), 2500 - changes[f]) << kColumns[f].name;
    EXPECT_EQ(field.value("not_changed").toInt(), 0);
  }

  // One run in the history, with its fields.
  const QJsonArray runs = Json(Norvale({"history", "--json"})).value("runs").toArray();
  ASSERT_EQ(runs.size(), 1);
  EXPECT_EQ(runs[0].toObject().value("fields").toArray(), QJsonArray({"name", "city", "email"}));
  EXPECT_EQ(runs[0].toObject().value("rows").toInt(), changes[0] + changes[1] + changes[2]);
  EXPECT_TRUE(Norvale({"history"}).out.contains(QStringLiteral("%1.cust.{name, city, email}").arg(db_->Name())));

  // Any of its fields names it; one undo restores every field's bytes.
  const Result undo =
      Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "cust", "--field", "email", "--yes", "--json"});
  ASSERT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_EQ(Json(undo).value("restored").toInt(), changes[0] + changes[1] + changes[2]);
  EXPECT_EQ(Bytes(), before);
}

void FieldsTest::AnotherWriter() {
  MakeCustomers(2000);
  const QList<QStringList> before = Bytes();
  int changes[3];
  const QList<QStringList> expected = Converted(before, changes);
  // The run reads and journals its first group, then waits on the pause
  // file; meanwhile another client rewrites the city of rows it has read.
  const QString pause = home_.path() + "/pause";
  QFile(pause).open(QIODevice::WriteOnly);
  QProcess process;
  Start(process, Convert() + QStringList{"--chunk-time", "0", "--pause-file", pause});
  const QByteArray said = ErrUntil(process, "waiting");
  ASSERT_TRUE(said.contains("waiting")) << said.toStdString();
  const QString touched = "region = 1 AND city IS NOT NULL AND city <> 'Zürich' AND code IN (SELECT code FROM (SELECT "
                          "code FROM cust WHERE region = 1 ORDER BY code LIMIT 100) AS picked)";
  const int written = db_->Values("SELECT COUNT(*) FROM cust WHERE " + touched).value(0).toInt();
  ASSERT_GT(written, 0);
  db_->Exec("UPDATE cust SET city = 'written by another client' WHERE " + touched);
  QFile::remove(pause);
  ASSERT_TRUE(process.waitForFinished(120000));
  const Result run{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                   QString::fromUtf8(process.readAllStandardError())};
  EXPECT_EQ(run.status, 1) << run.err.toStdString();  // some left
  const QJsonObject one = OneRun(run);
  // The other fields of those rows were changed all the same.
  EXPECT_EQ(FieldOf(one, 0).value("changed").toInt(), changes[0]);
  EXPECT_EQ(FieldOf(one, 2).value("changed").toInt(), changes[2]);
  EXPECT_EQ(FieldOf(one, 1).value("changed").toInt(), changes[1] - written);
  EXPECT_EQ(FieldOf(one, 1).value("changed_since").toInt(), written);
  EXPECT_EQ(FieldOf(one, 0).value("not_changed").toInt(), 0);
  EXPECT_TRUE(run.err.contains(QStringLiteral("%1.cust.city: %2 rows were sent but not changed").arg(db_->Name()).arg(written)))
      << run.err.toStdString();
  const QList<QStringList> now = Bytes();
  EXPECT_EQ(now[0], expected[0]);
  EXPECT_EQ(now[2], expected[2]);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM cust WHERE city = 'written by another client'").value(0).toInt(), written);
  // The table's own count of what changed agrees with the run's.
  int cities = 0;
  for (int i = 0; i < now[1].size(); ++i) cities += now[1][i] != before[1][i] ? 1 : 0;
  EXPECT_EQ(cities - written, FieldOf(one, 1).value("changed").toInt());

  // After the run the client rewrites e-mail addresses the run changed.
  const QString later = "region = 2 AND BINARY email IN ('mary@example.com', 'über@straße.de')";
  const int rewritten = db_->Values("SELECT COUNT(*) FROM cust WHERE " + later).value(0).toInt();
  ASSERT_GT(rewritten, 0);
  db_->Exec("UPDATE cust SET email = 'later@client' WHERE " + later);
  // Undo restores the rest, counts what it left by field, and leaves the
  // other client's values.
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(undo.status, 1) << undo.err.toStdString();
  EXPECT_EQ(Json(undo).value("left").toInt(), rewritten) << "the written cities were never the run's";
  EXPECT_EQ(Json(undo).value("left_by_field").toObject(),
            QJsonObject({{"name", 0}, {"city", 0}, {"email", rewritten}}));
  EXPECT_TRUE(undo.err.contains(QStringLiteral("(name 0, city 0, email %1)").arg(rewritten))) << undo.err.toStdString();
  EXPECT_EQ(Bytes()[0], before[0]);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM cust WHERE city = 'written by another client'").value(0).toInt(), written);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM cust WHERE email = 'later@client'").value(0).toInt(), rewritten);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM cust WHERE BINARY email <> 'later@client' AND BINARY email IN "
                        "('mary@example.com', 'über@straße.de')")
                .value(0)
                .toInt(),
            0);
}

void FieldsTest::InterruptedAndResumed() {
  MakeCustomers(300000);
  const QList<QStringList> before = Bytes();
  int changes[3];
  const QList<QStringList> expected = Converted(before, changes);
  QProcess process;
  Start(process, Convert());
  const auto settledSoFar = [&] {
    return Json(Norvale({"history", "--json"})).value("runs").toArray().at(0).toObject().value("next_record").toInt();
  };
  while (settledSoFar() <= 1 && process.state() == QProcess::Running) QThread::msleep(20);
  SignalChild(process, SIGINT);
  ASSERT_TRUE(process.waitForFinished(120000));
  ASSERT_EQ(process.exitCode(), 130) << process.readAllStandardError().toStdString();
  // Another set of modes does not continue it.
  Result r = Norvale(QStringList{"convert"} + Connection() +
                     QStringList{"--table", "cust", "--field", "name:upper", "--field", "city:proper", "--field",
                                 "email:lower", "--yes", "--resume"});
  EXPECT_EQ(r.status, 2) << r.err.toStdString();
  r = Norvale(Convert() + QStringList{"--resume"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_LT(OneRun(r).value("read").toInt(), 300000);
  EXPECT_EQ(Bytes(), expected);
  const QJsonArray runs = Json(Norvale({"history", "--json"})).value("runs").toArray();
  ASSERT_EQ(runs.size(), 1);
  EXPECT_EQ(runs[0].toObject().value("rows").toInt(), changes[0] + changes[1] + changes[2]);
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Bytes(), before);
}

TEST_F(FieldsTest, ThreeFieldsInThreeModesAndTwoCharacterSetsGoInOnePassAndOneUndoTakesThemBack) {
  OnePassAndOneUndo();
}
TEST_F(FieldsTest, UnderAnIntegerKeyThreeFieldsGoInOnePassAndOneUndoTakesThemBack) {
  intKey_ = true;
  const GlobalSetting output("log_output", "'TABLE'"), log("general_log", "1");
  const QString start = db_->Values("SELECT NOW(6)").value(0);
  OnePassAndOneUndo();
  // Its groups went as the server's LOWER() beside the other fields' values.
  EXPECT_GT(db_->Values("SELECT COUNT(*) FROM mysql.general_log WHERE event_time >= '" + start +
                        "' AND command_type = 'Execute' AND argument LIKE 'UPDATE `cust` SET `name` = "
                        "IFNULL(ELT(%`email` = LOWER(`email`)%'")
                .value(0)
                .toInt(),
            0);
}

TEST_F(FieldsTest, AnotherWriterDuringTheRunKeepsItsFieldAndEachFieldCountsWhatTheTableGot) { AnotherWriter(); }
TEST_F(FieldsTest, UnderAnIntegerKeyAnotherWriterKeepsItsFieldAndEachFieldCountsWhatTheTableGot) {
  intKey_ = true;
  AnotherWriter();
}

TEST_F(FieldsTest, AnInterruptedRunOfSeveralFieldsResumesAndOneUndoIsExact) { InterruptedAndResumed(); }
TEST_F(FieldsTest, UnderAnIntegerKeyAnInterruptedRunResumesAndOneUndoIsExact) {
  intKey_ = true;
  InterruptedAndResumed();
}

TEST_F(FieldsTest, AConditionPicksTheRowsOnceEvenWhereItNamesAFieldTheRunChanges) {
  // The condition holds for a row as read; once its a is in capitals it no
  // longer would, and its b changes all the same, in the same statement.
  db_->Exec({"CREATE TABLE w (id INT PRIMARY KEY, a VARCHAR(30) COLLATE utf8mb4_bin, b VARCHAR(30)) CHARACTER SET "
             "utf8mb4",
             "INSERT INTO w SELECT seq, IF(seq % 2, CONCAT('ann ', seq), CONCAT('bob ', seq)), CONCAT('MIXED Case ', "
             "seq) FROM seq_1_to_40"});
  const QStringList before = db_->Values("SELECT CONCAT(HEX(a), '|', HEX(b)) FROM w ORDER BY id");
  Result r = Norvale(QStringList{"convert"} + Connection() +
                     QStringList{"--table", "w", "--field", "a:upper", "--field", "b:lower", "--where", "a LIKE 'ann%'",
                                 "--yes", "--json"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("read").toInt(), 20);
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 20);
  EXPECT_EQ(FieldOf(OneRun(r), 0).value("changed").toInt(), 20);
  EXPECT_EQ(FieldOf(OneRun(r), 1).value("changed").toInt(), 20);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM w WHERE id % 2 = 1 AND a = CONCAT('ANN ', id) AND BINARY b = "
                        "CONCAT('mixed case ', id)"),
            QStringList{"20"});
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM w WHERE id % 2 = 0 AND a = CONCAT('bob ', id) AND BINARY b = "
                        "CONCAT('MIXED Case ', id)"),
            QStringList{"20"});
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT CONCAT(HEX(a), '|', HEX(b)) FROM w ORDER BY id"), before);
}

TEST_F(FieldsTest, ARefusedRowIsReportedWithItsFieldsAndALargeValueGoesWithTheRowsOtherFields) {
  // The server refuses a row whose b would hold capitals: the row's
  // statement, and both its fields with it. A value of 300 KB goes ahead of
  // its row's statement, beside the row's small one.
  db_->Exec({"CREATE TABLE r (id INT PRIMARY KEY, a MEDIUMTEXT, b VARCHAR(20), CONSTRAINT small_b CHECK (BINARY b = "
             "LOWER(b)))",
             "INSERT INTO r SELECT seq, CONCAT('row ', seq), 'bob' FROM seq_1_to_50",
             "INSERT INTO r VALUES (100, REPEAT('ab ', 100000), 'x')"});
  const QStringList before = db_->Values("SELECT CONCAT(HEX(a), '|', HEX(b)) FROM r ORDER BY id");
  Result r = Norvale(QStringList{"convert"} + Connection() +
                     QStringList{"--table", "r", "--field", "a:upper", "--field", "b:upper", "--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  const QJsonObject one = OneRun(r);
  EXPECT_EQ(one.value("changed").toInt(), 0) << "every row's b is refused, and its a with it";
  EXPECT_EQ(FieldOf(one, 0).value("refused").toInt(), 51);
  EXPECT_EQ(FieldOf(one, 1).value("refused").toInt(), 51);
  EXPECT_TRUE(r.err.contains("(`id`=7): a, b: ")) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT CONCAT(HEX(a), '|', HEX(b)) FROM r ORDER BY id"), before);
  EXPECT_EQ(Norvale({"history", "--json"}).out.count("\"id\""), 0) << "a run that changed nothing is not kept";

  db_->Exec("ALTER TABLE r DROP CONSTRAINT small_b");
  r = Norvale(QStringList{"convert"} + Connection() +
              QStringList{"--table", "r", "--field", "a:upper", "--field", "b:upper", "--yes", "--json"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM r WHERE BINARY a = UPPER(a) AND BINARY b = UPPER(b)"), QStringList{"51"});
  EXPECT_EQ(db_->Values("SELECT OCTET_LENGTH(a) FROM r WHERE id = 100"), QStringList{"300000"});
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT CONCAT(HEX(a), '|', HEX(b)) FROM r ORDER BY id"), before);
}

TEST_F(FieldsTest, ATriggerThatRewritesOneFieldIsCountedForItAndUndoClaimsOnlyWhatIsBack) {
  // Every hundredth row's b gains a mark on each update of the row.
  db_->Exec({"CREATE TABLE tr (id INT PRIMARY KEY, a VARCHAR(30), b VARCHAR(30))",
             "INSERT INTO tr SELECT seq, CONCAT('ann ', seq), CONCAT('bob ', seq) FROM seq_1_to_2500",
             "CREATE TRIGGER mark_b BEFORE UPDATE ON tr FOR EACH ROW SET NEW.b = IF(NEW.id % 100 = 0, CONCAT(NEW.b, "
             "'!'), NEW.b)"});
  Result r = Norvale(QStringList{"convert"} + Connection() +
                     QStringList{"--table", "tr", "--field", "a:upper", "--field", "b:upper", "--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  const QJsonObject one = OneRun(r);
  EXPECT_EQ(FieldOf(one, 0).value("changed").toInt(), 2500);
  EXPECT_EQ(FieldOf(one, 1).value("changed").toInt(), 2475);
  EXPECT_EQ(FieldOf(one, 1).value("stored_otherwise").toInt(), 25);
  EXPECT_EQ(FieldOf(one, 0).value("stored_otherwise").toInt(), 0);
  EXPECT_TRUE(r.err.contains("tr.b: 25 rows were stored otherwise than sent")) << r.err.toStdString();
  // Undoing a fires the trigger on b again: those b are left, and only the
  // values the table shows back are said to be restored.
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  const int back = db_->Values("SELECT SUM(BINARY a = CONCAT('ann ', id)) + SUM(BINARY b = CONCAT('bob ', id)) FROM tr")
                       .value(0)
                       .toInt();
  EXPECT_EQ(back, 4975);
  EXPECT_EQ(Json(r).value("restored").toInt(), back);
  EXPECT_EQ(Json(r).value("left").toInt(), 25);
  EXPECT_EQ(Json(r).value("left_by_field").toObject().value("b").toInt(), 25);
}

TEST_F(FieldsTest, AFieldThatCannotBeWrittenRefusesTheRunAndATableWithoutAKeyGoesAFieldAtATime) {
  db_->Exec({"CREATE TABLE g (id INT PRIMARY KEY, a VARCHAR(20), g VARCHAR(40) AS (CONCAT(a, '!')) STORED)",
             "INSERT INTO g (id, a) VALUES (1, 'ann')", "CREATE TABLE n (a VARCHAR(20), b VARCHAR(20))",
             "INSERT INTO n VALUES ('ann smith', 'BOB'), ('ann smith', 'ann')"});
  Result r = Norvale(QStringList{"convert"} + Connection() +
                     QStringList{"--table", "g", "--field", "a", "--field", "g", "--mode", "upper", "--yes"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("The field g is a generated column")) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT a FROM g"), QStringList{"ann"});

  r = Norvale(QStringList{"convert"} + Connection() +
              QStringList{"--table", "n", "--field", "a:proper", "--field", "b:lower", "--yes", "--json"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("each field goes in a run of its own")) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("runs").toArray().size(), 2);
  EXPECT_EQ(db_->Values("SELECT CONCAT(a, '|', b) FROM n"), QStringList({"Ann Smith|bob", "Ann Smith|ann"}));
}

}  // namespace
