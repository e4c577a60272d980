#include "database/mysql.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QTime>
#include <charconv>
#include <cstdlib>
#include <string>

namespace MySQL {

QString AttributeValue(const QString& value) {
  // Braces, with each closing brace doubled, around a value that holds what
  // would end an attribute or begin another, or spaces the driver would
  // trim: no text typed can add an attribute of its own. A plain value
  // keeps its exact form.
  const bool plain = !value.contains(u';') && !value.contains(u'{') && !value.contains(u'}') &&
                     !value.contains(u'=') && (value.isEmpty() || (!value.front().isSpace() && !value.back().isSpace()));
  if (plain) return value;
  return u'{' + QString(value).replace(u'}', QStringLiteral("}}")) + u'}';
}

QString ConnectionString(const ConnectionDetails& d) {
  QString text = QStringLiteral("DRIVER={MySQL ODBC 5.1 Driver};") + QStringLiteral("SERVER=") +
                 AttributeValue(d.server) + u';' + QStringLiteral("USER=") + AttributeValue(d.user) + u';' +
                 QStringLiteral("PASSWORD=") + AttributeValue(d.password) + u';' + QStringLiteral("DATABASE=") +
                 AttributeValue(d.database) + u';' + QStringLiteral("PORT=") + AttributeValue(d.port) + u';';
  // Through the socket, the driver is told to leave TCP.
  if (!d.socket.isEmpty()) text += QStringLiteral("TCPIP=0;SOCKET=") + AttributeValue(d.socket) + u';';
  // The driver's own names for the clients' ssl options.
  const TlsDemands& t = d.tls;
  if (t.verify) text += QStringLiteral("SSLVERIFY=1;");
  const std::pair<const char*, const QString*> files[] = {{"SSLCA", &t.ca},         {"SSLCAPATH", &t.capath},
                                                          {"SSLCERT", &t.cert},     {"SSLKEY", &t.key},
                                                          {"SSLCIPHER", &t.cipher}, {"SSLCRL", &t.crl},
                                                          {"SSLCRLPATH", &t.crlpath}, {"TLSVERSION", &t.versions}};
  for (const auto& [name, value] : files)
    if (!value->isEmpty()) text += QLatin1String(name) + u'=' + AttributeValue(*value) + u';';
  return text;
}

void ApplyTls(ADODB::Connection& connection, const ConnectionDetails& details) {
  connection.PlainText = details.tls.disabled;
}

void CheckTls(ADODB::Connection& connection, const ConnectionDetails& details) {
  if (!details.tls.required && !details.tls.verify) return;
  // The driver goes on in plain text by itself where the server offers no
  // TLS: the session says which it got.
  auto cipher = connection.Execute(QStringLiteral("SHOW SESSION STATUS LIKE 'Ssl_cipher';"));
  if (!cipher || cipher->Eof() || cipher->Value(1).toString().isEmpty())
    throw ADODB::Error(QStringLiteral("The server offers no TLS, and the connection options require it (ssl-mode, "
                                      "ssl or ssl-verify-server-cert): nothing was read or sent."));
}

void ApplyOptions(ADODB::Connection& connection, OptionSet options) {
  switch (options) {
    case OptionSet::ProbeOptions:
      break;
    case OptionSet::ListingOptions:
      connection.CursorLocation = ADODB::adUseClient;
      break;
    case OptionSet::BrowseOptions:
      connection.CommandTimeout = 5000;
      connection.ConnectionTimeout = 5000;
      connection.Mode = ADODB::adModeReadWrite;
      break;
    case OptionSet::RunOptions:
      connection.CommandTimeout = 5000;
      connection.ConnectionTimeout = 5000;
      connection.CursorLocation = ADODB::adUseClient;
      break;
  }
}

std::unique_ptr<ADODB::Connection> OpenConnection(const ConnectionDetails& details, OptionSet options) {
  auto connection = std::make_unique<ADODB::Connection>();
  ApplyOptions(*connection, options);
  ApplyTls(*connection, details);
  connection->Open(ConnectionString(details));
  CheckTls(*connection, details);
  return connection;
}

bool CanConnect(const ConnectionDetails& details) {
  ADODB::Connection connection;
  try {
    connection.Open(ConnectionString(details));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void ListTables(const ConnectionDetails& details, NameList& list) {
  list.ClearItems();
  auto connection = OpenConnection(details, ListingOptions);
  auto tables = connection->Execute(QStringLiteral("SHOW TABLES;"));
  if (!tables) throw ADODB::Error(QStringLiteral("SHOW TABLES; returned no rows"));
  const qint32 n = qint32(tables->RecordCount());
  for (qint32 i = 1; i <= n; ++i) {
    QCoreApplication::processEvents();
    const QString name = tables->Value(0).toString();
    if (name.left(3).toLower() != QLatin1String("sys")) list.AppendItem(name);
    tables->MoveNext();
  }
  tables->Close();
  connection->Close();
}

QString QuoteName(const QString& name) {
  QString quoted = name;
  quoted.replace(u'`', QStringLiteral("``"));
  return u'`' + quoted + u'`';
}

bool IsBytes(const QVariant& value) { return value.typeId() == QMetaType::QByteArray; }

QString ValueText(const QVariant& value) {
  if (value.isNull()) return QString();
  switch (value.typeId()) {
    case QMetaType::QByteArray:
      return QStringLiteral("0x") + QString::fromLatin1(value.toByteArray().toHex().toUpper());
    case QMetaType::Double:
      return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::Float: {
      // The shortest digits that give back the single-precision value; the
      // double nearest to them has those digits as its own shortest form.
      char digits[32];
      const auto end = std::to_chars(digits, digits + sizeof digits, value.toFloat(), std::chars_format::scientific);
      return QString::number(std::strtod(std::string(digits, end.ptr).c_str(), nullptr), 'g',
                             QLocale::FloatingPointShortest);
    }
    case QMetaType::QDate:
      return value.toDate().toString(QStringLiteral("yyyy-MM-dd"));
    case QMetaType::QTime:
      return value.toTime().toString(QStringLiteral("HH:mm:ss"));
    case QMetaType::QDateTime:
      return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    default:
      return value.toString();
  }
}

QString ServerIdentity(ADODB::Connection& connection) {
  try {
    auto rows = connection.Execute(QStringLiteral("SELECT @@hostname, @@port, @@datadir;"));
    if (!rows || rows->Eof()) return {};
    const QString host = rows->Value(0).toString(), port = rows->Value(1).toString(), dir = rows->Value(2).toString();
    if (host.isEmpty() || port.isEmpty()) return {};
    return host + u':' + port + u':' + dir;
  } catch (const ADODB::Error&) {
    return {};
  }
}

}  // namespace MySQL
