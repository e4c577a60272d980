// A group's values in its own statement, each in its key's slot, against
// the real server: each row takes only its own pair's bytes, and only while
// it holds its old ones; a row between the group's keys that no pair names
// is never touched; keys the slots cannot hold, and a run of several
// fields, send the group elsewhere.
#include <gtest/gtest.h>

#include "database/slots.h"
#include "tests/support/testdb.h"

namespace {

using Rewrite::Pair;

constexpr qsizetype kMost = 1024 * 1024;

MySQL::RowIdentity IntegerKey() {
  MySQL::RowIdentity identity;
  identity.columns = QStringList{"k"};
  identity.keyValues = "k";
  identity.integerKey = true;
  return identity;
}

TEST(SlotStatement, EachRowTakesItsOwnSlotOnlyWhileItHoldsItsOldBytes) {
  TestDatabase db;
  struct Keys {
    const char* type;
    QStringList keys;  // the rows; the pairs are every one but the second
  };
  const Keys shapes[] = {{"BIGINT UNSIGNED", {"0", "1", "2", "5", "9"}},
                         {"INT", {"-7", "-6", "-3", "0", "2"}},
                         {"BIGINT UNSIGNED", {"4611686018427387840", "4611686018427387841", "4611686018427387843",
                                              "4611686018427387870", "4611686018427387903"}}};
  for (const Keys& shape : shapes) {
    SCOPED_TRACE(shape.type);
    db.Exec({"DROP TABLE IF EXISTS t",
             QStringLiteral("CREATE TABLE t (k %1 PRIMARY KEY, v VARCHAR(40) CHARACTER SET utf8mb4)").arg(shape.type)});
    std::vector<Pair> pairs;
    for (qsizetype i = 0; i < shape.keys.size(); ++i) {
      const QByteArray old = "row " + QByteArray::number(i);
      db.Exec(QStringLiteral("INSERT INTO t VALUES (%1, '%2')").arg(shape.keys[i], QString::fromLatin1(old)));
      // The empty value is a value, not a NULL.
      if (i != 1) pairs.push_back({shape.keys[i], old, i == 3 ? QByteArray("", 0) : "ROW ß " + QByteArray::number(i)});
    }
    // Another client changed the third row since it was read.
    db.Exec(QStringLiteral("UPDATE t SET v = 'theirs' WHERE k = %1").arg(shape.keys[2]));
    const QString statement = Rewrite::SlotStatement("t", "v", IntegerKey(), pairs, kMost);
    ASSERT_FALSE(statement.isEmpty());
    db.Exec(statement);
    EXPECT_EQ(db.Values("SELECT CONCAT(k, '=', HEX(v)) FROM t ORDER BY k"),
              (QStringList{shape.keys[0] + "=" + QString::fromLatin1(QByteArray("ROW ß 0").toHex().toUpper()),
                           shape.keys[1] + "=" + QString::fromLatin1(QByteArray("row 1").toHex().toUpper()),
                           shape.keys[2] + "=" + QString::fromLatin1(QByteArray("theirs").toHex().toUpper()),
                           shape.keys[3] + "=",
                           shape.keys[4] + "=" + QString::fromLatin1(QByteArray("ROW ß 4").toHex().toUpper())}));
  }
}

TEST(SlotStatement, KeysWithoutSlotsGoThroughThePairTable) {
  const std::vector<Pair> spread{{"1", "a", "A"}, {"100000", "b", "B"}};
  EXPECT_TRUE(Rewrite::SlotStatement("t", "v", IntegerKey(), spread, kMost).isEmpty());
  const std::vector<Pair> twice{{"1", "a", "A"}, {"1", "b", "B"}};
  EXPECT_TRUE(Rewrite::SlotStatement("t", "v", IntegerKey(), twice, kMost).isEmpty());
  const std::vector<Pair> end{{"9223372036854775806", "a", "A"}, {"9223372036854775807", "b", "B"}};
  EXPECT_TRUE(Rewrite::SlotStatement("t", "v", IntegerKey(), end, kMost).isEmpty());
  const std::vector<Pair> texts{{"_utf8mb4 0x61", "a", "A"}};
  EXPECT_TRUE(Rewrite::SlotStatement("t", "v", IntegerKey(), texts, kMost).isEmpty());
  MySQL::RowIdentity text = IntegerKey();
  text.integerKey = false;
  EXPECT_TRUE(Rewrite::SlotStatement("t", "v", text, {{"1", "a", "A"}}, kMost).isEmpty());
  const std::vector<Pair> cells{{"1", {}, {}, {{0, "a", "A"}}}};
  EXPECT_TRUE(Rewrite::SlotStatement("t", "v", IntegerKey(), cells, kMost).isEmpty());
  // A statement past the batch's bytes.
  EXPECT_TRUE(Rewrite::SlotStatement("t", "v", IntegerKey(), {{"1", "a", "A"}}, 40).isEmpty());
  // Some gaps between keys are slots of their own.
  EXPECT_FALSE(Rewrite::SlotStatement("t", "v", IntegerKey(), {{"1", "a", "A"}, {"60", "b", "B"}}, kMost).isEmpty());
}

}  // namespace
