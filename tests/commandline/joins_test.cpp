// A group's join reads the table by the range of keys its pairs span where
// they are most of the rows in it, and finds each row's pair by the pair
// table's key; elsewhere the pairs find their rows. Whichever way, each row
// takes only its own pair's bytes, the counts are the table's, and one undo
// gives every byte back.
#include <gtest/gtest.h>

#include <QJsonObject>

#include "caserules/case.h"
#include "database/mysql.h"
#include "tests/commandline/fixture.h"
#include "tests/support/testdb.h"

namespace {

class JoinsTest : public CommandLineTest {};

TEST_F(JoinsTest, DenseSparseAndLongTextKeysEachRowTakesItsOwnPair) {
  struct Shape {
    const char* table;
    const char* key;  // the key's declaration
    const char* keyValue;  // from seq
    int changing;  // one row in this many needs a change
    const char* join;  // the join's opening, as the server is sent it
  };
  const Shape shapes[] = {
      // Keys close together: the values stand in the statement, each in
      // its key's slot, and no pair table is joined.
      {"dense", "k INT NOT NULL PRIMARY KEY", "seq * 2", 1, "UPDATE `dense` SET `dense`.`v` = ELT"},
      // Most rows already in Proper Case: a group spans many rows it leaves.
      {"sparse", "k INT NOT NULL PRIMARY KEY", "seq", 25, "UPDATE nv_keys STRAIGHT_JOIN `sparse`"},
      // Text in a collation where ß sorts with ss: the range is the
      // collation's, as the rows were read.
      {"collated", "k VARCHAR(30) CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci NOT NULL PRIMARY KEY",
       "CONCAT(ELT(1 + seq % 4, 'ß', 'ss', 'Straße', 'strasse'), seq)", 1, "UPDATE `collated` STRAIGHT_JOIN nv_keys"},
      // A key of long text cannot key the pair table: the pairs are
      // numbered, and find their rows.
      {"texted", "k TEXT NOT NULL, UNIQUE KEY (k(12))", "CONCAT('row ', seq)", 1, "UPDATE nv_keys STRAIGHT_JOIN `texted`"}};
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.table);
    const QString table = QString::fromLatin1(s.table);
    db_->Exec({QStringLiteral("CREATE TABLE %1 (%2, v VARCHAR(60) CHARACTER SET utf8mb4) ENGINE=InnoDB")
                   .arg(table, QString::fromLatin1(s.key)),
               QStringLiteral("INSERT INTO %1 SELECT %2, IF(seq % %3 = 0, CONCAT('jürgen o''NEIL ', seq), "
                              "CONCAT('Ann Smith ', seq)) FROM seq_1_to_6000")
                   .arg(table, QString::fromLatin1(s.keyValue))
                   .arg(s.changing)});
    const QString order = QStringLiteral("SELECT %2 FROM %1 ORDER BY HEX(k)").arg(table);
    const QStringList before = db_->Values(order.arg("HEX(v)"));
    QStringList expected;
    int changes = 0;
    for (const QString& text : db_->Values(order.arg("v"))) {
      const QString proper = Case::ConvertCase(Case::CaseMode::CaseProper, text);
      expected << QString::fromLatin1(proper.toUtf8().toHex().toUpper());
      changes += proper != text;
    }
    ASSERT_EQ(changes, 6000 / s.changing);

    QString start;
    Result r;
    {
      const GlobalSetting output("log_output", "'TABLE'"), log("general_log", "1");
      start = db_->Values("SELECT NOW(6)").value(0);
      r = Norvale(QStringList{"convert"} + Connection() +
                  QStringList{"--table", table, "--field", "v", "--mode", "proper", "--yes", "--json"});
    }
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(OneRun(r).value("changed").toInt(), changes);
    EXPECT_EQ(db_->Values(order.arg("HEX(v)")), expected);
    const QStringList joins = db_->Values(
        "SELECT DISTINCT REGEXP_SUBSTR(argument, 'UPDATE [^ ]+ (STRAIGHT_JOIN [^ ]+|SET [^ ]+ = ELT)') FROM "
        "mysql.general_log WHERE event_time >= '" + start + "' AND argument LIKE '%UPDATE %`" + table + "`%'");
    EXPECT_EQ(joins, QStringList{QString::fromLatin1(s.join)});

    r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(db_->Values(order.arg("HEX(v)")), before);
  }
}

// Where the key is a whole number, a group's pairs go to the server as an
// array of parameters, their bytes as they are, or, where its keys are
// close together, in the statement's slots; elsewhere as text. Every way
// leaves the same bytes, in every character set: with NULLs, empty values,
// values mostly of zero bytes (UTF-16, UTF-32), keys at BIGINT's ends, and
// a value so wide that its group goes as text.
TEST_F(JoinsTest, PairsSentAsArraysLeaveTheBytesThatPairsSentAsTextLeave) {
  const QString columns = "a VARCHAR(80) CHARACTER SET utf16, b TEXT CHARACTER SET utf32, c VARCHAR(80) CHARACTER SET "
                          "latin1, d MEDIUMTEXT CHARACTER SET utf8mb4";
  const QString values =
      "SELECT %1, IF(seq % 7 = 0, NULL, CONCAT('ßtraße o''NEIL ', seq)), IF(seq % 5 = 0, '', CONCAT('ΟΔΥΣΣΕΥΣ "
      "jürgen ', seq)), CONCAT('élodie mcDONALD ', seq), IF(seq = 1500, REPEAT('wide value ', 2900), CONCAT('ǅemal "
      "ŉ ', seq)) FROM seq_1_to_3000";
  const QString ends = "IF(seq = 1, -9223372036854775807 - 1, IF(seq = 3000, 9223372036854775807, %1))";
  db_->Exec({"CREATE TABLE numbered (k BIGINT PRIMARY KEY, " + columns + ")",
             "CREATE TABLE slotted (k BIGINT PRIMARY KEY, " + columns + ")",
             "CREATE TABLE lettered (k VARCHAR(30) PRIMARY KEY, " + columns + ")",
             // Without a key, the distinct values go to the server the same
             // two ways.
             "CREATE TABLE valued (k BIGINT, " + columns + ")",
             "INSERT INTO valued " + values.arg(ends.arg("CAST(seq AS SIGNED) * 100 - 150000")),
             "INSERT INTO numbered " + values.arg(ends.arg("CAST(seq AS SIGNED) * 100 - 150000")),
             "INSERT INTO slotted " + values.arg(ends.arg("CAST(seq AS SIGNED) * 3 - 4500")),
             "INSERT INTO lettered " + values.arg("LPAD(seq, 6, '0')")});
  const QString rows = "SELECT CONCAT_WS(':', HEX(a), HEX(b), HEX(c), HEX(d)) FROM %1 ORDER BY k";
  const QStringList before = db_->Values(rows.arg("numbered"));
  ASSERT_EQ(before, db_->Values(rows.arg("lettered")));
  ASSERT_EQ(before, db_->Values(rows.arg("slotted")));
  const QStringList texts = db_->Values("SELECT d FROM numbered ORDER BY k");

  const auto convert = [&](const QString& table, const QStringList& fields) {
    QStringList args = QStringList{"convert"} + Connection() + QStringList{"--table", table, "--yes"};
    for (const QString& f : fields) args << "--field" << f;
    const Result r = Norvale(args);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
  };
  QString start;
  {
    const GlobalSetting output("log_output", "'TABLE'"), log("general_log", "1");
    start = db_->Values("SELECT NOW(6)").value(0);
    // (The keyless table's runs first: they have no undo.)
    for (const QString& table :
         {QStringLiteral("valued"), QStringLiteral("numbered"), QStringLiteral("slotted"), QStringLiteral("lettered")}) {
      convert(table, {"d:proper"});
      convert(table, {"a:proper", "b:name", "c:sentence"});
    }
  }
  const QStringList after = db_->Values(rows.arg("numbered"));
  EXPECT_EQ(after, db_->Values(rows.arg("lettered")));
  EXPECT_EQ(after, db_->Values(rows.arg("slotted")));
  EXPECT_EQ(after, db_->Values(rows.arg("valued")));
  EXPECT_NE(after, before);
  const QStringList converted = db_->Values("SELECT d FROM numbered ORDER BY k");
  ASSERT_EQ(converted.size(), texts.size());
  for (qsizetype i = 0; i < texts.size(); ++i)
    EXPECT_EQ(converted[i], Case::ConvertCase(Case::CaseMode::CaseProper, texts[i])) << i;
  // The numbered table's pairs went as arrays, but the wide value's group;
  // so did the groups of the slotted table's run of one with a key at
  // BIGINT's ends (its run of three fields carried its values in its
  // statements); the lettered table's as text.
  const QString sent = "SELECT COUNT(*) FROM mysql.general_log WHERE event_time >= '" + start +
                       "' AND command_type = '%1' AND argument LIKE 'INSERT INTO nv_keys (`k`%'";
  EXPECT_EQ(db_->Values(sent.arg("Execute")), QStringList{"9"});
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM mysql.general_log WHERE event_time >= '" + start +
                        "' AND argument REGEXP '^(TRUNCATE TABLE nv_keys;)?INSERT INTO nv_keys .* VALUES \\\\(-?[0-9]'"),
            QStringList{"1"});
  // The keyless table's values went as arrays, but those beside the wide one.
  const QString pairs = "SELECT COUNT(*) > 0 FROM mysql.general_log WHERE event_time >= '" + start +
                        "' AND command_type = '%1' AND argument LIKE 'INSERT INTO nv_pairs %2'";
  EXPECT_EQ(db_->Values(pairs.arg("Execute", "%?,?,?,?%")), QStringList{"1"});
  EXPECT_EQ(db_->Values(pairs.arg("Query", "%VALUES (%0x%")), QStringList{"1"});
  // The rest of the slotted table's groups went in slots.
  const QString updates = "SELECT COUNT(*) > 0 FROM mysql.general_log WHERE event_time >= '" + start +
                          "' AND argument LIKE '%UPDATE %1%'";
  EXPECT_EQ(db_->Values(updates.arg("`slotted` SET `slotted`.% = %ELT(`slotted`.`k` %")), QStringList{"1"});
  EXPECT_EQ(db_->Values(updates.arg("%STRAIGHT_JOIN%`slotted`%")), QStringList{"1"});

  for (int i = 0; i < 6; ++i) {
    const Result r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
  }
  EXPECT_EQ(db_->Values(rows.arg("numbered")), before);
  EXPECT_EQ(db_->Values(rows.arg("lettered")), before);
  EXPECT_EQ(db_->Values(rows.arg("slotted")), before);
}

}  // namespace

namespace {

class SlotsTest : public CommandLineTest {};

// A group whose values went in its statement, and whose rows a trigger
// stored otherwise, is read back by key to say what they hold: keys
// written with their zeros (ZEROFILL) find their rows as any other, so
// the journal keeps the trigger's values and undo puts every row back.
TEST_F(SlotsTest, RowsAGroupLeftAreReadBackByTheirKeysZerosAndAll) {
  db_->Exec({"CREATE TABLE z (k INT(8) UNSIGNED ZEROFILL NOT NULL PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO z SELECT seq, CONCAT('abc ', seq) FROM seq_1_to_300",
             "CREATE TRIGGER mark_z BEFORE UPDATE ON z FOR EACH ROW "
             "IF NEW.v LIKE BINARY 'A%' THEN SET NEW.v = CONCAT(NEW.v, '!'); END IF"});
  QString start;
  Result r;
  {
    const GlobalSetting output("log_output", "'TABLE'"), log("general_log", "1");
    start = db_->Values("SELECT NOW(6)").value(0);
    r = Norvale(QStringList{"convert"} + Connection() +
                QStringList{"--table", "z", "--field", "v", "--mode", "proper", "--yes", "--json"});
  }
  EXPECT_EQ(r.status, 1) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("stored_otherwise").toInt(), 300);
  EXPECT_EQ(OneRun(r).value("changed_since").toInt(), 0);
  EXPECT_EQ(db_->Values("SELECT v FROM z WHERE k = 7"), QStringList{"Abc 7!"});
  EXPECT_EQ(db_->Values("SELECT COUNT(*) > 0 FROM mysql.general_log WHERE event_time >= '" + start +
                        "' AND argument LIKE '%UPDATE `z` SET `z`.`v` = ELT(%'"),
            QStringList{"1"});
  r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Json(r).value("restored").toInt(), 300);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM z WHERE v = BINARY CONCAT('abc ', k + 0)"), QStringList{"300"});
}

}  // namespace
