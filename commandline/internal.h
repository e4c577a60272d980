// What the command line's files share: the terminal, the connection
// options, and the answer a command gives. Not for use outside commandline/.
#pragma once

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <functional>
#include <optional>

#include "commandline/commandline.h"
#include "conversion/engine.h"
#include "database/mysql.h"
#include "journal/store.h"

namespace CommandLine {

// The terminal (terminal.cpp).

// From here on, the first Ctrl+C (SIGINT or SIGTERM) ends statements under
// way on the server and the run between records; a second one ends the
// program at once.
void CatchSignals();
// Whether the first one came.
bool Interrupted();

void Err(const QString& text);  // "norvale: TEXT" on stderr
void Out(const QString& text);  // a line on stdout

// A line read from the terminal, without echo when `secret`; nothing where
// there is no terminal.
std::optional<QString> AskTerminal(const QString& prompt, bool secret);
// A person is there to answer on the terminal, even with stderr redirected
// to a log.
bool OnTerminal();
// Asks a yes/no question on the terminal: whether the answer was yes.
bool Confirm(const QString& question);

// The connection (connection.cpp).

struct Common {
  QString command;
  MySQL::ConnectionDetails details;
  bool yes = false;
};

// The parser's options every command shares.
void AddConnectionOptions(QCommandLineParser& parser);
// Connection details from the command line, then the option files; the
// password from the command line or the prompt, the option files, then the
// window's saved one. Returns kConverted, or the status it answered with
// where they cannot be had.
int ReadCommon(QCommandLineParser& parser, Common& c, bool needsDatabase);

// The answer (answer.cpp).

// --json: every answer is one JSON object on stdout. Set from the
// arguments before they are parsed, so that a usage error answers in JSON
// too, then from the parser.
void SetJson(bool on);
bool Json();

// The one JSON object a command prints, on success and on failure alike.
void PrintJson(QJsonObject object, int status, const QString& error);
// A usage error: the message, the JSON answer, then where help is.
int Usage(const QString& command, const QString& text);
// A command that stops before it does anything: the message, and the JSON
// answer; returns `status`.
int Refuse(int status, const QString& text);

QJsonObject SummaryJson(const Conversion::Summary& t);
void Merge(QJsonObject& into, const QJsonObject& from);

// For an answer that found no run on this server: the runs of the same
// database (table and field) the journal holds from other servers, where
// it holds any.
QString MadeElsewhere(Journal::Store& store, const QString& database, const QString& table, const QString& field);

// A command that reads the journal: where the journal is damaged, once
// more on the runs it could still read.
int WithJournal(const std::function<int()>& command);

// Prints each record's failure as it comes, and progress where a person
// watches.
class Reporter : public Conversion::Listener {
 public:
  explicit Reporter(bool quiet);
  void RecordFailed(qint64 record, const QString& key, const QString& given, Conversion::Failure, qint64 rows) override;
  void Waiting(const QString& why) override;
  void Progress(qint64 record, qint64 count);
  void ClearProgress();

 private:
  bool quiet_, progress_;
  bool shown_ = false;
  QElapsedTimer clock_;
  qint64 shownAt_ = -1000;
};

// The commands (convert.cpp, undo.cpp, history.cpp).

void AddConvertOptions(QCommandLineParser& parser);
int Convert(QCommandLineParser& parser, Common& c);
void AddUndoOptions(QCommandLineParser& parser);
int Undo(QCommandLineParser& parser, Common& c);
int History(const QCommandLineParser& parser);

}  // namespace CommandLine
