#include <QDate>
#include <QDateTime>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "database/ado.h"
#include "database/driver.h"
#include "database/mysql.h"
#include "database/rows.h"
#include "database/rowkey.h"
#include "tests/support/testdb.h"

namespace {

QString S(const char16_t* text) { return QString::fromUtf16(text); }

// Writes a value through a statement (escaped for the server) and reads it
// back through a record set.
QVariant RoundTrip(const TestDatabase& db, const QString& column, const QString& literal) {
  db.Exec({"DROP TABLE IF EXISTS rt", QStringLiteral("CREATE TABLE rt (v %1)").arg(column),
           QStringLiteral("INSERT INTO rt VALUES (%1)").arg(literal)});
  auto c = MySQL::OpenConnection(db.Details(), MySQL::RunOptions);
  ADODB::RecordSet rs;
  rs.Open("SELECT v FROM rt", *c, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  EXPECT_EQ(rs.RecordCount(), 1);
  return rs.Value(0);
}

QString Literal(const QString& text) {
  QString escaped = text;
  escaped.replace("\\", "\\\\").replace("'", "\\'").replace(QChar(0), "\\0");
  return "'" + escaped + "'";
}

}  // namespace

TEST(RoundTrip, EveryCharacterSurvivesInUtf8mb4AndLatin1) {
  TestDatabase db;
  const QString unicode = S(u"é ß İ ı Ελληνικά Кириллица 漢字 😀 o'neil C:\\dir\\ end\\");
  EXPECT_EQ(RoundTrip(db, "TEXT CHARACTER SET utf8mb4", Literal(unicode)).toString(), unicode);
  const QString withNul = QStringLiteral("a") + QChar(0) + QStringLiteral("b");
  EXPECT_EQ(RoundTrip(db, "VARCHAR(10) CHARACTER SET utf8mb4", Literal(withNul)).toString(), withNul);
  const QString western = S(u"é ß ÿ Ÿ o'neil back\\slash");
  EXPECT_EQ(RoundTrip(db, "VARCHAR(100) CHARACTER SET latin1", Literal(western)).toString(), western);
}

TEST(RoundTrip, LongValuesComeBackWhole) {
  TestDatabase db;
  QString big;
  for (int i = 0; big.size() < 1024 * 1024; ++i) big += QStringLiteral("line %1 ünïcödé 😀\n").arg(i);
  const QVariant got = RoundTrip(db, "LONGTEXT", Literal(big));
  EXPECT_EQ(got.toString().size(), big.size());
  EXPECT_TRUE(got.toString() == big);
}

// A statement of many megabytes goes to the driver as exactly the UTF-8 Qt
// would make of it, lone surrogates included.
TEST(RoundTrip, LargeStatementTextIsTheSameUtf8) {
  QString text;
  const QString pieces[] = {"X'00ff'", "ΟΔΥΣΣΕΥΣ", "東京", "\U0001F469\U0001F3FD", "groß", QString(QChar(0xD800)), "a",
                            QString(QChar(0xDC00)) + "b"};
  for (int i = 0; text.size() < 200000; ++i) text += pieces[(i * 7) % 8];
  text += QChar(0xD83D);  // a high surrogate at the very end
  EXPECT_EQ(ADODB::Driver::Utf8Exact(text), text.toUtf8());
  EXPECT_EQ(ADODB::Driver::Utf8Exact("short é"), QString("short é").toUtf8());
  // A statement of names and hex only, and the same with one character
  // past ASCII at its very end.
  QString ascii;
  for (int i = 0; ascii.size() < 200000; ++i) ascii += QStringLiteral("0x6A6F73C3A9%1,`t`.`name`").arg(i);
  EXPECT_EQ(ADODB::Driver::Utf8Exact(ascii), ascii.toUtf8());
  ascii += QStringLiteral("é");
  EXPECT_EQ(ADODB::Driver::Utf8Exact(ascii), ascii.toUtf8());
}

TEST(RoundTrip, TypedValues) {
  TestDatabase db;
  EXPECT_TRUE(RoundTrip(db, "VARCHAR(10)", "NULL").isNull());
  EXPECT_TRUE(RoundTrip(db, "INT", "NULL").isNull());
  const QVariant i = RoundTrip(db, "BIGINT", "-9007199254740993");
  EXPECT_EQ(i.typeId(), QMetaType::LongLong);
  EXPECT_EQ(i.toLongLong(), -9007199254740993LL);
  const QVariant u = RoundTrip(db, "BIGINT UNSIGNED", "18446744073709551615");
  EXPECT_EQ(u.typeId(), QMetaType::ULongLong);
  EXPECT_EQ(MySQL::ValueText(u), "18446744073709551615");
  EXPECT_EQ(MySQL::ValueText(RoundTrip(db, "DECIMAL(30,10)", "12345678901234567890.0123456789")),
            "12345678901234567890.0123456789");
  const QVariant d = RoundTrip(db, "DOUBLE", "1.1");
  EXPECT_EQ(d.typeId(), QMetaType::Double);
  EXPECT_EQ(MySQL::ValueText(d), "1.1");
  const QVariant date = RoundTrip(db, "DATE", "'2024-02-29'");
  EXPECT_EQ(date.typeId(), QMetaType::QDate);
  EXPECT_EQ(MySQL::ValueText(date), "2024-02-29");
  EXPECT_EQ(MySQL::ValueText(RoundTrip(db, "DATETIME", "'2024-02-29 13:14:15'")), "2024-02-29 13:14:15");
  EXPECT_EQ(MySQL::ValueText(RoundTrip(db, "DATETIME(6)", "'2024-02-29 13:14:15.123456'")), "2024-02-29 13:14:15.123456");
  EXPECT_EQ(MySQL::ValueText(RoundTrip(db, "TIME", "'838:59:59'")), "838:59:59");
}

// Each number type in its own shortest exact form, as the server writes it:
// FLOAT at single precision, DOUBLE at double; BIT as a whole number.
TEST(RoundTrip, FloatDoubleAndBitInTheirOwnForms) {
  TestDatabase db;
  const std::pair<const char*, const char*> floats[] = {
      {"0.1", "0.1"}, {"3.14159", "3.14159"}, {"-2.5", "-2.5"}, {"16777217", "16777216"},
      {"1e-7", "1e-07"}, {"3.4028234e38", "3.4028235e+38"}, {"1.17549435e-38", "1.1754944e-38"}, {"0", "0"}};
  for (const auto& [literal, shown] : floats) {
    const QVariant v = RoundTrip(db, "FLOAT", literal);
    EXPECT_EQ(v.typeId(), QMetaType::Float) << literal;
    EXPECT_EQ(MySQL::ValueText(v), shown) << literal;
  }
  EXPECT_EQ(MySQL::ValueText(RoundTrip(db, "DOUBLE", "0.1")), "0.1");
  EXPECT_EQ(MySQL::ValueText(RoundTrip(db, "DOUBLE", "3.141592653589793")), "3.141592653589793");
  EXPECT_EQ(MySQL::ValueText(RoundTrip(db, "DOUBLE", "0.10000000149011612")), "0.10000000149011612");
  EXPECT_TRUE(RoundTrip(db, "FLOAT", "NULL").isNull());

  const std::pair<const char*, const char*> bits[] = {{"BIT", "b'1'"},          {"BIT", "b'0'"},
                                                      {"BIT(8)", "b'10100101'"}, {"BIT(13)", "b'1000000000001'"},
                                                      {"BIT(64)", "~0"}};
  const char* bitTexts[] = {"1", "0", "165", "4097", "18446744073709551615"};
  for (size_t i = 0; i < std::size(bits); ++i) {
    const QVariant v = RoundTrip(db, bits[i].first, bits[i].second);
    EXPECT_FALSE(MySQL::IsBytes(v)) << bits[i].first;
    EXPECT_EQ(MySQL::ValueText(v), bitTexts[i]) << bits[i].first << " " << bits[i].second;
  }
  EXPECT_TRUE(RoundTrip(db, "BIT(8)", "NULL").isNull());
  // Binary columns stay bytes.
  EXPECT_TRUE(MySQL::IsBytes(RoundTrip(db, "BINARY(1)", "0x01")));
}

TEST(RoundTrip, BinaryColumnsComeBackAsBytes) {
  TestDatabase db;
  const QByteArray bytes = QByteArray::fromHex("00FF27005C41");
  for (const char* type : {"VARBINARY(10)", "BINARY(6)", "BLOB", "LONGBLOB"}) {
    const QVariant v = RoundTrip(db, type, "0x00FF27005C41");
    EXPECT_EQ(v.typeId(), QMetaType::QByteArray) << type;
    EXPECT_EQ(v.toByteArray(), bytes) << type;
    EXPECT_EQ(MySQL::ValueText(v), "0x00FF27005C41");
  }
}

TEST(RecordSets, ClientCursorCountsAndServerCursorStreams) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT, name VARCHAR(20))", "INSERT INTO t SELECT seq, CONCAT('n', seq) FROM seq_1_to_250"});
  auto client = MySQL::OpenConnection(db.Details(), MySQL::RunOptions);
  ADODB::RecordSet all;
  all.Open("SELECT name FROM t ORDER BY id", *client, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  EXPECT_EQ(all.RecordCount(), 250);
  int n = 0;
  while (!all.Eof()) {
    EXPECT_EQ(all.Value(0).toString(), QStringLiteral("n%1").arg(++n));
    all.MoveNext();
  }
  EXPECT_EQ(n, 250);
  EXPECT_THROW(all.MoveNext(), ADODB::Error);
  EXPECT_THROW(all.Value(0), ADODB::Error);
  all.Close();
  EXPECT_THROW(all.Eof(), ADODB::Error);

  // Read once: the rows stay with the driver and come a block at a time,
  // counted exactly, in order across the blocks, while other statements
  // run on the same connection.
  db.Exec("INSERT INTO t SELECT seq, CONCAT('n', seq) FROM seq_251_to_3000");
  ADODB::RecordSet once;
  once.ReadOnce = true;
  once.Open("SELECT name FROM t ORDER BY id", *client, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  EXPECT_EQ(once.RecordCount(), 3000);
  n = 0;
  for (; !once.Eof(); once.MoveNext()) {
    ASSERT_EQ(once.Value(0).toString(), QStringLiteral("n%1").arg(++n));
    if (n % 700 == 0) client->Execute(QStringLiteral("UPDATE t SET name = 'changed' WHERE id = 1;"));
  }
  EXPECT_EQ(n, 3000);
  once.Close();
  once.Open("SELECT name FROM t WHERE id < 0", *client, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  EXPECT_EQ(once.RecordCount(), 0);
  EXPECT_TRUE(once.Eof());

  auto server = MySQL::OpenConnection(db.Details(), MySQL::BrowseOptions);
  ADODB::RecordSet some;
  some.MaxRecords = 101;
  some.Open("SELECT name FROM t ORDER BY id", *server, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  EXPECT_EQ(some.RecordCount(), -1);
  n = 0;
  while (!some.Eof()) {
    ++n;
    some.MoveNext();
  }
  EXPECT_EQ(n, 101);
}

TEST(RecordSets, ManyRowsOfMixedSizesReadBackExactly) {
  // Enough bytes to fill several of the record set's growing blocks, a value
  // larger than any block, empty texts and nulls between them, and a typed
  // column beside the text.
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v LONGTEXT CHARACTER SET utf8mb4)",
           "INSERT INTO t SELECT seq, CASE WHEN seq % 7 = 0 THEN NULL WHEN seq % 11 = 0 THEN '' "
           "WHEN seq = 1500 THEN REPEAT('ß', 3 * 1024 * 1024) ELSE REPEAT(CONCAT('ü', seq, ' '), seq % 400) END "
           "FROM seq_1_to_3000"});
  const auto expected = [](int id) -> QVariant {
    if (id % 7 == 0) return QVariant();
    if (id % 11 == 0) return QString("");
    if (id == 1500) return QString(3 * 1024 * 1024, QChar(0xDF));
    return QStringLiteral("ü%1 ").arg(id).repeated(id % 400);
  };
  auto c = MySQL::OpenConnection(db.Details(), MySQL::RunOptions);
  ADODB::RecordSet rs;
  rs.Open("SELECT id, v FROM t ORDER BY id", *c, ADODB::adOpenStatic, ADODB::adLockOptimistic);
  ASSERT_EQ(rs.RecordCount(), 3000);
  int id = 0, wrong = 0;
  for (; !rs.Eof(); rs.MoveNext()) {
    ++id;
    EXPECT_EQ(rs.Value(0).toInt(), id);
    const QVariant want = expected(id), got = rs.Value(1);
    if (got.isNull() != want.isNull() || got.toString() != want.toString()) ++wrong;
  }
  EXPECT_EQ(id, 3000);
  EXPECT_EQ(wrong, 0);
}

TEST(RecordSets, ColumnNamesWithoutRows) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (`first` INT, `sec ond` TEXT, `thi``rd` DATE)", "INSERT INTO t VALUES (1, 'x', NULL)"});
  auto c = MySQL::OpenConnection(db.Details(), MySQL::BrowseOptions);
  ADODB::RecordSet rs;
  rs.OpenFieldsOnly("SELECT * FROM `t`", *c);
  ASSERT_EQ(rs.FieldCount(), 3);
  EXPECT_EQ(rs.FieldName(0), "first");
  EXPECT_EQ(rs.FieldName(1), "sec ond");
  EXPECT_EQ(rs.FieldName(2), "thi`rd");
  EXPECT_TRUE(rs.Eof());
  EXPECT_THROW(rs.FieldName(3), ADODB::Error);
  ADODB::RecordSet missing;
  EXPECT_THROW(missing.OpenFieldsOnly("SELECT * FROM `no_such_table`", *c), ADODB::Error);
}

TEST(Connections, ExecuteReturnsRowsOnlyForQueriesAndClosedObjectsRefuse) {
  TestDatabase db;
  auto c = MySQL::OpenConnection(db.Details(), MySQL::ListingOptions);
  EXPECT_EQ(c->Execute("CREATE TABLE t (id INT)"), nullptr);
  auto rows = c->Execute("SHOW TABLES;");
  ASSERT_NE(rows, nullptr);
  EXPECT_EQ(rows->RecordCount(), 1);
  EXPECT_EQ(rows->Value(0).toString(), "t");
  try {
    c->Execute("SELEKT nonsense");
    FAIL();
  } catch (const ADODB::Error& e) {
    EXPECT_NE(QString(e.what()).indexOf("SQL syntax"), -1) << e.what();
  }
  c->Close();
  EXPECT_FALSE(c->IsOpen());
  // A record set of a closed connection is closed with it.
  EXPECT_THROW(rows->Value(0), ADODB::Error);
  EXPECT_THROW(c->Execute("SELECT 1"), ADODB::Error);
  EXPECT_THROW(c->Close(), ADODB::Error);
}

// The run's rows, a chunk at a time (values of 100 KB make chunks of about
// twenty rows): every row once, in the key's order as the server sorts it,
// in a collation where ß is ss and ä is ae; rows inserted ahead of the
// reading point are read and rows behind it are not; a condition and a
// point to read after pick their rows.
TEST(ChunkedRows, EveryRowOnceInTheKeysOrderAndRowsInsertedAheadToo) {
  TestDatabase db;
  db.Exec({"CREATE TABLE r (s VARCHAR(20) CHARACTER SET latin1 COLLATE latin1_german2_ci NOT NULL, t TIMESTAMP(3) "
           "NOT NULL, v MEDIUMTEXT, PRIMARY KEY (s, t))",
           "INSERT IGNORE INTO r SELECT CONVERT(ELT(1 + seq % 7, 'ß', 'ss', 'Straße', 'Å', 'ä', 'ae', 'B') USING "
           "latin1), FROM_UNIXTIME(1700000000 + seq DIV 7 + 0.125), REPEAT('x', 100000) FROM seq_0_to_279"});
  auto c = MySQL::OpenConnection(db.Details(), MySQL::RunOptions);
  c->Execute(MySQL::SessionTimeZone());
  const MySQL::RowIdentity identity = MySQL::ReadRowIdentity(*c, "r", "v");
  ASSERT_FALSE(identity.keyValues.isEmpty());
  const auto serverOrder = [&](const QString& where) {
    QStringList keys;
    for (auto rs = c->Execute("SELECT " + identity.keyValues + " FROM r" + where + " ORDER BY s, t"); rs && !rs->Eof();
         rs->MoveNext())
      keys << rs->Value(0).toString();
    return keys;
  };
  const auto read = [&](const QString& where, const QString& after, const std::function<void(int)>& each = {}) {
    Rewrite::Rows rows;
    rows.Open(*c, "r", "v", identity, false, where, after);
    EXPECT_EQ(rows.Reading(), Rewrite::Rows::Way::ByKey);
    QStringList keys;
    for (int n = 0; !rows.Eof(); rows.MoveNext(), ++n) {
      keys << rows.Value(1).toString();
      if (each) each(n);
    }
    return keys;
  };
  const QStringList all = serverOrder({});
  ASSERT_GT(all.size(), 150);
  EXPECT_EQ(read({}, {}), all);
  EXPECT_EQ(read("s = 'ss'", {}), serverOrder(" WHERE s = 'ss'"));
  EXPECT_EQ(read({}, all[100]), all.mid(101));
  // Another client inserts a row behind the reading point and one ahead.
  const QStringList during = read({}, {}, [&](int n) {
    if (n == 30)
      db.Exec({"INSERT INTO r VALUES ('0', FROM_UNIXTIME(1700000000), 'behind')",
               "INSERT INTO r VALUES ('zz', FROM_UNIXTIME(1700000000), 'ahead')"});
  });
  EXPECT_EQ(during, all + serverOrder(" WHERE s = 'zz'"));
  EXPECT_EQ(serverOrder({}).size(), all.size() + 2);

  // Without a key the rows wait in a numbered copy, read by its numbers.
  db.Exec("CREATE TABLE nk SELECT v FROM r");
  const MySQL::RowIdentity none = MySQL::ReadRowIdentity(*c, "nk", "v");
  Rewrite::Rows rows;
  rows.Open(*c, "nk", "v", none, false, {}, {});
  EXPECT_EQ(rows.Reading(), Rewrite::Rows::Way::Copied);
  EXPECT_EQ(rows.Count(), all.size() + 2);
  qint64 n = 0;
  for (; !rows.Eof(); rows.MoveNext()) ++n;
  EXPECT_EQ(n, all.size() + 2);
}

// A connection whose calls come from one thread and then another, as the
// groups of a run and of an undo do. The driver keeps its connection's lock
// past a batch whose statements give rows, and never lets another thread
// have it: every call of such a connection must run on its one thread.
TEST(Threads, ABatchOfRowsLeavesTheConnectionToTheNextThread) {
  TestDatabase db;
  db.Exec({"DROP TABLE IF EXISTS th", "CREATE TABLE th (id INT PRIMARY KEY, v VARCHAR(20))",
           "INSERT INTO th VALUES (1, 'a'), (2, 'b')"});
  auto c = std::make_unique<ADODB::Connection>();
  MySQL::ApplyOptions(*c, MySQL::RunOptions);
  c->MultipleStatements = true;
  c->ResponsiveWaits = true;
  c->Open(MySQL::ConnectionString(db.Details()));
  qint64 changed = -1;
  for (int group = 0; group < 3; ++group)
    std::thread([&] {
      c->ExecuteMany("UPDATE th SET v = CONCAT(v, 'x') WHERE id BETWEEN 1 AND 2;SELECT ROW_COUNT(), @@warning_count;",
                     [&](int, ADODB::RecordSet* r) {
                       if (r && !r->Eof()) changed = r->Value(0).toLongLong();
                     });
    }).join();
  EXPECT_EQ(changed, 2);
  QString seen;
  std::thread([&] { seen = c->Execute("SELECT GROUP_CONCAT(v ORDER BY id) FROM th;")->Value(0).toString(); }).join();
  EXPECT_EQ(seen, "axxx,bxxx");
}
