// The way a keyed run's records reach the server many at a time: a group's
// (key, old, new) pairs go into the pair table, and one joined UPDATE
// changes the rows that still hold their old bytes. One group is on its way
// on a thread of its own while the next is read, converted and journaled,
// so that the server and the program no longer take turns. A group the
// server refuses goes again record by record, so that each refusal is its
// own record's.
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include "conversion/pairtable.h"
#include "conversion/rangedigest.h"
#include "conversion/way.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/rowkey.h"
#include "journal/recorder.h"

namespace Conversion {

// Groups whose rows the server's own function changes send no values: they
// grow this far while the server takes them quickly. (Groups of pairs are
// slower, not faster, beyond kJoinRecords.)
constexpr size_t kComputedRecords = 8000;
constexpr qsizetype kComputedBytes = 2 * 1024 * 1024;

// A group's records as one note.
Batch::Note GroupNote(const std::vector<Pair>& pairs);

class KeyJoin : public Way {
 public:
  // Where the groups go.
  struct Road {
    ADODB::Connection& connection;
    Batch::Sender& sender;
    const MySQL::RowIdentity& identity;
    QString table, field;
    QStringList fields = {};  // a run of several fields: each of them, `field` first
    bool pairsKeyed = false;  // the pair table is keyed by the table's key (PairTable::Kind::Keyed)
  };
  // What the run does for its groups: waits for a live server between them
  // (false: the run stops), and hears of a record refused, on its own thread.
  struct Calls {
    std::function<bool()> wait;
    std::function<void(int tag, const QString& text, const QString& key, const QList<int>& fields)> refused;
    // A group's rows the server's own function changed, committed: `changed`
    // rows, counted by the server, of the records `note` tells.
    std::function<void(int tag, qint64 changed, const Batch::Note& note)> computed = {};
  };
  // `chunkTime`: seconds a group's transaction may take (0: groups stay
  // whole); `responsive`: the window's events go on while a group is waited
  // for.
  KeyJoin(Road road, Calls calls, Ending& ending, double chunkTime, bool responsive);
  ~KeyJoin() override;
  KeyJoin(const KeyJoin&) = delete;
  KeyJoin& operator=(const KeyJoin&) = delete;

  // Every group is journaled before it goes.
  void SetJournal(Journal::RunRecorder* journal) override { journal_ = journal; }
  // Rows whose new bytes the server's own function writes go without them
  // (ServerCase).
  void SetServerCase(std::unique_ptr<ServerCase> server);
  // A run of several fields: each field's function (None for a mode the
  // server has none for), and where the server's writes exactly the run's
  // bytes, what it writes (ServerCase; none: the field's values go in the
  // statement). Rows go as one statement a group, by the key's range.
  void SetServerCases(std::vector<ServerCase::Function> functions, std::vector<std::unique_ptr<ServerCase>> servers);
  // A record whose pair fits in a group.
  bool Takes(const Pair& pair) const override;
  // Adds a record; the gathered group goes first where this one would take
  // it past its bytes, and with it once it is full.
  void Add(Pair&& pair, const Batch::Note& note) override;
  bool ReadsNotes() const override { return false; }
  // Waits for the group on its way, then tells what it learnt: refused
  // records, and the failure that ends the run.
  void Sync() override;
  // The last group, and the records that go alone after their group was
  // refused.
  void Finish() override;
  void Drop() override;
  void Join() override;

  // A refused join goes record by record, and a record refused on the
  // group's thread is told on the run's.
  bool Refused(int tag, const QString& text, const QString& key, const QList<int>& fields) override;
  void Again(const QList<Batch::RecordNote>& records) override;
  // Rows between a group's first and last that change nothing are part of
  // the range its statement reads.
  void Passed(Pair&& pair) override;
  void ForUnderway(const std::function<void(qint64 record)>& each) const override {
    for (const Pair& p : group_) each(p.record);
  }

 private:
  // The statements of a group of rows of several fields.
  struct Several {
    QString digest, expected, update;  // none: the rows go by the join
    qint64 room = 0;                   // the digest's text
  };
  struct Group {
    std::vector<Pair> pairs;
    PairTable::Insert insert;
    QString slotted;  // the group's statement with its values in it (Rewrite::SlotStatement), else the insert's join
    Batch::Note note;
    int number = 0;
    // The rows the server's function changes, on their own.
    std::vector<Pair> computed;
    Batch::Note computedNote;
    Several several;  // the computed rows' statements, in a run of several fields
    std::vector<Pair> passing;  // the rows read among them that change nothing
    bool passingFull = false;   // too many of those were read to be kept
    // The digest of the computed rows' range, one field (OneFieldRange):
    // made on the run's thread, not while the connection waits for it.
    RangeDigest range;
  };
  RangeDigest OneRange(const Group& group) const;
  Group MakeGroup(std::vector<Pair> joining);
  // A group's entries on their way to the journal.
  struct Written {
    std::thread writer;
    std::atomic<bool> done{true};
    std::exception_ptr failure;
  };
  void Launch();
  void Pace();
  void SendAlone();
  void SendJoin(Group& group);
  // What a group's job is done with is let go on the run's thread while the
  // next group is on its way, not while the connection waits. (Touched by
  // the job's thread only while it runs, and by the run's once it has ended.)
  void Spend(std::vector<Pair>& pairs) {
    spentPairs_.push_back(std::move(pairs));
    pairs.clear();
  }
  std::vector<std::vector<Pair>> spentPairs_;
  std::vector<Group> spentGroups_;
  // The group's computed rows (`rowsNote` their note), in a transaction of
  // their own; those it could not change so stay in `rows`, for the join,
  // with the group's `joined` rows. `range`: the digest of their range
  // (Group::range).
  void TryComputed(std::vector<Pair>& rows, int number, const std::vector<Pair>& joined,
                   const Batch::Note& rowsNote, const RangeDigest& range);
  // The rows a group's join reads the table by, where its pairs are most
  // of the rows their keys span (KeyRange); else none.
  QString Range(const std::vector<Pair>& pairs) const;
  QStringList Lock(ServerCase::Function function, const QString& scope, std::vector<Pair>& rows,
                   const std::vector<Pair>& joined, const RangeDigest& range, bool& open, std::vector<Pair>& held,
                   std::vector<Pair>& back);
  void Learn(Group& group);
  // Whether the server changes every field of a row of several fields as
  // the run does: by its function, or by the value in the statement.
  bool ComputesRow(const Pair& pair);
  bool LearnFields();
  void Grow();
  // A group of such rows, as TryComputed: one digest of their fields under
  // lock, then one statement for them all (Several, made with the group).
  Several MakeSeveral(const Group& group);
  void TrySeveral(std::vector<Pair>& rows, int number, const Several& several, const Batch::Note& note);
  // The group's pairs as its note, and as its statement or its insert.
  void Pack(Group& group) const;
  void Await(const std::atomic<bool>& done) const;

  Road road_;
  Calls calls_;
  Ending& ending_;
  const double chunkTime_;
  const bool responsive_;
  Journal::RunRecorder* journal_ = nullptr;
  PairTable pairTable_;
  std::unique_ptr<ServerCase> server_;
  std::vector<ServerCase::Function> functions_;          // a run of several fields: each one's
  std::vector<std::unique_ptr<ServerCase>> servers_;     // (empty: rows of several fields go by the join)
  qsizetype groupBytes_;
  const bool arrays_;  // groups' pairs go as arrays of parameters (PairTable::TakesArrays)

  std::vector<Pair> joining_;
  qsizetype joiningBytes_ = 0;
  std::vector<Pair> passing_;
  bool passingFull_ = false;
  size_t groupRecords_ = kJoinRecords;  // as paced by the groups' times
  size_t mostRecords_ = kJoinRecords;   // what pacing grows a group to
  std::atomic<double> lastGroupSeconds_{0};
  std::atomic<bool> takenBack_{false};  // the last group met a conflict or a lock wait
  std::vector<Pair> group_;  // the join under way: each goes as a transaction of its own
  int groups_ = 0;
  std::vector<Pair> alone_;

  // The group's thread, and what it learns for the run's thread: the
  // refused records, and a failure that ends the run.
  std::thread job_;
  std::atomic<bool> jobDone_{true};
  std::exception_ptr jobFailure_;
  struct JobRefusal {
    int tag;
    QString text, key;
    QList<int> fields;
  };
  std::vector<JobRefusal> jobRefusals_;
  std::thread::id jobThread_;
};

}  // namespace Conversion
