// The command line's connection: its options, spelt as the mysql client
// spells them, read over the option files; and the password, looked for
// where the clients look, then where the window saved one.
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>

#include "commandline/internal.h"
#include "commandline/options.h"
#include "shell/keyring.h"
#include "shell/settings.h"

namespace CommandLine {
namespace {

constexpr const char* kTlsValues[] = {"ssl-mode", "ssl-ca",  "ssl-capath",  "ssl-cert",   "ssl-key",
                                      "ssl-cipher", "ssl-crl", "ssl-crlpath", "tls-version"};
constexpr const char* kTlsSwitches[] = {"ssl", "skip-ssl", "ssl-verify-server-cert"};

// What was given: the command line's options, over the option files'.
struct Given {
  const QCommandLineParser& parser;
  QHash<QString, QString> file;

  bool IsSet(const char* name) const { return parser.isSet(QLatin1String(name)); }
  QString Pick(const char* name, const QString& fallback) const {
    const QString option = QLatin1String(name);
    if (parser.isSet(option)) return parser.value(option);
    return file.value(option, fallback);
  }
};

// The password the window saved for these details, where it saved one.
QString SavedPassword(const MySQL::ConnectionDetails& d) {
  QString found;
  bool done = false;
  QEventLoop loop;
  const bool now = Main::ReadPassword(Main::PasswordAccount(d.server, d.port, d.user), Main::kKeyringTimeoutMs,
                                      &loop, [&](const Main::SavedPassword& saved) {
                                        // The settings file's password is the window's own server's.
                                        const bool sameServer =
                                            Main::GetSetting(QStringLiteral("MyServer"), QString()) == d.server &&
                                            Main::GetSetting(QStringLiteral("MyPort"), QStringLiteral("3306")) ==
                                                d.port &&
                                            Main::GetSetting(QStringLiteral("MyUser"), QString()) == d.user;
                                        if (!saved.inFile || sameServer) found = saved.text;
                                        done = true;
                                        loop.quit();
                                      });
  if (!now && !done) loop.exec();
  return found;
}

// The option files' groups and the login file's, into `g.file`; a status
// where they cannot be read as asked.
std::optional<int> ReadFiles(Given& g, const Common& c) {
  const QString loginPath = g.parser.value(QStringLiteral("login-path"));
  if (g.IsSet("login-path") && loginPath.trimmed().isEmpty())
    return Usage(c.command, QStringLiteral("--login-path takes a name, as mysql_config_editor gives it"));
  bool loginPathFound = false;
  if (!g.IsSet("no-defaults")) {
    QStringList files = DefaultOptionFiles();
    if (g.IsSet("defaults-file")) {
      files = {g.parser.value(QStringLiteral("defaults-file"))};
      if (!QFile::exists(files.front()))
        return Usage(c.command, QStringLiteral("the option file %1 does not exist").arg(files.front()));
    }
    QString unreadable;
    g.file = ReadOptionFiles(files, &unreadable, loginPath, &loginPathFound);
    if (!unreadable.isEmpty()) Err(QStringLiteral("the option file %1 cannot be read; going on without it").arg(unreadable));
  }
  // The login file comes last, and is read even with --no-defaults or
  // --defaults-file, as the mysql client reads it.
  const std::optional<QString> passedOver = ReadLoginFile(LoginFilePath(), loginPath, g.file, &loginPathFound);
  if (passedOver) Err(*passedOver);
  if (loginPath.isEmpty() || loginPathFound) return std::nullopt;
  // Connecting without the login it names would be a guess. A login file
  // passed over was not looked into: it may well hold the name.
  return Refuse(kNotDone,
                passedOver ? QStringLiteral("no option file read holds the login path %1, and the login file %2 was "
                                            "passed over, so it was not looked for there")
                                 .arg(loginPath, LoginFilePath())
                           : QStringLiteral("no option file holds the login path %1 (%2 has none of that name)")
                                 .arg(loginPath, LoginFilePath()));
}

// What the ssl options demand, the command line's after the files'; one
// that cannot be honoured stops everything here, naming it.
std::optional<int> ReadTls(const Given& g, Common& c) {
  QList<std::pair<QString, QString>> tlsGiven;
  for (auto it = g.file.constBegin(); it != g.file.constEnd(); ++it) tlsGiven.append({it.key(), it.value()});
  for (const char* name : kTlsValues)
    if (g.IsSet(name)) tlsGiven.append({QLatin1String(name), g.parser.value(QLatin1String(name))});
  for (const char* name : kTlsSwitches)
    if (g.IsSet(name)) tlsGiven.append({QLatin1String(name), QString()});
  if (const std::optional<QString> refused = ReadTlsOptions(tlsGiven, c.details.tls)) return Refuse(kNotDone, *refused);
  return std::nullopt;
}

// The server, the login and the database; the socket, where the mysql
// client would take it: localhost (or no host) unless TCP is asked for, or
// whatever the host with SOCKET.
std::optional<int> ReadServer(const Given& g, Common& c) {
  c.details.server = g.Pick("host", QStringLiteral("localhost"));
  c.details.port = g.Pick("port", QStringLiteral("3306"));
  c.details.user = g.Pick("user", qEnvironmentVariable("USER"));
  c.details.database = g.Pick("database", QString());
  const QString protocol = g.Pick("protocol", QString()).toUpper();
  if (!protocol.isEmpty() && protocol != QLatin1String("TCP") && protocol != QLatin1String("SOCKET"))
    return Refuse(kNotDone, QStringLiteral("protocol=%1 is not one Norvale can connect with: TCP or SOCKET")
                                .arg(g.Pick("protocol", QString())));
  const bool local = c.details.server.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
  if (protocol == QLatin1String("SOCKET") || (protocol.isEmpty() && local)) {
    QString socket = g.Pick("socket", qEnvironmentVariable("MYSQL_UNIX_PORT"));
    if (socket.isEmpty()) {
      socket = QStringLiteral("/run/mysqld/mysqld.sock");  // the clients' own on this system
      for (const char* known : {"/run/mysqld/mysqld.sock", "/var/run/mysqld/mysqld.sock", "/tmp/mysql.sock"})
        if (QFileInfo::exists(QLatin1String(known))) {
          socket = QLatin1String(known);
          break;
        }
    }
    c.details.server = QStringLiteral("localhost");
    c.details.socket = socket;
  }
  return std::nullopt;
}

// The numbers and the database a command cannot go without.
std::optional<int> CheckDetails(const Given& g, Common& c, bool needsDatabase) {
  bool timeoutOk = false;
  const QString timeout = g.Pick("net-timeout", QString::number(Conversion::kNetTimeout));
  c.details.netTimeout = timeout.toInt(&timeoutOk);
  if (!timeoutOk || c.details.netTimeout < 0)
    return Usage(c.command, QStringLiteral("--net-timeout takes whole seconds, 0 for never, not %1").arg(timeout));
  bool portOk = false;
  const int port = c.details.port.toInt(&portOk);
  if (!portOk || port <= 0 || port > 65535) return Usage(c.command, QStringLiteral("the port %1 is no port").arg(c.details.port));
  if (needsDatabase && c.details.database.isEmpty())
    return Usage(c.command, QStringLiteral("no database: give -D NAME, or database= in the option file's [client] group"));
  return std::nullopt;
}

// The password: the command line's or the prompt's, the option files', the
// environment's, then the window's saved one.
std::optional<int> ReadPassword(const Given& g, Common& c) {
  if (g.IsSet("password")) {
    c.details.password = g.parser.value(QStringLiteral("password"));
  } else if (g.IsSet("ask-password")) {
    const std::optional<QString> typed = AskTerminal(QStringLiteral("Enter password: "), true);
    if (!typed) return Usage(c.command, QStringLiteral("-p asks for the password on a terminal, and there is none"));
    c.details.password = *typed;
  } else if (g.file.contains(QStringLiteral("password"))) {
    c.details.password = g.file.value(QStringLiteral("password"));
  } else if (qEnvironmentVariableIsSet("MYSQL_PWD")) {
    c.details.password = qEnvironmentVariable("MYSQL_PWD");  // after the option files, as the clients take it
  } else {
    c.details.password = SavedPassword(c.details);
  }
  return std::nullopt;
}

// The driver trims every value of the connection string, braced or not:
// such a login would be refused with a misleading "Access denied".
std::optional<int> CheckLogin(const MySQL::ConnectionDetails& d) {
  for (const auto& [what, value] :
       {std::pair(QStringLiteral("user name"), d.user), std::pair(QStringLiteral("password"), d.password)}) {
    if (!value.isEmpty() && (value.front().isSpace() || value.back().isSpace()))
      return Refuse(kNotDone, QStringLiteral("the %1 begins or ends with a space, which the ODBC driver cannot pass "
                                             "on to the server")
                                  .arg(what));
  }
  return std::nullopt;
}

}  // namespace

void AddConnectionOptions(QCommandLineParser& parser) {
  parser.addOptions({
      {{QStringLiteral("h"), QStringLiteral("host")}, QStringLiteral("The server."), QStringLiteral("host")},
      {{QStringLiteral("P"), QStringLiteral("port")}, QStringLiteral("The server's TCP port."), QStringLiteral("port")},
      {{QStringLiteral("u"), QStringLiteral("user")}, QStringLiteral("The login."), QStringLiteral("user")},
      {QStringLiteral("password"), QStringLiteral("The password; -p or --password alone asks for it."),
       QStringLiteral("password")},
      {{QStringLiteral("D"), QStringLiteral("database")}, QStringLiteral("The database."), QStringLiteral("name")},
      {{QStringLiteral("S"), QStringLiteral("socket")}, QStringLiteral("The server's Unix socket, for localhost."),
       QStringLiteral("path")},
      {QStringLiteral("protocol"), QStringLiteral("TCP or SOCKET."), QStringLiteral("protocol")},
      {QStringLiteral("net-timeout"),
       QStringLiteral("Give up a connection on which no byte moved for this many seconds while the server was not at "
                      "work on the statement (default 60; 0: never)."),
       QStringLiteral("seconds")},
      {QStringLiteral("defaults-file"), QStringLiteral("Read this option file only."), QStringLiteral("file")},
      {QStringLiteral("no-defaults"), QStringLiteral("Read no option file.")},
      {QStringLiteral("login-path"), QStringLiteral("Read this group of ~/.mylogin.cnf and the option files too."),
       QStringLiteral("name")},
      {QStringLiteral("json"), QStringLiteral("Print the summary as JSON.")},
      {QStringLiteral("help"), QStringLiteral("Show this help.")},
  });
  // The clients' TLS options, meaning what they mean to the clients.
  for (const char* name : kTlsValues)
    parser.addOption({QLatin1String(name), QStringLiteral("As the mysql client takes it."), QStringLiteral("value")});
  parser.addOptions({{QStringLiteral("ssl"), QStringLiteral("Connect only with TLS.")},
                     {QStringLiteral("skip-ssl"), QStringLiteral("Connect without TLS.")},
                     {QStringLiteral("ssl-verify-server-cert"),
                      QStringLiteral("Check the server's certificate and name; connect only with TLS.")}});
  QCommandLineOption ask(QStringLiteral("ask-password"), QStringLiteral("Ask for the password."));
  ask.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(ask);
}

int ReadCommon(QCommandLineParser& parser, Common& c, bool needsDatabase) {
  Given g{parser, {}};
  std::optional<int> stop = ReadFiles(g, c);
  if (!stop) stop = ReadTls(g, c);
  if (!stop) stop = ReadServer(g, c);
  if (!stop) stop = CheckDetails(g, c, needsDatabase);
  if (!stop) stop = ReadPassword(g, c);
  if (!stop) stop = CheckLogin(c.details);
  return stop.value_or(kConverted);
}

}  // namespace CommandLine
