// The command line's terminal: Ctrl+C, its prompts and its two streams.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

#include "commandline/internal.h"
#include "database/interrupt.h"

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

}  // namespace

void CatchSignals() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

bool Interrupted() { return g_interrupted.load(); }

void Err(const QString& text) { std::fprintf(stderr, "norvale: %s\n", text.toLocal8Bit().constData()); }
void Out(const QString& text) { std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData()); }

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

bool OnTerminal() { return isatty(STDIN_FILENO); }

bool Confirm(const QString& question) {
  const std::optional<QString> answer = AskTerminal(question + QStringLiteral(" [y/N] "), false);
  return answer && (answer->trimmed().compare(QLatin1String("y"), Qt::CaseInsensitive) == 0 ||
                    answer->trimmed().compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0);
}

}  // namespace CommandLine
