// The MySQL module: connection details, the connection string, the option
// sets every database operation opens its connection with, the connection
// probe and the table listing.
#pragma once

#include <QString>
#include <QVariant>
#include <memory>

#include "database/ado.h"

namespace MySQL {

// Server, user, password, database and port, taken as typed: never trimmed,
// validated or converted.
// What a connection demands of TLS beyond what every connection does (TLS
// where the server offers it, its certificate unchecked), as the clients'
// ssl options say. The window demands nothing more.
struct TlsDemands {
  bool disabled = false;  // plain text only
  bool required = false;  // no connection without TLS
  bool verify = false;    // the server's certificate checked, against `ca` or `capath` where given, and its name
  QString ca, capath, cert, key, cipher, crl, crlpath, versions;
  bool Any() const { return disabled || required || verify; }
};

struct ConnectionDetails {
  QString server, user, password, database, port;
  TlsDemands tls;
  // The server's Unix socket, where the connection goes through it rather
  // than TCP (the command line's -S, or localhost as the mysql client takes it).
  QString socket = {};
  // Seconds a run's or an undo's statement may wait with no byte moving
  // and the server not at work on it before the connection is given up as
  // stalled; 0: never.
  int netTimeout = 0;
};

// A value of the connection string as ODBC takes it (see ConnectionString).
QString AttributeValue(const QString& value);
QString ConnectionString(const ConnectionDetails& details);
// The details' demands of TLS on a connection about to open; and once open,
// a failure where it demanded TLS and the server gave none.
void ApplyTls(ADODB::Connection& connection, const ConnectionDetails& details);
void CheckTls(ADODB::Connection& connection, const ConnectionDetails& details);

// Properties set on a connection before it opens, in order.
enum class OptionSet { ProbeOptions, ListingOptions, BrowseOptions, RunOptions };
constexpr OptionSet ProbeOptions = OptionSet::ProbeOptions;
constexpr OptionSet ListingOptions = OptionSet::ListingOptions;
constexpr OptionSet BrowseOptions = OptionSet::BrowseOptions;
constexpr OptionSet RunOptions = OptionSet::RunOptions;

void ApplyOptions(ADODB::Connection& connection, OptionSet options);

// Creates a connection, sets the option set and opens it. Failures pass up.
std::unique_ptr<ADODB::Connection> OpenConnection(const ConnectionDetails& details, OptionSet options);

// True when a connection with these details opens; never raises for a
// failure to open.
bool CanConnect(const ConnectionDetails& details);

// Which server this is, as it says itself: its host name, port and data
// directory, the same through a socket, a tunnel or any of its names.
// Empty where the server does not say.
QString ServerIdentity(ADODB::Connection& connection);

// The list that ListTables fills.
class NameList {
 public:
  virtual ~NameList() = default;
  virtual void ClearItems() = 0;
  virtual void AppendItem(const QString& text) = 0;
};

// Fills the list with the database's tables, leaving out every name whose
// first three characters are "sys" in any letter case.
void ListTables(const ConnectionDetails& details, NameList& list);

// A table or field name between grave accents, with any grave accent inside
// it doubled so the statement names the real table or field.
QString QuoteName(const QString& name);

// A value's standard text form: numbers in decimal, dates as the server
// writes them, the empty text for null; bytes as 0x and upper-case hex.
QString ValueText(const QVariant& value);
bool IsBytes(const QVariant& value);

}  // namespace MySQL
