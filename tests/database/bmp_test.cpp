// Every assigned character of the Basic Multilingual Plane crosses the driver
// in both directions, in each place text reaches it: statements, table and
// field names, passwords and database names in the connection string, and
// names and messages coming back.
#include <QFile>
#include <gtest/gtest.h>

#include "database/ado.h"
#include "database/mysql.h"
#include "tests/support/testdb.h"

namespace {

// The assigned BMP characters of UnicodeData.txt (ranges such as CJK and
// Hangul expanded), without the surrogates.
const std::vector<char16_t>& AssignedBmp() {
  static const std::vector<char16_t> units = [] {
    std::vector<char16_t> out;
    QFile file(QStringLiteral("/usr/share/unicode/UnicodeData.txt"));
    if (!file.open(QIODevice::ReadOnly)) return out;
    uint rangeStart = 0;
    while (!file.atEnd()) {
      const QList<QByteArray> f = file.readLine().split(';');
      if (f.size() < 3) continue;
      const uint cp = f[0].toUInt(nullptr, 16);
      if (cp > 0xFFFF) break;
      const auto add = [&](uint c) {
        if (c < 0xD800 || c > 0xDFFF) out.push_back(char16_t(c));
      };
      if (f[1].endsWith(", First>")) {
        rangeStart = cp;
      } else if (f[1].endsWith(", Last>")) {
        for (uint c = rangeStart; c <= cp; ++c) add(c);
      } else {
        add(cp);
      }
    }
    return out;
  }();
  return units;
}

// The characters cut into texts of at most `size` characters, leaving out
// those `skip` names. The space goes in a piece of its own, "a b", since
// names and connection-string values cannot begin or end with it.
std::vector<QString> Pieces(qsizetype size, const std::function<bool(char16_t)>& skip = {}) {
  std::vector<QString> pieces;
  QString piece;
  for (char16_t c : AssignedBmp()) {
    if ((skip && skip(c)) || c == u' ') continue;
    piece += QChar(c);
    if (piece.size() == size) {
      pieces.push_back(piece);
      piece.clear();
    }
  }
  if (!piece.isEmpty()) pieces.push_back(piece);
  pieces.push_back(QStringLiteral("a b"));
  return pieces;
}

QString Literal(const QString& text) {
  QString escaped = text;
  escaped.replace("\\", "\\\\").replace("'", "\\'").replace(QChar(0), "\\0");
  return "'" + escaped + "'";
}

QString Hex(const QString& text) { return QString::fromLatin1(text.toUtf8().toHex().toUpper()); }

qsizetype Covered(const std::vector<QString>& pieces) {
  qsizetype n = 0;
  for (const QString& p : pieces) n += p.size();
  return n;
}

}  // namespace

TEST(DriverText, TheSweepCoversTheWholePlane) {
  // Over 55,000 BMP characters are assigned; a truncated or missing file
  // would make the sweeps below prove nothing.
  ASSERT_GT(AssignedBmp().size(), 55000u);
  // Every character is in some piece: all but the space, which "a b" adds.
  EXPECT_EQ(Covered(Pieces(1500)), qsizetype(AssignedBmp().size()) - 1 + 3);
  EXPECT_EQ(Covered(Pieces(48, [](char16_t c) { return c == 0 || c == u';'; })),
            qsizetype(AssignedBmp().size()) - 3 + 3);
}

TEST(DriverText, EveryCharacterInStatementsAndValuesArrivesExact) {
  TestDatabase db;
  db.Exec("CREATE TABLE v (id INT PRIMARY KEY, t TEXT CHARACTER SET utf8mb4 COLLATE utf8mb4_bin)");
  auto c = MySQL::OpenConnection(db.Details(), MySQL::RunOptions);
  const std::vector<QString> pieces = Pieces(1500);
  int id = 0;
  for (const QString& piece : pieces) {
    SCOPED_TRACE(QStringLiteral("piece from U+%1").arg(uint(piece.at(0).unicode()), 4, 16, QChar('0')).toStdString());
    // Statement text, read back as a value and as the bytes the server saw.
    auto rs = c->Execute("SELECT " + Literal(piece) + ", HEX(" + Literal(piece) + ")");
    ASSERT_TRUE(rs);
    EXPECT_TRUE(rs->Value(0).toString() == piece);
    EXPECT_EQ(rs->Value(1).toString(), Hex(piece));
    // Stored and changed by statements, as a run does.
    c->Execute(QStringLiteral("INSERT INTO v VALUES (%1, %2)").arg(++id).arg(Literal(piece)));
    c->Execute(QStringLiteral("UPDATE v SET t = REPLACE(t, %1, %2) WHERE t = %1 AND id = %3")
                   .arg(Literal(piece), Literal(piece + piece.left(1)))
                   .arg(id));
  }
  auto stored = c->Execute("SELECT t, HEX(t) FROM v ORDER BY id");
  ASSERT_TRUE(stored);
  ASSERT_EQ(stored->RecordCount(), long(pieces.size()));
  for (const QString& piece : pieces) {
    EXPECT_TRUE(stored->Value(0).toString() == piece + piece.left(1));
    EXPECT_EQ(stored->Value(1).toString(), Hex(piece + piece.left(1)));
    stored->MoveNext();
  }
  // The server's messages come back with the characters they quote.
  const QString name = QString::fromUtf16(u"no_such_ÙØÚÛ_טיךכ_ә_ǘ_付");
  try {
    c->Execute("SELECT * FROM " + MySQL::QuoteName(name));
    ADD_FAILURE() << "a missing table was read";
  } catch (const ADODB::Error& e) {
    EXPECT_TRUE(QString::fromStdString(e.what()).contains(name)) << e.what();
    EXPECT_EQ(e.nativeError, 1146);
  }
}

TEST(DriverText, EveryCharacterInTableAndFieldNamesArrivesExact) {
  TestDatabase db;
  // Field names: tables of a hundred columns, one for each piece of 64
  // characters (NUL cannot stand in a name), learnt back the way the field
  // list learns them.
  const std::vector<QString> fields = Pieces(64, [](char16_t c) { return c == 0; });
  auto c = MySQL::OpenConnection(db.Details(), MySQL::BrowseOptions);
  for (size_t first = 0; first < fields.size(); first += 100) {
    const size_t end = std::min(fields.size(), first + 100);
    QStringList columns;
    for (size_t i = first; i < end; ++i) columns << MySQL::QuoteName(fields[i]) + " TINYINT";
    c->Execute("CREATE TABLE wide (" + columns.join(", ") + ") ENGINE=MyISAM");
    ADODB::RecordSet rs;
    rs.OpenFieldsOnly("SELECT * FROM wide", *c);
    ASSERT_EQ(rs.FieldCount(), int(end - first));
    for (int i = 0; i < rs.FieldCount(); ++i) EXPECT_TRUE(rs.FieldName(i) == fields[first + size_t(i)]) << first + i;
    rs.Close();
    auto hex = c->Execute(
        "SELECT HEX(COLUMN_NAME) FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = "
        "'wide' ORDER BY ORDINAL_POSITION");
    ASSERT_TRUE(hex);
    for (size_t i = first; i < end; ++i, hex->MoveNext()) EXPECT_EQ(hex->Value(0).toString(), Hex(fields[i])) << i;
    c->Execute("DROP TABLE wide");
  }

  // Table names: one table renamed through every piece. A name becomes a file
  // name of up to five bytes a character, so pieces stay at 48 characters.
  const std::vector<QString> tables = Pieces(48, [](char16_t c) { return c == 0; });
  c->Execute("CREATE TABLE start_name (v VARCHAR(10))");
  c->Execute("INSERT INTO start_name VALUES ('x')");
  QString current = QStringLiteral("start_name");
  for (const QString& t : tables) {
    SCOPED_TRACE(QStringLiteral("table from U+%1").arg(uint(t.at(0).unicode()), 4, 16, QChar('0')).toStdString());
    c->Execute("RENAME TABLE " + MySQL::QuoteName(current) + " TO " + MySQL::QuoteName(t));
    current = t;
    auto names = c->Execute("SHOW TABLES");
    ASSERT_TRUE(names);
    bool found = false;
    for (; !names->Eof(); names->MoveNext()) found = found || names->Value(0).toString() == t;
    EXPECT_TRUE(found);
    auto rows = c->Execute("SELECT v FROM " + MySQL::QuoteName(t));
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->Value(0).toString(), "x");
  }
}

TEST(DriverText, EveryCharacterInPasswordsAndDatabaseNamesArrivesExact) {
  const MySQL::ConnectionDetails server = ServerDetails();
  // The connection string is the program's plain concatenation, so a value
  // cannot hold the separator ";"; everything else may stand in it.
  const auto notInString = [](char16_t c) { return c == 0 || c == u';'; };

  // Passwords, 200 characters at a time, for a login of the test's own.
  const QString user = QStringLiteral("norvale_pw_%1").arg(getpid());
  Sql(server, {"DROP USER IF EXISTS '" + user + "'@'127.0.0.1'", "CREATE USER '" + user + "'@'127.0.0.1'"});
  auto admin = MySQL::OpenConnection(server, MySQL::RunOptions);
  for (const QString& password : Pieces(200, notInString)) {
    SCOPED_TRACE(QStringLiteral("password from U+%1").arg(uint(password.at(0).unicode()), 4, 16, QChar('0')).toStdString());
    admin->Execute("ALTER USER '" + user + "'@'127.0.0.1' IDENTIFIED BY " + Literal(password));
    MySQL::ConnectionDetails d = server;
    d.user = user;
    d.password = password;
    try {
      auto c = MySQL::OpenConnection(d, MySQL::ProbeOptions);
      EXPECT_TRUE(c->IsOpen());
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
  admin->Execute("DROP USER '" + user + "'@'127.0.0.1'");

  // Database names: a name becomes a folder name of up to five bytes a
  // character, so pieces stay at 48 characters.
  for (const QString& name : Pieces(48, notInString)) {
    SCOPED_TRACE(QStringLiteral("database from U+%1").arg(uint(name.at(0).unicode()), 4, 16, QChar('0')).toStdString());
    admin->Execute("CREATE DATABASE " + MySQL::QuoteName(name));
    try {
      auto c = MySQL::OpenConnection(ServerDetails(name), MySQL::ListingOptions);
      auto rs = c->Execute("SELECT DATABASE(), HEX(DATABASE())");
      ASSERT_TRUE(rs);
      EXPECT_TRUE(rs->Value(0).toString() == name);
      EXPECT_EQ(rs->Value(1).toString(), Hex(name));
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    admin->Execute("DROP DATABASE " + MySQL::QuoteName(name));
  }
}
