// norvale convert and norvale undo, each a process of its own, on one table
// with an INT key: the time and peak memory of each, and their ratio
// (target: undo within 2x the convert, and memory that does not grow with
// the run). Without a key nothing is undone; with 3 values the journal
// holds the same pair many times.
//   bench_undo [rows=1000000]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/common.h"

namespace {

struct Measure {
  double ms = 0, peakMiB = 0;
  int status = -1;
};

// One process, timed from start to end, with the peak of its resident memory
// as the kernel counted it.
Measure Norvale(const QStringList& args, const QString& home) {
  QElapsedTimer clock;
  clock.start();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("HOME", home.toLocal8Bit().constData(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").toLocal8Bit().constData(), 1);
    std::vector<QByteArray> bytes{QByteArray(NORVALE_BINARY)};
    for (const QString& a : args) bytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : bytes) argv.push_back(b.data());
    argv.push_back(nullptr);
    freopen("/dev/null", "w", stdout);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {double(clock.nsecsElapsed()) / 1e6, double(usage.ru_maxrss) / 1024.0,
          WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

int main(int argc, char** argv) {
  PrepareEnvironment();
  QCoreApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int rows = argc > 1 ? atoi(argv[1]) : 1000000;
  TestDatabase db;
  const MySQL::ConnectionDetails d = db.Details();
  const QStringList connection{"-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password, "-D", d.database};
  int failures = 0;
  for (const int values : {0, 3}) {
    QTemporaryDir home;
    MakeShapedTable(db, "t", rows, {true, false, values});
    const QString sum = "SELECT SUM(CRC32(CONCAT(id, ':', HEX(name)))) FROM t";
    const QStringList before = db.Values(sum);
    AwaitQuiet(db);
    const Measure convert =
        Norvale(QStringList{"convert"} + connection + QStringList{"--table", "t", "--field", "name", "--mode", "upper", "--yes"}, home.path());
    AwaitQuiet(db);
    const Measure undo = Norvale(QStringList{"undo"} + connection + QStringList{"--yes"}, home.path());
    const bool same = db.Values(sum) == before;
    std::printf("%8d rows, INT key, %-16s: convert %7.0f ms %6.1f MiB, undo %7.0f ms %6.1f MiB, undo/convert %.2f "
                "(target <= 1)%s%s\n",
                rows, values ? "3 values" : "distinct values", convert.ms, convert.peakMiB, undo.ms, undo.peakMiB,
                undo.ms / convert.ms, same ? "" : "  ROWS DIFFER",
                convert.status == 0 && undo.status == 0 ? "" : "  A COMMAND FAILED");
    std::fflush(stdout);
    failures += !same || convert.status != 0 || undo.status != 0;
  }
  // The same on a BIT key beside an INT key: each statement finds its row
  // by the key's index, whatever the key's type.
  const int keyed = std::min(rows, 100000);
  double convertMs[2] = {}, undoMs[2] = {};
  const char* types[2] = {"INT", "BIT(20)"};
  for (int i = 0; i < 2; ++i) {
    QTemporaryDir home;
    db.Exec({"DROP TABLE IF EXISTS k", QStringLiteral("CREATE TABLE k (id %1 PRIMARY KEY, name VARCHAR(40))").arg(types[i]),
             QStringLiteral("INSERT INTO k SELECT seq, CONCAT('name ', seq) FROM seq_1_to_%1").arg(keyed)});
    const QString sum = "SELECT SUM(CRC32(CONCAT(id + 0, ':', HEX(name)))) FROM k";
    const QStringList before = db.Values(sum);
    AwaitQuiet(db);
    const Measure convert =
        Norvale(QStringList{"convert"} + connection + QStringList{"--table", "k", "--field", "name", "--mode", "upper", "--yes"}, home.path());
    AwaitQuiet(db);
    const Measure undo = Norvale(QStringList{"undo"} + connection + QStringList{"--yes"}, home.path());
    convertMs[i] = convert.ms;
    undoMs[i] = undo.ms;
    failures += db.Values(sum) != before || convert.status != 0 || undo.status != 0;
  }
  std::printf("%8d rows, BIT(20) key beside INT: convert %.0f ms vs %.0f ms (%.2fx), undo %.0f ms vs %.0f ms (%.2fx)\n",
              keyed, convertMs[1], convertMs[0], convertMs[1] / convertMs[0], undoMs[1], undoMs[0], undoMs[1] / undoMs[0]);
  return failures == 0 ? 0 : 1;
}
