// What preferring TLS costs per opened connection. Every operation opens its
// own connection, so this is paid on each click. Timed side by side, in
// turns, on two servers of the benchmark's own: one without TLS (where the
// cost should be nil: no second attempt is made) and one offering TLS (the
// price of the encryption itself). The reference is the driver opened with
// the plain connection string and nothing added.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <sql.h>
#include <sqlext.h>

#include "bench/common.h"
#include "database/ado.h"
#include "database/mysql.h"
#include "tests/support/testdb.h"

namespace {

// Opens and closes one connection straight through the driver manager.
class RawOpener {
 public:
  RawOpener() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  ~RawOpener() { SQLFreeHandle(SQL_HANDLE_ENV, env_); }
  void Open(const QByteArray& connectionString) const {
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc);
    const SQLRETURN rc =
        SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.constData())),
                         SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      std::fprintf(stderr, "could not connect: %s\n", connectionString.constData());
      std::abort();
    }
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
};

QString Cipher(const MySQL::ConnectionDetails& d) {
  auto c = MySQL::OpenConnection(d, MySQL::ProbeOptions);
  auto rows = c->Execute("SHOW SESSION STATUS LIKE 'Ssl_cipher'");
  return rows && !rows->Eof() ? rows->Value(1).toString() : QString();
}

// Per-open milliseconds of the plain driver call and of the program's own
// Open, each the median of `runs` batches of `batch` opens taken in turns.
void Compare(const char* label, const MySQL::ConnectionDetails& d, int runs, int batch) {
  RawOpener raw;
  const QByteArray plain = MySQL::ConnectionString(d).toUtf8();
  const QString string = MySQL::ConnectionString(d);
  raw.Open(plain);  // warm both paths once
  ADODB::Connection().Open(string);
  const auto [rawMs, layerMs] = PairedMedianMs(
      runs,
      [&] {
        for (int i = 0; i < batch; ++i) raw.Open(plain);
      },
      [&] {
        for (int i = 0; i < batch; ++i) ADODB::Connection().Open(string);
      });
  std::printf("%-22s plain driver %.3f ms/open, program %.3f ms/open, ratio %.2f, +%.3f ms/open (Ssl_cipher '%s')\n",
              label, rawMs / batch, layerMs / batch, layerMs / rawMs, (layerMs - rawMs) / batch,
              qPrintable(Cipher(d)));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int opens = argc > 1 ? std::atoi(argv[1]) : 200;
  const int batch = 10, runs = std::max(1, opens / batch);
  PrivateServer plain(PrivateServer::Tls::None);
  PrivateServer offered(PrivateServer::Tls::Offered);
  std::printf("%d opens each way, in %d turns of %d\n", runs * batch, runs, batch);
  Compare("server without TLS", plain.Details(), runs, batch);
  Compare("server offering TLS", offered.Details(), runs, batch);
  return 0;
}
