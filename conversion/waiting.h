// What a run on a live server waits for between groups: the server's load,
// a cluster's flow control and receive queue, its replicas' lag and the
// pause file.
#pragma once

#include <QString>
#include <chrono>
#include <deque>
#include <memory>
#include <vector>

#include "conversion/engine.h"
#include "database/ado.h"

namespace Conversion {

class Waiting {
 public:
  explicit Waiting(const Options& options) : options_(options) {}

  // Connects to the replicas whose lag the run watches; raises, naming one,
  // where it cannot, before anything is sent.
  void FindReplicas(ADODB::Connection& primary, const MySQL::ConnectionDetails& details);
  // Waits while the server, the cluster or the pause file asks the run to,
  // telling `listener` why and adding the wait to `totals`. Raises
  // Batch::FatalError over the critical bound, and where a check fails: a
  // run that cannot tell whether it should wait does not go on guessing.
  // False where the wait was cancelled: nothing more goes.
  bool Wait(ADODB::Connection& primary, Listener& listener, Summary& totals);

 private:
  // Why the run waits now, and for which kind of thing; empty where it need
  // not.
  QString Why(ADODB::Connection& primary, QString& kind);
  // Why it waits for a replica, or nothing.
  QString ReplicaLag(ADODB::Connection& primary);
  // A second's wait, the window's events going on meanwhile; false where it
  // was cancelled.
  bool Pause() const;

  const Options& options_;
  std::chrono::steady_clock::time_point lastAsked_{};

  // The replicas, and the primary's binlog positions with the time each
  // was seen: a replica is as far behind as the oldest position it has not
  // applied.
  struct Replica {
    QString name;  // host:port
    MySQL::ConnectionDetails details;
    std::unique_ptr<ADODB::Connection> connection;
    size_t applied = 0;  // positions it has applied, from the front
  };
  std::vector<Replica> replicas_;
  std::deque<std::pair<QString, std::chrono::steady_clock::time_point>> positions_;
};

}  // namespace Conversion
