// The conversion run of a 20,000-row table on a 3-node Galera cluster of its
// own against the single test server, in one run: rows per second of each
// and their ratio, and on the cluster again with another client writing on a
// second node, the transactions the cluster took back and the run retried.
// Needs the test server (eval "$(scripts/test-db start)"); starts and stops
// the cluster itself. Argument: the number of rows (default 20000).
#include <QApplication>
#include <cstdio>

#include "bench/common.h"
#include "shell/main.h"
#include "tests/support/recorder.h"
#include "tests/support/testdb.h"
#include "tests/support/writer.h"
#include "windows/form1.h"
#include "windows/form2.h"

namespace {

// Milliseconds of one Proper Case run over `t`.`v`, through the engine.
double RunMs(const MySQL::ConnectionDetails& d) { return EngineRunMs(d, "t", "v", Case::CaseMode::CaseProper); }

void MakeTable(const MySQL::ConnectionDetails& d, int rows) {
  MakeNameTable(d, rows, 5);
  Sql(d, {"ALTER TABLE t ADD KEY (v)"});
}

int Conflicts(const MySQL::ConnectionDetails& node) {
  return Column(node, "SELECT SUM(VARIABLE_VALUE) FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN "
                      "('WSREP_LOCAL_CERT_FAILURES', 'WSREP_LOCAL_BF_ABORTS')")
      .value(0)
      .toInt();
}

}  // namespace

int main(int argc, char** argv) {
  PrepareEnvironment();
  QApplication app(argc, argv);
  if (!ServerRunning()) return 1;
  const int rows = argc > 1 ? atoi(argv[1]) : 20000;
  BoxRecorder boxes;
  Main::SetRandomDraw([] { return 0.5; });

  PrivateCluster cluster;
  std::printf("cluster of 3 nodes started in %.1f s\n", cluster.StartSeconds());
  TestDatabase single;
  TestDatabase clustered(cluster.Details(1));

  // Turns, so both see the same machine load.
  std::vector<double> singleMs, clusterMs;
  for (int turn = 0; turn < 3; ++turn) {
    MakeTable(single.Details(), rows);
    singleMs.push_back(RunMs(single.Details()));
    MakeTable(clustered.Details(), rows);
    clusterMs.push_back(RunMs(clustered.Details()));
  }
  std::sort(singleMs.begin(), singleMs.end());
  std::sort(clusterMs.begin(), clusterMs.end());
  const double singleRate = rows * 1000.0 / singleMs[1], clusterRate = rows * 1000.0 / clusterMs[1];
  std::printf("%d rows: single server %.0f rows/s, cluster %.0f rows/s, cluster/single %.2f\n", rows, singleRate,
              clusterRate, clusterRate / singleRate);

  MakeTable(clustered.Details(), rows);
  const auto onNode2 = cluster.Details(2, clustered.Name());
  cluster.SyncWait(2);
  ConcurrentWriter writer(onNode2, TableById(onNode2), 6);
  const int before = Conflicts(cluster.Details(1));
  writer.Start();
  const double busyMs = RunMs(clustered.Details());
  writer.Stop();
  const int retried = Conflicts(cluster.Details(1)) - before;
  std::printf("%d rows with a writer on node 2 (%d writes): %.0f rows/s (%.2f of the idle cluster), "
              "%d transactions taken back and retried\n",
              rows, writer.Writes(), rows * 1000.0 / busyMs, clusterMs[1] / busyMs, retried);
  for (const auto& b : boxes.boxes) std::fprintf(stderr, "box: %s\n", qPrintable(b.text));
  return boxes.boxes.empty() && writer.Failure().isEmpty() ? 0 : 1;
}
