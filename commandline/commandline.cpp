#include "commandline/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <atomic>
#include <csignal>
#include <functional>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

#include "commandline/options.h"
#include "database/interrupt.h"
#include "conversion/engine.h"
#include "database/batch.h"
#include "database/rewrite.h"
#include "journal/store.h"
#include "shell/keyring.h"
#include "shell/settings.h"

namespace CommandLine {
namespace {

std::atomic<bool> g_interrupted{false};

// The first Ctrl+C ends the run between records; a second one at once.
void OnSignal(int number) {
  // Statements under way are ended on the server too.
  ADODB::Interrupt();
  if (g_interrupted.exchange(true)) {
    std::signal(number, SIG_DFL);
    std::raise(number);
  }
}

void Err(const QString& text) { std::fprintf(stderr, "norvale: %s\n", text.toLocal8Bit().constData()); }
void Out(const QString& text) { std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData()); }

// A usage error: the message, then where help is.
bool g_json = false;  // --json: every answer is one JSON object

// The one JSON object a command prints, on success and on failure alike.
void PrintJson(QJsonObject object, int status, const QString& error);

int Usage(const QString& command, const QString& text) {
  Err(text);
  if (g_json)
    std::fprintf(stdout, "%s\n",
                 QJsonDocument(QJsonObject{{QStringLiteral("status"), kUsage}, {QStringLiteral("error"), text}})
                     .toJson(QJsonDocument::Compact)
                     .constData());
  std::fprintf(stderr, "Try 'norvale %s --help'.\n", command.toLocal8Bit().constData());
  return kUsage;
}

// A line read from the terminal, without echo when `secret`.
std::optional<QString> AskTerminal(const QString& prompt, bool secret) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) return std::nullopt;
  std::fprintf(tty, "%s", prompt.toLocal8Bit().constData());
  std::fflush(tty);
  termios saved{};
  const bool quiet = secret && tcgetattr(fileno(tty), &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &silent);
  }
  char buffer[4096];
  const bool got = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (quiet) {
    tcsetattr(fileno(tty), TCSAFLUSH, &saved);
    std::fprintf(tty, "\n");
  }
  std::fclose(tty);
  if (!got) return QString();
  QString line = QString::fromLocal8Bit(buffer);
  while (line.endsWith(u'\n') || line.endsWith(u'\r')) line.chop(1);
  return line;
}

// A person is there to answer on the terminal, even with stderr redirected
// to a log.
bool OnTerminal() { return isatty(STDIN_FILENO); }

bool Confirm(const QString& question) {
  const std::optional<QString> answer = AskTerminal(question + QStringLiteral(" [y/N] "), false);
  return answer && (answer->trimmed().compare(QLatin1String("y"), Qt::CaseInsensitive) == 0 ||
                    answer->trimmed().compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0);
}

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

struct Common {
  QString command;
  MySQL::ConnectionDetails details;
  bool json = false, yes = false;
};

// The parser's options every command shares.
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
  for (const char* name : {"ssl-mode", "ssl-ca", "ssl-capath", "ssl-cert", "ssl-key", "ssl-cipher", "ssl-crl",
                           "ssl-crlpath", "tls-version"})
    parser.addOption({QLatin1String(name), QStringLiteral("As the mysql client takes it."), QStringLiteral("value")});
  parser.addOptions({{QStringLiteral("ssl"), QStringLiteral("Connect only with TLS.")},
                     {QStringLiteral("skip-ssl"), QStringLiteral("Connect without TLS.")},
                     {QStringLiteral("ssl-verify-server-cert"),
                      QStringLiteral("Check the server's certificate and name; connect only with TLS.")}});
  QCommandLineOption ask(QStringLiteral("ask-password"), QStringLiteral("Ask for the password."));
  ask.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(ask);
}

// Connection details from the command line, then the option files; the
// password from the command line or the prompt, the option files, then the
// window's saved one. Returns a usage status when they cannot be had.
int ReadCommon(QCommandLineParser& parser, Common& c, bool needsDatabase) {
  QHash<QString, QString> file;
  const QString loginPath = parser.value(QStringLiteral("login-path"));
  if (parser.isSet(QStringLiteral("login-path")) && loginPath.trimmed().isEmpty())
    return Usage(c.command, QStringLiteral("--login-path takes a name, as mysql_config_editor gives it"));
  bool loginPathFound = false;
  if (!parser.isSet(QStringLiteral("no-defaults"))) {
    QStringList files = DefaultOptionFiles();
    if (parser.isSet(QStringLiteral("defaults-file"))) {
      files = {parser.value(QStringLiteral("defaults-file"))};
      if (!QFile::exists(files.front()))
        return Usage(c.command, QStringLiteral("the option file %1 does not exist").arg(files.front()));
    }
    QString unreadable;
    file = ReadOptionFiles(files, &unreadable, loginPath, &loginPathFound);
    if (!unreadable.isEmpty()) Err(QStringLiteral("the option file %1 cannot be read; going on without it").arg(unreadable));
  }
  // The login file comes last, and is read even with --no-defaults or
  // --defaults-file, as the mysql client reads it.
  const std::optional<QString> passedOver = ReadLoginFile(LoginFilePath(), loginPath, file, &loginPathFound);
  if (passedOver) Err(*passedOver);
  if (!loginPath.isEmpty() && !loginPathFound) {
    // Connecting without the login it names would be a guess. A login file
    // passed over was not looked into: it may well hold the name.
    const QString refused =
        passedOver ? QStringLiteral("no option file read holds the login path %1, and the login file %2 was passed "
                                    "over, so it was not looked for there")
                         .arg(loginPath, LoginFilePath())
                   : QStringLiteral("no option file holds the login path %1 (%2 has none of that name)")
                         .arg(loginPath, LoginFilePath());
    Err(refused);
    if (g_json) PrintJson({}, kNotDone, refused);
    return kNotDone;
  }
  const auto pick = [&](const char* name, const QString& fallback) {
    const QString option = QLatin1String(name);
    if (parser.isSet(option)) return parser.value(option);
    return file.value(option, fallback);
  };
  // What the ssl options demand, the command line's after the files'; one
  // that cannot be honoured stops everything here, naming it.
  QList<std::pair<QString, QString>> tlsGiven;
  for (auto it = file.constBegin(); it != file.constEnd(); ++it) tlsGiven.append({it.key(), it.value()});
  for (const char* name : {"ssl-mode", "ssl-ca", "ssl-capath", "ssl-cert", "ssl-key", "ssl-cipher", "ssl-crl",
                           "ssl-crlpath", "tls-version"})
    if (parser.isSet(QLatin1String(name))) tlsGiven.append({QLatin1String(name), parser.value(QLatin1String(name))});
  for (const char* name : {"ssl", "skip-ssl", "ssl-verify-server-cert"})
    if (parser.isSet(QLatin1String(name))) tlsGiven.append({QLatin1String(name), QString()});
  if (const std::optional<QString> refused = ReadTlsOptions(tlsGiven, c.details.tls)) {
    Err(*refused);
    if (g_json) PrintJson({}, kNotDone, *refused);
    return kNotDone;
  }
  c.details.server = pick("host", QStringLiteral("localhost"));
  c.details.port = pick("port", QStringLiteral("3306"));
  c.details.user = pick("user", qEnvironmentVariable("USER"));
  c.details.database = pick("database", QString());
  // The socket, where the mysql client would take it: localhost (or no
  // host) unless TCP is asked for, or whatever the host with SOCKET.
  const QString protocol = pick("protocol", QString()).toUpper();
  if (!protocol.isEmpty() && protocol != QLatin1String("TCP") && protocol != QLatin1String("SOCKET")) {
    Err(QStringLiteral("protocol=%1 is not one Norvale can connect with: TCP or SOCKET").arg(pick("protocol", QString())));
    return kNotDone;
  }
  const bool local = c.details.server.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
  if (protocol == QLatin1String("SOCKET") || (protocol.isEmpty() && local)) {
    QString socket = pick("socket", qEnvironmentVariable("MYSQL_UNIX_PORT"));
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
  bool timeoutOk = false;
  const QString timeout = pick("net-timeout", QString::number(Conversion::kNetTimeout));
  c.details.netTimeout = timeout.toInt(&timeoutOk);
  if (!timeoutOk || c.details.netTimeout < 0)
    return Usage(c.command, QStringLiteral("--net-timeout takes whole seconds, 0 for never, not %1").arg(timeout));
  bool portOk = false;
  const int port = c.details.port.toInt(&portOk);
  if (!portOk || port <= 0 || port > 65535) return Usage(c.command, QStringLiteral("the port %1 is no port").arg(c.details.port));
  if (needsDatabase && c.details.database.isEmpty())
    return Usage(c.command, QStringLiteral("no database: give -D NAME, or database= in the option file's [client] group"));
  if (parser.isSet(QStringLiteral("password"))) {
    c.details.password = parser.value(QStringLiteral("password"));
  } else if (parser.isSet(QStringLiteral("ask-password"))) {
    const std::optional<QString> typed = AskTerminal(QStringLiteral("Enter password: "), true);
    if (!typed) return Usage(c.command, QStringLiteral("-p asks for the password on a terminal, and there is none"));
    c.details.password = *typed;
  } else if (file.contains(QStringLiteral("password"))) {
    c.details.password = file.value(QStringLiteral("password"));
  } else if (qEnvironmentVariableIsSet("MYSQL_PWD")) {
    c.details.password = qEnvironmentVariable("MYSQL_PWD");  // after the option files, as the clients take it
  } else {
    c.details.password = SavedPassword(c.details);
  }
  // The driver trims every value of the connection string, braced or not:
  // such a login would be refused with a misleading "Access denied".
  for (const auto& [what, value] : {std::pair(QStringLiteral("user name"), c.details.user),
                                    std::pair(QStringLiteral("password"), c.details.password)}) {
    if (!value.isEmpty() && (value.front().isSpace() || value.back().isSpace())) {
      Err(QStringLiteral("the %1 begins or ends with a space, which the ODBC driver cannot pass on to the server")
              .arg(what));
      return kNotDone;
    }
  }
  return kConverted;
}

// For an answer that found no run on this server: the runs of the same
// database (table and field) the journal holds from other servers, such as
// another node of a cluster or a primary before a failover, where it holds
// any.
QString MadeElsewhere(Journal::Store& store, const QString& database, const QString& table, const QString& field) {
  QStringList runs;
  for (const Journal::Store::Listed& l : store.Runs({QString(), QString(), database, table, field, QString()}))
    if (!l.header.undone)
      runs << QStringLiteral("run %1 through %2:%3").arg(l.header.id).arg(l.header.target.server, l.header.target.port);
  if (runs.isEmpty()) return {};
  return QStringLiteral("; the journal holds %1, made on another server (`norvale history` lists them): connect "
                        "through that server to take them back or continue them")
      .arg(runs.mid(0, 3).join(QStringLiteral(", ")) + (runs.size() > 3 ? QStringLiteral(" and more") : QString()));
}

// Prints each record's failure as it comes, and progress where a person
// watches.
class Reporter : public Conversion::Listener {
 public:
  explicit Reporter(bool quiet) : quiet_(quiet), progress_(isatty(STDERR_FILENO)) { clock_.start(); }
  void RecordFailed(qint64 record, const QString& key, const QString& given, Conversion::Failure, qint64 rows) override {
    if (quiet_) return;
    ClearProgress();
    // The case rules count a value's characters up to 32,766.
    const QString text = given == QLatin1String("Overflow")
                             ? QStringLiteral("Overflow: the value has 32,767 characters or more, more than the case "
                                              "rules take; it is left as it is")
                             : given;
    const QString which = key.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(key);
    if (rows > 1) {
      Err(QStringLiteral("record %1%2: %3 (and %4 more records holding the same value)")
              .arg(record + 1)
              .arg(which, text)
              .arg(rows - 1));
    } else {
      Err(QStringLiteral("record %1%2: %3").arg(record + 1).arg(which, text));
    }
  }
  void Waiting(const QString& why) override {
    if (why.isEmpty()) return;
    ClearProgress();
    Err(QStringLiteral("waiting: %1").arg(why));
  }
  void Progress(qint64 record, qint64 count) {
    // Timed from the first record sent, not from a question answered.
    if (record == 0) clock_.restart();
    if (!progress_ || quiet_ || count <= 0 || (record % 256 != 0 && record + 1 != count)) return;
    const qint64 ms = clock_.elapsed();
    if (ms - shownAt_ < 200 && record + 1 != count) return;
    shownAt_ = ms;
    const double perSecond = ms > 0 ? double(record + 1) * 1000.0 / double(ms) : 0.0;
    const qint64 left = perSecond > 0 ? qint64(double(count - record - 1) / perSecond) : 0;
    std::fprintf(stderr, "\r%3d%%  %.0f rows/s  %lld:%02lld left   ", int((record + 1) * 100 / count), perSecond,
                 left / 60, left % 60);
    std::fflush(stderr);
    shown_ = true;
  }
  void ClearProgress() {
    if (!shown_) return;
    std::fprintf(stderr, "\r%40s\r", "");
    shown_ = false;
  }

 private:
  bool quiet_, progress_;
  bool shown_ = false;
  QElapsedTimer clock_;
  qint64 shownAt_ = -1000;
};

std::optional<Case::CaseMode> ModeFromName(const QString& name) {
  static const QHash<QString, Case::CaseMode> modes = {{QStringLiteral("upper"), Case::CaseMode::CaseUpper},
                                                       {QStringLiteral("lower"), Case::CaseMode::CaseLower},
                                                       {QStringLiteral("proper"), Case::CaseMode::CaseProper},
                                                       {QStringLiteral("sentence"), Case::CaseMode::CaseSentence},
                                                       {QStringLiteral("name"), Case::CaseMode::CaseName}};
  const auto found = modes.constFind(name.toLower());
  if (found == modes.constEnd()) return std::nullopt;
  return *found;
}

QJsonObject SummaryJson(const Conversion::Summary& t) {
  return {{QStringLiteral("read"), t.read},
          {QStringLiteral("changed"), t.changed},
          {QStringLiteral("unchanged"), t.unchanged},
          {QStringLiteral("refused"), t.refused},
          {QStringLiteral("not_convertible"), t.notConvertible},
          {QStringLiteral("not_changed"), t.notChanged},
          {QStringLiteral("changed_since"), t.changedSince},
          {QStringLiteral("same_value"), t.sameValue},
          {QStringLiteral("not_matching"), t.notMatching},
          {QStringLiteral("stored_otherwise"), t.storedOtherwise},
          {QStringLiteral("kept_mixed"), t.keptMixed},
          {QStringLiteral("waited_seconds"), std::round(t.waitedSeconds * 10) / 10},
          {QStringLiteral("waited_for"), QJsonArray::fromStringList(t.waitedFor)}};
}

void Merge(QJsonObject& into, const QJsonObject& from) {
  for (auto it = from.constBegin(); it != from.constEnd(); ++it) into.insert(it.key(), it.value());
}

// The one JSON object a command prints, on success and on failure alike.
void PrintJson(QJsonObject object, int status, const QString& error) {
  object.insert(QStringLiteral("status"), status);
  if (!error.isEmpty()) object.insert(QStringLiteral("error"), error);
  Out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

// Rows the run sent but the server left as they were, said on stderr.
void ReportNotChanged(const QString& where, const Conversion::Summary& t) {
  if (t.storedOtherwise > 0)
    Err(QStringLiteral("%1: %2 rows were stored otherwise than sent: the table's trigger %3 rewrites what is "
                       "written; the journal keeps what they hold")
            .arg(where)
            .arg(t.storedOtherwise)
            .arg(t.triggers));
  if (t.notChanged <= 0) return;
  QStringList why;
  if (t.changedSince > 0) why << QStringLiteral("%1 changed by another client since they were read").arg(t.changedSince);
  if (t.sameValue > 0) why << QStringLiteral("%1 where the column stored the same value again").arg(t.sameValue);
  if (t.notMatching > 0) why << QStringLiteral("%1 that --where no longer picks").arg(t.notMatching);
  Err(QStringLiteral("%1: %2 rows were sent but not changed by the server%3")
          .arg(where)
          .arg(t.notChanged)
          .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + why.join(QStringLiteral(", "))));
}

// How to continue a run that ended early, where it can be.
void TellResumable(const Conversion::Run& run) {
  if (run.Resumable() && run.Totals().read > 0)
    Err(QStringLiteral("the same command with --resume continues the run after the last row it settled"));
}

int Convert(QCommandLineParser& parser, Common& c) {
  const QString table = parser.value(QStringLiteral("table"));
  const QStringList fields = parser.values(QStringLiteral("field"));
  if (table.isEmpty()) return Usage(c.command, QStringLiteral("--table is needed"));
  if (fields.isEmpty()) return Usage(c.command, QStringLiteral("--field is needed"));
  const std::optional<Case::CaseMode> mode = ModeFromName(parser.value(QStringLiteral("mode")));
  if (!mode) return Usage(c.command, QStringLiteral("--mode is one of upper, lower, proper, sentence, name"));
  const bool dry = parser.isSet(QStringLiteral("dry-run"));
  bool sampleOk = true;
  const int samples = parser.isSet(QStringLiteral("sample")) ? parser.value(QStringLiteral("sample")).toInt(&sampleOk) : 10;
  if (!sampleOk || samples < 0) return Usage(c.command, QStringLiteral("--sample takes a number"));
  const bool ask = !dry && !c.yes;
  if (ask && !OnTerminal())
    return Usage(c.command, QStringLiteral("there is no terminal to confirm on: add --yes to convert without asking"));

  const qint64 limit = Conversion::JournalLimit(Main::GetSetting(Conversion::kJournalLimitSetting, QString()));
  // The user's word list: the one named, else the window's.
  Conversion::Words words;
  const QString wordsFile =
      parser.isSet(QStringLiteral("words")) ? parser.value(QStringLiteral("words")) : Main::WordsFilePath();
  if (parser.isSet(QStringLiteral("words")) && !QFileInfo(wordsFile).isFile()) {
    const QString refused = QStringLiteral("the word list %1 does not exist").arg(wordsFile);
    Err(refused);
    if (c.json) PrintJson({}, kNotDone, refused);
    return kNotDone;
  }
  try {
    words = Conversion::ReadWords(wordsFile);
  } catch (const std::exception& e) {
    Err(QString::fromStdString(e.what()));
    if (c.json) PrintJson({}, kNotDone, QString::fromStdString(e.what()));
    return kNotDone;
  }
  const bool keepMixed = parser.isSet(QStringLiteral("keep-mixed"));
  // What the run waits for on a live server.
  Conversion::Gentle gentle;
  if (parser.isSet(QStringLiteral("max-load")))
    if (const std::optional<QString> fault = Conversion::ReadLoads(parser.value(QStringLiteral("max-load")), gentle.maxLoad))
      return Usage(c.command, QStringLiteral("--max-load: %1").arg(*fault));
  if (parser.isSet(QStringLiteral("critical-load")))
    if (const std::optional<QString> fault =
            Conversion::ReadCriticalLoad(parser.value(QStringLiteral("critical-load")), gentle.criticalLoad))
      return Usage(c.command, QStringLiteral("--critical-load: %1").arg(*fault));
  gentle.pauseFile = parser.value(QStringLiteral("pause-file"));
  if (parser.isSet(QStringLiteral("max-lag"))) {
    bool ok = false;
    gentle.maxLag = parser.value(QStringLiteral("max-lag")).toInt(&ok);
    if (!ok || gentle.maxLag < 0) return Usage(c.command, QStringLiteral("--max-lag takes whole seconds, 0 for no check"));
  }
  gentle.replicas = parser.values(QStringLiteral("replica"));
  if (parser.isSet(QStringLiteral("chunk-time"))) {
    bool ok = false;
    gentle.chunkTime = parser.value(QStringLiteral("chunk-time")).toDouble(&ok);
    if (!ok || gentle.chunkTime < 0) return Usage(c.command, QStringLiteral("--chunk-time takes seconds, 0 for groups of 1,000"));
  }
  if (parser.isSet(QStringLiteral("lock-wait"))) {
    bool ok = false;
    gentle.lockWait = parser.value(QStringLiteral("lock-wait")).toInt(&ok);
    if (!ok || gentle.lockWait < 1) return Usage(c.command, QStringLiteral("--lock-wait takes whole seconds, 1 or more"));
  }
  // Only the rows a condition picks: one expression, refused before
  // anything is read or sent where it could be more.
  const QString condition = parser.value(QStringLiteral("where")).trimmed();
  if (parser.isSet(QStringLiteral("where")))
    if (const std::optional<QString> fault = Rewrite::ConditionFault(condition))
      return Usage(c.command, QStringLiteral("--where takes one SQL expression over the table's columns: %1").arg(*fault));
  const bool resume = parser.isSet(QStringLiteral("resume"));
  if (resume && fields.size() > 1) return Usage(c.command, QStringLiteral("--resume continues the run of one --field"));
  QJsonArray runs;
  int status = kConverted;
  QString error;
  const auto worse = [&](int s) {
    if (status == kConverted || (status == kSomeLeft && s != kConverted)) status = s;
  };
  for (const QString& field : fields) {
    Conversion::Request request{c.details, table, field, *mode, Conversion::ModeText(*mode), condition};
    const QString where = QStringLiteral("%1.%2.%3").arg(c.details.database, table, field);
    Reporter reporter(false);
    Conversion::Options options;
    if (resume) {
      // The field's newest run, however the server is reached; its
      // condition unless another is given, which refuses it.
      std::optional<Journal::RunHeader> last;
      QString elsewhere;
      try {
        Journal::Store store;
        const std::vector<Journal::Store::Listed> listed = store.Runs(
            {c.details.server, c.details.port, c.details.database, table, field,
             Conversion::ServerIdentity(c.details, false)});
        if (!listed.empty()) last = listed.front().header;
        else elsewhere = MadeElsewhere(store, c.details.database, table, field);
        // Its newest run may be among those a recovery lost whole.
        if (last && last->id < store.LostThrough()) {
          const QString refused =
              QStringLiteral("%1 cannot be continued: the journal's recovery lost its newest runs, so run %2 may not "
                             "be the field's newest")
                  .arg(where)
                  .arg(last->id);
          Err(refused);
          if (c.json) PrintJson({}, kNotDone, refused);
          return kNotDone;
        }
      } catch (const std::exception& e) {
        Err(QString::fromStdString(e.what()));
        if (c.json) PrintJson({}, kNotDone, QString::fromStdString(e.what()));
        return kNotDone;
      }
      if (last && !parser.isSet(QStringLiteral("where"))) request.where = last->where;
      if (const std::optional<QString> why =
              Conversion::NotResumable(last, request.modeText, request.where, words.hash)) {
        const QString refused = QStringLiteral("%1 cannot be continued: %2").arg(where, *why) + elsewhere;
        Err(refused);
        if (c.json) PrintJson({}, kNotDone, refused);
        return kNotDone;
      }
      if (last->ended == QLatin1String("running"))
        Err(QStringLiteral("run %1 did not say how it ended (the program was killed, or it is still running "
                           "elsewhere): continuing it after the last row it is known to have settled")
                .arg(last->id));
      else
        Err(QStringLiteral("continuing run %1 (%2) after record %3").arg(last->id).arg(last->ended).arg(last->nextRecord));
      options.resume = last;
    }
    options.journalLimit = limit;
    options.dryRun = dry;
    options.samples = samples;
    options.words = words.list;
    options.wordsHash = words.hash;
    options.keepMixed = keepMixed;
    options.gentle = gentle;
    QJsonObject one{{QStringLiteral("database"), c.details.database}, {QStringLiteral("table"), table},
                    {QStringLiteral("field"), field}, {QStringLiteral("mode"), request.modeText},
                    {QStringLiteral("dry_run"), dry}};
    if (!request.where.isEmpty()) one.insert(QStringLiteral("where"), request.where);
    if (options.resume) one.insert(QStringLiteral("resumed"), options.resume->id);
    std::optional<Conversion::Run> run;
    try {
      if (ask) {
        // What would change, read first; nothing is sent until the user says so.
        Reporter quiet(true);
        Conversion::Options look = options;
        look.dryRun = true;
        Conversion::Run preview(quiet, look);
        Conversion::Drive(preview, quiet, request, nullptr, [] { return g_interrupted.load(); });
        if (g_interrupted) {
          status = kInterrupted;
          error = QStringLiteral("interrupted before anything was sent");
          Err(error);
          break;
        }
        const QString keyless = preview.Keyless();
        QString question = QStringLiteral("Convert %1 rows of %2 to %3?")
                               .arg(preview.Totals().changed)
                               .arg(where, request.modeText);
        if (!keyless.isEmpty())
          question += QStringLiteral(" It cannot be undone exactly: %1.").arg(Conversion::KeylessReason(table, keyless));
        if (!Confirm(question)) {
          Err(QStringLiteral("%1 left as it is").arg(where));
          one.insert(QStringLiteral("declined"), true);
          runs.append(one);
          worse(kSomeLeft);
          continue;
        }
      }
      run.emplace(reporter, options);
      Conversion::Drive(*run, reporter, request, [&](qint64 r, qint64 n) { reporter.Progress(r, n); },
                        [] { return g_interrupted.load(); });
      reporter.ClearProgress();
      const Conversion::Summary& t = run->Totals();
      if (t.refused + t.notConvertible + t.notChanged + t.storedOtherwise > 0) worse(kSomeLeft);
      Merge(one, SummaryJson(t));
      one.insert(QStringLiteral("interrupted"), g_interrupted.load());
      one.insert(QStringLiteral("undoable"), run->Keyless().isEmpty());
      QJsonArray sample;
      for (const Conversion::Sample& s : run->Samples())
        sample.append(QJsonObject{{QStringLiteral("record"), s.record + 1}, {QStringLiteral("old"), s.oldText},
                                  {QStringLiteral("new"), s.newText}});
      if (dry) one.insert(QStringLiteral("sample"), sample);
      runs.append(one);
      if (!c.json) {
        Out(QStringLiteral("%1 (%2)%3: %4 read, %5 %6, %7 unchanged, %8 refused, %9 not convertible")
                .arg(where, request.modeText, dry ? QStringLiteral(", dry run") : QString())
                .arg(t.read)
                .arg(t.changed)
                .arg(dry ? QStringLiteral("would change") : QStringLiteral("changed"))
                .arg(t.unchanged)
                .arg(t.refused)
                .arg(t.notConvertible) +
            (keepMixed ? QStringLiteral(", %1 kept in mixed case").arg(t.keptMixed) : QString()) +
            (t.waitedFor.isEmpty() ? QString()
                                   : QStringLiteral(", waited %1 s for %2")
                                         .arg(t.waitedSeconds, 0, 'f', 1)
                                         .arg(t.waitedFor.join(QStringLiteral(", ")))));
        if (dry && !run->Keyless().isEmpty())
          Out(QStringLiteral("  this run could not be undone exactly: %1")
                  .arg(Conversion::KeylessReason(table, run->Keyless())));
        for (const Conversion::Sample& s : run->Samples())
          Out(QStringLiteral("  record %1: %2 -> %3").arg(s.record + 1).arg(s.oldText, s.newText));
      }
      ReportNotChanged(where, t);
      if (g_interrupted) {
        status = kInterrupted;
        error = QStringLiteral("interrupted: what was sent is in the journal, and `norvale undo` takes it back");
        Err(error);
        TellResumable(*run);
        break;
      }
    } catch (const std::exception& e) {
      reporter.ClearProgress();
      // Ctrl+C ended the statement under way: an interruption like the
      // others, not a failure.
      if (g_interrupted) {
        status = kInterrupted;
        error = run ? QStringLiteral("interrupted: what was sent is in the journal, and `norvale undo` takes it back")
                    : QStringLiteral("interrupted before anything was sent");
        Err(error);
        if (run) {
          Merge(one, SummaryJson(run->Totals()));
          one.insert(QStringLiteral("interrupted"), true);
          runs.append(one);
          TellResumable(*run);
        }
        break;
      }
      error = QStringLiteral("%1: %2").arg(where, QString::fromStdString(e.what()));
      // The server found the condition no expression before anything was
      // read or sent: a usage error like the others.
      const auto* server = dynamic_cast<const ADODB::Error*>(&e);
      if (!condition.isEmpty() && server && server->nativeError == 1064 && (!run || run->Totals().read == 0)) {
        const QString refused = QStringLiteral("--where is not one SQL expression over %1's columns: %2")
                                    .arg(table, QString::fromStdString(e.what()));
        Err(refused);
        if (c.json) PrintJson({}, kUsage, refused);
        return kUsage;
      }
      Err(error);
      // What the run did before it ended still counts.
      if (run) {
        const Conversion::Summary& t = run->Totals();
        Merge(one, SummaryJson(t));
        if (t.changed > 0)
          Err(QStringLiteral("%1 rows were changed before the run ended; `norvale undo` takes them back").arg(t.changed));
        TellResumable(*run);
      }
      one.insert(QStringLiteral("error"), QString::fromStdString(e.what()));
      runs.append(one);
      status = kNotDone;
      break;
    }
  }
  if (c.json) PrintJson(QJsonObject{{QStringLiteral("runs"), runs}}, status, error);
  return status;
}

// Said once a damaged journal's readable runs are in a new file.
void TellRecovered(const QString& keptAs) {
  Err(QStringLiteral("the undo journal was damaged: the runs it could still read are in a new journal, and the "
                     "damaged file is kept as %1")
          .arg(keptAs));
}

// A command that reads the journal: where the journal is damaged, once
// more on the runs it could still read.
int WithJournal(const std::function<int()>& command) {
  try {
    return Journal::Recovering(command, TellRecovered);
  } catch (const std::exception& e) {
    Err(QString::fromStdString(e.what()));
    if (g_json) PrintJson({}, kNotDone, QString::fromStdString(e.what()));
    return kNotDone;
  }
}

int UndoFrom(QCommandLineParser& parser, Common& c);

int UndoCommand(QCommandLineParser& parser, Common& c) {
  return WithJournal([&] { return UndoFrom(parser, c); });
}

int UndoFrom(QCommandLineParser& parser, Common& c) {
  const QString table = parser.value(QStringLiteral("table")), field = parser.value(QStringLiteral("field"));
  if (table.isEmpty() != field.isEmpty()) return Usage(c.command, QStringLiteral("--table and --field go together"));
  bool idOk = true;
  const qint64 id = parser.isSet(QStringLiteral("run")) ? parser.value(QStringLiteral("run")).toLongLong(&idOk) : 0;
  if (parser.isSet(QStringLiteral("run")) && (!idOk || id <= 0))
    return Usage(c.command, QStringLiteral("--run takes a run's id, as norvale history shows it"));
  if (id > 0 && !table.isEmpty()) return Usage(c.command, QStringLiteral("--run names its run alone: leave out --table and --field"));
  if (!c.yes && !OnTerminal())
    return Usage(c.command, QStringLiteral("there is no terminal to confirm on: add --yes to undo without asking"));
  QJsonObject answer;
  const auto done = [&](int status, const QString& error) {
    if (!error.isEmpty()) Err(error);
    if (c.json) PrintJson(answer, status, error);
    return status;
  };
  try {
    Journal::Store store;
    std::optional<Journal::RunHeader> run;
    // The server as it names itself finds its runs however it is reached.
    const QString serverId = Conversion::ServerIdentity(c.details, false);
    if (id > 0) {
      // A run chosen by its id: only on the server and database it ran on.
      for (const Journal::Store::Listed& l : store.Runs({}))
        if (l.header.id == id) run = l.header;
      if (!run) return done(kNotDone, QStringLiteral("the journal holds no run %1").arg(id));
      const Journal::Target& t = run->target;
      const bool sameServer = !t.serverId.isEmpty() && !serverId.isEmpty()
                                  ? t.serverId == serverId
                                  : t.server == c.details.server && t.port == c.details.port;
      if (!sameServer || t.database != c.details.database)
        return done(kNotDone, QStringLiteral("run %1 was made on %2:%3, database %4: connect there (-h, -P, -D) to undo it")
                                  .arg(id)
                                  .arg(t.server, t.port, t.database));
      if (run->undone) return done(kNotDone, QStringLiteral("run %1 has been undone already").arg(id));
    } else {
      for (const Journal::Store::Listed& l :
           store.Runs({c.details.server, c.details.port, c.details.database, table, field, serverId})) {
        if (!l.header.undone) {
          run = l.header;
          break;
        }
      }
      // A recovery that lost the newest runs whole leaves "the newest run"
      // unknown: an older one is taken back only by name.
      if (const qint64 lostThrough = store.LostThrough(); run && run->id < lostThrough)
        return done(kNotDone, QStringLiteral("the journal's recovery lost its newest runs (numbered up to %1), so run "
                                             "%2 may not be the newest here: name the run to undo with --run "
                                             "(norvale history lists the runs it kept)")
                                  .arg(lostThrough)
                                  .arg(run->id));
    }
    const QString on = table.isEmpty() ? c.details.database : QStringLiteral("%1.%2.%3").arg(c.details.database, table, field);
    if (!run)
      return done(kNotDone, QStringLiteral("there is no run on %1 to undo on this server").arg(on) +
                                MadeElsewhere(store, c.details.database, table, field));
    const QString where = QStringLiteral("%1.%2.%3").arg(run->target.database, run->target.table, run->target.field);
    answer = {{QStringLiteral("run"), run->id},         {QStringLiteral("database"), run->target.database},
              {QStringLiteral("table"), run->target.table}, {QStringLiteral("field"), run->target.field},
              {QStringLiteral("mode"), run->mode}};
    if (!run->keyless.isEmpty())
      return done(kNotDone, QStringLiteral("the run %1 on %2 cannot be undone exactly: %3. Nothing was changed.")
                                .arg(run->id)
                                .arg(where, Conversion::KeylessReason(run->target.table, run->keyless)));
    const QString time = QLocale().toString(run->time.toLocalTime(), QLocale::ShortFormat);
    if (!c.yes &&
        !Confirm(QStringLiteral("Undo run %1 of %2 on %3 (%4, %5 rows)?").arg(run->id).arg(time, where, run->mode).arg(run->rows))) {
      answer.insert(QStringLiteral("declined"), true);
      return done(kSomeLeft, QStringLiteral("nothing was changed"));
    }
    Reporter reporter(false);
    const Conversion::UndoResult result = Conversion::Undo(
        c.details, *run, store, [&](qint64 i, qint64 n) { reporter.Progress(i, n); }, false,
        [] { return g_interrupted.load(); });
    reporter.ClearProgress();
    answer.insert(QStringLiteral("restored"), result.restored);
    answer.insert(QStringLiteral("left"), result.left);
    answer.insert(QStringLiteral("interrupted"), result.interrupted);
    if (!c.json)
      Out(QStringLiteral("%1: %2 rows restored, %3 rows changed since were left as they are.")
              .arg(where)
              .arg(result.restored)
              .arg(result.left));
    if (result.interrupted)
      return done(kInterrupted, QStringLiteral("interrupted: what was restored stays restored, and `norvale undo --run "
                                               "%1` takes back the rest")
                                    .arg(run->id));
    if (result.left > 0 && !result.triggers.isEmpty())
      return done(kSomeLeft, QStringLiteral("%1 rows of run %2 do not hold their old value: the table's trigger %3 "
                                            "rewrites what is written, or another client changed them since; the run "
                                            "stays in the journal")
                                 .arg(result.left)
                                 .arg(run->id)
                                 .arg(result.triggers));
    if (result.left > 0)
      return done(kSomeLeft, QStringLiteral("%1 rows of run %2 were changed since and left as they are; the run stays "
                                            "in the journal, and `norvale undo --run %2` tries them again")
                                 .arg(result.left)
                                 .arg(run->id));
    if (run->lost != 0)
      return done(kSomeLeft, QStringLiteral("run %1 lost %2 of its entries to the journal's damage: their rows were not "
                                            "restored, and no undo can restore them")
                                 .arg(run->id)
                                 .arg(run->lost > 0 ? QString::number(run->lost) : QStringLiteral("some")));
    return done(kConverted, QString());
  } catch (const Journal::Damaged&) {
    throw;  // read again once its runs are recovered
  } catch (const std::exception& e) {
    // Ctrl+C ended the statement under way.
    if (g_interrupted)
      return done(kInterrupted, QStringLiteral("interrupted: what was restored stays restored, and `norvale undo` "
                                               "takes back the rest"));
    return done(kNotDone, QString::fromStdString(e.what()));
  }
}

int HistoryFrom(QCommandLineParser& parser, Common& c);

int History(QCommandLineParser& parser, Common& c) {
  return WithJournal([&] { return HistoryFrom(parser, c); });
}

// Whether `convert --resume` would take the run up again: the newest of
// its target, as the journal lists them, is asked again then.
bool Resumable(const Journal::RunHeader& h) { return !h.ended.isEmpty() && !h.undone && !h.keyNames.isEmpty(); }

int HistoryFrom(QCommandLineParser& parser, Common& c) {
  try {
    Journal::Store store;
    Journal::Target where;
    where.table = parser.value(QStringLiteral("table"));
    where.database = parser.value(QStringLiteral("database"));
    QJsonArray list;
    for (const Journal::Store::Listed& l : store.Runs(where)) {
      const Journal::RunHeader& h = l.header;
      const QString time = h.time.toLocalTime().toString(Qt::ISODate);
      if (c.json) {
        list.append(QJsonObject{{QStringLiteral("id"), h.id},
                                {QStringLiteral("time"), h.time.toUTC().toString(Qt::ISODateWithMs)},
                                {QStringLiteral("server"), h.target.server},
                                {QStringLiteral("port"), h.target.port},
                                {QStringLiteral("database"), h.target.database},
                                {QStringLiteral("table"), h.target.table},
                                {QStringLiteral("field"), h.target.field},
                                {QStringLiteral("mode"), h.mode},
                                {QStringLiteral("rows"), h.rows},
                                {QStringLiteral("values"), h.keyless.isEmpty() ? QJsonValue() : QJsonValue(h.values)},
                                {QStringLiteral("bytes"), l.bytes},
                                {QStringLiteral("undone"), h.undone},
                                {QStringLiteral("undoable"), h.keyless.isEmpty()},
                                {QStringLiteral("words"), h.words.isEmpty() ? QJsonValue() : QJsonValue(h.words)},
                                {QStringLiteral("where"), h.where.isEmpty() ? QJsonValue() : QJsonValue(h.where)},
                                {QStringLiteral("ended"), h.ended.isEmpty() ? QJsonValue() : QJsonValue(h.ended)},
                                {QStringLiteral("lost_entries"), h.lost},
                                {QStringLiteral("resumable"), Resumable(h)},
                                {QStringLiteral("next_record"), Resumable(h) ? QJsonValue(h.nextRecord + 1) : QJsonValue()}});
      } else {
        Out(QStringLiteral("%1  %2  %3:%4 %5.%6.%7  %8  %9 rows  %10 KB%11")
                .arg(h.id)
                .arg(time, h.target.server, h.target.port, h.target.database, h.target.table, h.target.field, h.mode)
                .arg(h.keyless.isEmpty() ? QString::number(h.rows)
                                         : QStringLiteral("%1 values, %2").arg(h.values).arg(h.rows))
                .arg((l.bytes + 1023) / 1024)
                .arg((h.undone ? QStringLiteral("  undone") : h.keyless.isEmpty() ? QString() : QStringLiteral("  not undoable")) +
                     (h.words.isEmpty() ? QString() : QStringLiteral("  words %1").arg(h.words)) +
                     (h.where.isEmpty() ? QString() : QStringLiteral("  where %1").arg(h.where))));
        if (h.lost != 0)
          Out(QStringLiteral("    lost %1 entries to the journal's damage: their rows cannot be restored")
                  .arg(h.lost > 0 ? QString::number(h.lost) : QStringLiteral("some")));
        if (!h.ended.isEmpty())
          Out(QStringLiteral("    %1%2")
                  .arg(h.ended == QLatin1String("running")
                           ? QStringLiteral("did not say how it ended: the program was killed, or it is still running")
                           : QStringLiteral("ended early: %1").arg(h.ended))
                  .arg(Resumable(h) ? QStringLiteral("; --resume continues it from record %1").arg(h.nextRecord + 1)
                                    : QString()));
      }
    }
    if (c.json) PrintJson(QJsonObject{{QStringLiteral("runs"), list}}, kConverted, QString());
    return kConverted;
  } catch (const Journal::Damaged&) {
    throw;
  } catch (const std::exception& e) {
    Err(QString::fromStdString(e.what()));
    if (c.json) PrintJson({}, kNotDone, QString::fromStdString(e.what()));
    return kNotDone;
  }
}

}  // namespace

namespace {

// The program's help and version, asked for without a command: answered
// without a window, so that they work where no display is.
bool IsInformation(const char* argument) {
  for (const char* option : {"--help", "-?", "--version", "-v", "-V"})
    if (std::strcmp(argument, option) == 0) return true;
  return false;
}

int Information(const QString& option) {
  if (option == QLatin1String("--help") || option == QLatin1String("-?")) {
    std::fprintf(stdout,
                 "Usage: norvale                    opens the window\n"
                 "       norvale convert [options]  rewrites the letter case of a field's values\n"
                 "       norvale undo [options]     takes back a run, by its journal\n"
                 "       norvale history [options]  lists the journal's runs\n"
                 "       norvale --version\n"
                 "Each command's options: norvale COMMAND --help. The manual: man norvale.\n");
  } else {
    std::fprintf(stdout, "norvale %s\n", NORVALE_VERSION);
  }
  return kConverted;
}

}  // namespace

bool IsCommand(int argc, char** argv) {
  // Options (Qt's own, such as -platform) go to the windows; any word is
  // taken for a command, so that a mistyped one is a usage error, not a
  // window opening on a server without a display.
  return argc >= 2 && (argv[1][0] != '-' || IsInformation(argv[1]));
}

int Main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  QStringList arguments = app.arguments();
  HidePasswords(argc, argv);
  if (IsInformation(argv[1])) return Information(arguments.value(1));
  Common c;
  c.command = arguments.value(1);
  arguments.removeAt(1);
  if (c.command != QLatin1String("convert") && c.command != QLatin1String("undo") &&
      c.command != QLatin1String("history")) {
    Err(QStringLiteral("'%1' is no command: norvale convert, undo or history, or norvale alone for the window")
            .arg(c.command));
    return kUsage;
  }

  QCommandLineParser parser;
  parser.setApplicationDescription(
      c.command == QLatin1String("convert")
          ? QStringLiteral("Rewrites the letter case of every value of a field, with an undo journal.")
          : c.command == QLatin1String("undo") ? QStringLiteral("Takes back the newest run, row by row.")
                                               : QStringLiteral("Lists the journal's runs."));
  AddConnectionOptions(parser);
  parser.addOption({QStringLiteral("table"), QStringLiteral("The table."), QStringLiteral("table")});
  if (c.command != QLatin1String("history")) {
    parser.addOption({QStringLiteral("field"), QStringLiteral("The field; convert takes several, each a run of its own."),
                      QStringLiteral("field")});
    parser.addOption({QStringLiteral("yes"), QStringLiteral("Do it without asking.")});
  }
  if (c.command == QLatin1String("undo"))
    parser.addOption({QStringLiteral("run"), QStringLiteral("The run to take back, by the id history shows."),
                      QStringLiteral("id")});
  if (c.command == QLatin1String("convert")) {
    parser.addOptions({{QStringLiteral("mode"), QStringLiteral("upper, lower, proper, sentence or name."),
                        QStringLiteral("mode")},
                       {QStringLiteral("dry-run"), QStringLiteral("Read and convert, and write nothing.")},
                       {QStringLiteral("where"),
                        QStringLiteral("Only the rows for which this SQL expression over the table's columns holds."),
                        QStringLiteral("condition")},
                       {QStringLiteral("resume"),
                        QStringLiteral("Continue the field's newest run, which ended early, after the last row it "
                                       "settled.")},
                       {QStringLiteral("sample"), QStringLiteral("Values shown by a dry run (10)."), QStringLiteral("n")},
                       {QStringLiteral("words"),
                        QStringLiteral("The word list: words written as it spells them (default: words.txt beside "
                                       "the settings)."),
                        QStringLiteral("file")},
                       {QStringLiteral("keep-mixed"),
                        QStringLiteral("Proper and Name Case leave values in mixed case as they are.")},
                       {QStringLiteral("max-load"),
                        QStringLiteral("Wait between groups while a status variable is over its bound "
                                       "(Threads_running=25)."),
                        QStringLiteral("VAR=N[,VAR=N]")},
                       {QStringLiteral("critical-load"),
                        QStringLiteral("End the run early when this status variable is over its bound "
                                       "(Threads_running=50)."),
                        QStringLiteral("VAR=N")},
                       {QStringLiteral("pause-file"), QStringLiteral("Wait between groups while this file exists."),
                        QStringLiteral("file")},
                       {QStringLiteral("max-lag"),
                        QStringLiteral("Wait while a replica is more than this many seconds behind (1; 0: no check)."),
                        QStringLiteral("seconds")},
                       {QStringLiteral("replica"),
                        QStringLiteral("A replica to watch, instead of those the server lists; repeatable."),
                        QStringLiteral("host[:port]")},
                       {QStringLiteral("chunk-time"),
                        QStringLiteral("Seconds a group's transaction may take: slower groups get smaller (0.5)."),
                        QStringLiteral("seconds")},
                       {QStringLiteral("lock-wait"),
                        QStringLiteral("Seconds to go on waiting for a row lock another session holds (60)."),
                        QStringLiteral("seconds")}});
  }
  g_json = arguments.contains(QStringLiteral("--json"));
  if (!parser.parse(NormalizedArguments(arguments))) return Usage(c.command, parser.errorText());
  if (parser.isSet(QStringLiteral("help"))) {
    std::fprintf(stdout, "Usage: norvale %s [options]\n%s", c.command.toLocal8Bit().constData(),
                 parser.helpText().section(u'\n', 1).toLocal8Bit().constData());
    return kConverted;
  }
  if (!parser.positionalArguments().isEmpty())
    return Usage(c.command, QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().front()));
  c.yes = c.command != QLatin1String("history") && parser.isSet(QStringLiteral("yes"));
  c.json = parser.isSet(QStringLiteral("json"));
  const bool needsDatabase = c.command != QLatin1String("history");
  // History reads the journal only: no password is looked for.
  if (c.command == QLatin1String("history")) return History(parser, c);
  if (const int status = ReadCommon(parser, c, needsDatabase); status != kConverted) return status;
  return c.command == QLatin1String("convert") ? Convert(parser, c) : UndoCommand(parser, c);
}

}  // namespace CommandLine
