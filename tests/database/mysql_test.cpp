#include <QSignalSpy>
#include <gtest/gtest.h>

#include "database/mysql.h"
#include "tests/support/recorder.h"
#include "tests/support/testdb.h"

namespace {

class Names : public MySQL::NameList {
 public:
  void ClearItems() override { items.clear(); ++clears; }
  void AppendItem(const QString& text) override { items << text; }
  QStringList items;
  int clears = 0;
};

}  // namespace

TEST(ConnectionString, IsExactToTheCharacter) {
  EXPECT_EQ(MySQL::ConnectionString({"localhost", "editor", "", "shop", "3306", {}}),
            "DRIVER={MySQL ODBC 5.1 Driver};SERVER=localhost;USER=editor;PASSWORD=;DATABASE=shop;PORT=3306;");
  EXPECT_EQ(MySQL::ConnectionString({"", "", "", "", "", {}}),
            "DRIVER={MySQL ODBC 5.1 Driver};SERVER=;USER=;PASSWORD=;DATABASE=;PORT=;");
  // Values go in as typed, never trimmed; one that holds what would end an
  // attribute or start another is braced, its closing braces doubled, so
  // that it cannot add an attribute of its own.
  EXPECT_EQ(MySQL::ConnectionString({" db.example ", "u;x", "p}w{", "d=1", "33o6", {}}),
            "DRIVER={MySQL ODBC 5.1 Driver};SERVER={ db.example };USER={u;x};PASSWORD={p}}w{};DATABASE={d=1};PORT=33o6;");
  // What the ssl options demand goes after the details, in the driver's names.
  MySQL::ConnectionDetails tls{"h", "u", "p", "d", "1", {}};
  tls.tls.verify = true;
  tls.tls.ca = "/etc/ca;x.pem";
  EXPECT_EQ(MySQL::ConnectionString(tls),
            "DRIVER={MySQL ODBC 5.1 Driver};SERVER=h;USER=u;PASSWORD=p;DATABASE=d;PORT=1;SSLVERIFY=1;SSLCA={/etc/ca;x.pem};");
}

TEST(OptionSets, SetTheirPropertiesOnly) {
  ADODB::Connection probe, listing, browse, run;
  MySQL::ApplyOptions(probe, MySQL::ProbeOptions);
  EXPECT_EQ(probe.CursorLocation, ADODB::adUseServer);
  EXPECT_EQ(probe.CommandTimeout, 30);
  EXPECT_EQ(probe.ConnectionTimeout, 15);
  MySQL::ApplyOptions(listing, MySQL::ListingOptions);
  EXPECT_EQ(listing.CursorLocation, ADODB::adUseClient);
  EXPECT_EQ(listing.CommandTimeout, 30);
  MySQL::ApplyOptions(browse, MySQL::BrowseOptions);
  EXPECT_EQ(browse.CursorLocation, ADODB::adUseServer);
  EXPECT_EQ(browse.CommandTimeout, 5000);
  EXPECT_EQ(browse.ConnectionTimeout, 5000);
  EXPECT_EQ(browse.Mode, ADODB::adModeReadWrite);
  MySQL::ApplyOptions(run, MySQL::RunOptions);
  EXPECT_EQ(run.CursorLocation, ADODB::adUseClient);
  EXPECT_EQ(run.CommandTimeout, 5000);
  EXPECT_EQ(run.ConnectionTimeout, 5000);
  EXPECT_EQ(run.Mode, ADODB::adModeUnknown);
}

TEST(CanConnect, TrueForGoodDetailsFalseForEveryFailureAndSilent) {
  BoxRecorder boxes;
  TestDatabase db;
  auto good = db.Details();
  EXPECT_TRUE(MySQL::CanConnect(good));
  for (const auto& open : {MySQL::BrowseOptions, MySQL::RunOptions, MySQL::ListingOptions, MySQL::ProbeOptions}) {
    EXPECT_TRUE(MySQL::OpenConnection(good, open)->IsOpen());
  }
  auto wrongPassword = good;
  wrongPassword.password += "x";
  EXPECT_FALSE(MySQL::CanConnect(wrongPassword));
  auto noDatabase = good;
  noDatabase.database = "norvale_no_such_database";
  EXPECT_FALSE(MySQL::CanConnect(noDatabase));
  auto nobodyListens = good;
  nobodyListens.port = "1";
  EXPECT_FALSE(MySQL::CanConnect(nobodyListens));
  auto notANumber = good;
  notANumber.port = "port";
  EXPECT_FALSE(MySQL::CanConnect(notANumber));
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST(OpenConnection, FailureCarriesTheDriversText) {
  TestDatabase db;
  auto d = db.Details();
  d.password = "wrong";
  try {
    MySQL::OpenConnection(d, MySQL::BrowseOptions);
    FAIL() << "opened with a wrong password";
  } catch (const ADODB::Error& e) {
    EXPECT_NE(QString(e.what()).indexOf("Access denied for user"), -1) << e.what();
    EXPECT_EQ(e.sqlState, "28000");
  }
}

TEST(ListTables, LeavesOutSysTablesOnly) {
  TestDatabase db;
  for (const char* t : {"sys_config", "Sys", "SYSTEM_LOG", "sysadmin", "my_sys", "sy", "s", "Customers"})
    db.Exec(QStringLiteral("CREATE TABLE `%1` (id INT)").arg(t));
  Names names;
  MySQL::ListTables(db.Details(), names);
  QStringList got = names.items;
  got.sort(Qt::CaseInsensitive);
  EXPECT_EQ(got, QStringList({"Customers", "my_sys", "s", "sy"}));
  EXPECT_EQ(names.clears, 1);
}

TEST(ListTables, EmptyDatabaseRepeatedListingAndChangeOfDatabase) {
  TestDatabase empty, other;
  Names names;
  MySQL::ListTables(empty.Details(), names);
  EXPECT_TRUE(names.items.isEmpty());

  other.Exec({"CREATE TABLE a (id INT)", "CREATE TABLE b (id INT)"});
  MySQL::ListTables(other.Details(), names);
  MySQL::ListTables(other.Details(), names);
  EXPECT_EQ(names.items, QStringList({"a", "b"}));

  empty.Exec("CREATE TABLE only_here (id INT)");
  MySQL::ListTables(empty.Details(), names);
  EXPECT_EQ(names.items, QStringList({"only_here"}));
}

TEST(ListTables, FailureToConnectLeavesTheListEmptiedAndRaises) {
  TestDatabase db;
  Names names;
  names.items << "stale";
  auto d = db.Details();
  d.password = "wrong";
  EXPECT_THROW(MySQL::ListTables(d, names), ADODB::Error);
  EXPECT_TRUE(names.items.isEmpty());
}

TEST(QuoteName, DoublesGraveAccents) {
  EXPECT_EQ(MySQL::QuoteName("plain"), "`plain`");
  EXPECT_EQ(MySQL::QuoteName("we`ird"), "`we``ird`");
  EXPECT_EQ(MySQL::QuoteName(""), "``");
}
