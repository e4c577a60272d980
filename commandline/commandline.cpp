// norvale convert | undo | history: which command, its options, and its
// run (convert.cpp, undo.cpp, history.cpp).
#include "commandline/commandline.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "commandline/internal.h"
#include "commandline/options.h"

namespace CommandLine {
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

// The command's options: the connection's, and its own.
void AddOptions(QCommandLineParser& parser, const QString& command) {
  parser.setApplicationDescription(
      command == QLatin1String("convert")
          ? QStringLiteral("Rewrites the letter case of every value of a field, with an undo journal.")
          : command == QLatin1String("undo") ? QStringLiteral("Takes back the newest run, row by row.")
                                             : QStringLiteral("Lists the journal's runs."));
  AddConnectionOptions(parser);
  parser.addOption({QStringLiteral("table"), QStringLiteral("The table."), QStringLiteral("table")});
  if (command != QLatin1String("history")) {
    parser.addOption({QStringLiteral("field"), QStringLiteral("The field; convert takes several, each a run of its own, as FIELD or FIELD:MODE."),
                      QStringLiteral("field")});
    parser.addOption({QStringLiteral("yes"), QStringLiteral("Do it without asking.")});
  }
  if (command == QLatin1String("undo")) AddUndoOptions(parser);
  if (command == QLatin1String("convert")) AddConvertOptions(parser);
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
  CatchSignals();
  QStringList arguments = app.arguments();
  HidePasswords(argc, argv);
  if (IsInformation(argv[1])) return Information(arguments.value(1));
  Common c;
  c.command = arguments.value(1);
  arguments.removeAt(1);
  // Until the parser has read them, as the arguments hold it.
  SetJson(arguments.contains(QStringLiteral("--json")));
  if (c.command != QLatin1String("convert") && c.command != QLatin1String("undo") &&
      c.command != QLatin1String("history"))
    return Refuse(kUsage, QStringLiteral("'%1' is no command: norvale convert, undo or history, or norvale alone for "
                                         "the window")
                              .arg(c.command));

  QCommandLineParser parser;
  AddOptions(parser, c.command);
  if (!parser.parse(NormalizedArguments(arguments))) return Usage(c.command, parser.errorText());
  if (parser.isSet(QStringLiteral("help"))) {
    std::fprintf(stdout, "Usage: norvale %s [options]\n%s", c.command.toLocal8Bit().constData(),
                 parser.helpText().section(u'\n', 1).toLocal8Bit().constData());
    return kConverted;
  }
  SetJson(parser.isSet(QStringLiteral("json")));
  if (!parser.positionalArguments().isEmpty())
    return Usage(c.command, QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().front()));
  c.yes = c.command != QLatin1String("history") && parser.isSet(QStringLiteral("yes"));
  // History reads the journal only: no password is looked for.
  if (c.command == QLatin1String("history")) return History(parser);
  if (const int status = ReadCommon(parser, c, true); status != kConverted) return status;
  return c.command == QLatin1String("convert") ? Convert(parser, c) : Undo(parser, c);
}

}  // namespace CommandLine
