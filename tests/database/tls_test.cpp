// Connections are encrypted when the server offers TLS, plain when it offers
// none, and a server that requires TLS works; checked from the server's side
// on servers of each kind started for this suite.
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/testdb.h"

namespace {

class TlsServers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plain = std::make_unique<PrivateServer>(PrivateServer::Tls::None);
    offered = std::make_unique<PrivateServer>(PrivateServer::Tls::Offered);
    required = std::make_unique<PrivateServer>(PrivateServer::Tls::Required);
  }
  static void TearDownTestSuite() {
    plain.reset();
    offered.reset();
    required.reset();
  }

  // One status or variable of the session the layer opens.
  static QString SessionValue(const MySQL::ConnectionDetails& d, const QString& query) {
    auto connection = MySQL::OpenConnection(d, MySQL::ProbeOptions);
    auto rows = connection->Execute(query);
    if (!rows || rows->Eof()) return QStringLiteral("<no row>");
    return rows->Value(rows->FieldCount() - 1).toString();
  }
  static QString Cipher(const MySQL::ConnectionDetails& d) {
    return SessionValue(d, QStringLiteral("SHOW SESSION STATUS LIKE 'Ssl_cipher'"));
  }

  static std::unique_ptr<PrivateServer> plain, offered, required;
};

std::unique_ptr<PrivateServer> TlsServers::plain, TlsServers::offered, TlsServers::required;

}  // namespace

TEST_F(TlsServers, EncryptedExactlyWhereTheServerOffersTls) {
  EXPECT_EQ(SessionValue(plain->Details(), "SELECT @@have_ssl"), "DISABLED");
  EXPECT_EQ(Cipher(plain->Details()), "");

  EXPECT_EQ(SessionValue(offered->Details(), "SELECT @@require_secure_transport"), "0");
  EXPECT_NE(Cipher(offered->Details()), "");

  EXPECT_EQ(SessionValue(required->Details(), "SELECT @@require_secure_transport"), "1");
  EXPECT_NE(Cipher(required->Details()), "");
}

TEST_F(TlsServers, EveryOptionSetAndRoutineWorksWhereTlsIsRequired) {
  TestDatabase db(required->Details());
  db.Exec({"CREATE TABLE people (name VARCHAR(20))", "CREATE TABLE sys_log (x INT)",
           "INSERT INTO people VALUES ('ann'), ('bob')"});
  EXPECT_TRUE(MySQL::CanConnect(db.Details()));

  struct Names : MySQL::NameList {
    QStringList names;
    void ClearItems() override { names.clear(); }
    void AppendItem(const QString& name) override { names << name; }
  } list;
  MySQL::ListTables(db.Details(), list);
  EXPECT_EQ(list.names, QStringList({"people"}));

  for (auto options : {MySQL::ProbeOptions, MySQL::ListingOptions, MySQL::BrowseOptions, MySQL::RunOptions}) {
    auto connection = MySQL::OpenConnection(db.Details(), options);
    ADODB::RecordSet rs;
    rs.Open("SELECT name FROM people ORDER BY name", *connection, ADODB::adOpenStatic, ADODB::adLockOptimistic);
    EXPECT_EQ(rs.Value(0).toString(), "ann") << int(options);
    connection->Execute("UPDATE people SET name = 'Bob' WHERE name = 'bob'");
  }
  EXPECT_EQ(db.Values("SELECT name FROM people ORDER BY name"), QStringList({"ann", "Bob"}));
}

TEST_F(TlsServers, WrongPasswordKeepsTheDriversOwnText) {
  // Not a TLS failure: no word about encryption is put before it.
  auto d = required->Details();
  d.password += "-wrong";
  EXPECT_FALSE(MySQL::CanConnect(d));
  try {
    MySQL::OpenConnection(d, MySQL::ProbeOptions);
    FAIL() << "a wrong password connected";
  } catch (const ADODB::Error& e) {
    EXPECT_TRUE(QString(e.what()).startsWith("[ma-")) << e.what();
    EXPECT_TRUE(QString(e.what()).contains("Access denied")) << e.what();
    EXPECT_EQ(e.sqlState, "28000");
  }
}

TEST(TlsHandshake, FailureIsSaidInPlainWordsBeforeTheDriversText) {
  PrivateServer server(PrivateServer::Tls::Unusable);
  const auto d = server.Details();
  EXPECT_FALSE(MySQL::CanConnect(d));
  try {
    MySQL::OpenConnection(d, MySQL::ProbeOptions);
    FAIL() << "connected although no TLS handshake can succeed";
  } catch (const ADODB::Error& e) {
    const QString text = QString::fromStdString(e.what());
    EXPECT_TRUE(text.startsWith("The encrypted (TLS) connection to the server could not be set up. ")) << e.what();
    const qsizetype driverText = text.indexOf("[ma-");
    EXPECT_GT(driverText, 0) << e.what();
    EXPECT_TRUE(text.mid(driverText).contains("TLS/SSL error")) << e.what();
  }
}
