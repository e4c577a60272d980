// The whole chain: unixODBC, the driver registered under the name the
// connection string names, and the test server.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include "tests/support/testdb.h"

TEST(Smoke, DriverNameConnectsAndShowsTables) {
  QString why;
  ASSERT_TRUE(ServerAvailable(&why)) << why.toStdString();
  TestDatabase db;
  db.Exec("CREATE TABLE smoke (v VARCHAR(10))");
  const auto d = db.Details();
  const QByteArray cs = QStringLiteral("DRIVER={MySQL ODBC 5.1 Driver};SERVER=%1;USER=%2;PASSWORD=%3;DATABASE=%4;PORT=%5;")
                            .arg(d.server, d.user, d.password, d.database, d.port)
                            .toUtf8();
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)));
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc)));
  const SQLRETURN rc = SQLDriverConnect(dbc, nullptr, (SQLCHAR*)cs.data(), SQL_NTS, nullptr, 0, nullptr,
                                        SQL_DRIVER_NOPROMPT);
  ASSERT_TRUE(SQL_SUCCEEDED(rc)) << "could not connect with " << cs.constData();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(stmt, (SQLCHAR*)"SHOW TABLES;", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt)));
  char name[64] = {};
  SQLLEN length = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_CHAR, name, sizeof name, &length)));
  EXPECT_STREQ(name, "smoke");
  EXPECT_EQ(SQLFetch(stmt), SQL_NO_DATA);
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
}
