// The ways many records reach the server together. A run chooses one where
// the table lets it (Run::ChooseWay): by key, a group's pairs joined to the
// table (KeyJoin); without a key, every distinct value joined at the end
// (ValueWay). A record the way does not take, and every record where there
// is no way, goes in a statement of its own.
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>

#include "conversion/servercase.h"
#include "database/batch.h"
#include "database/rewrite.h"
#include "journal/recorder.h"

namespace Conversion {

// A field of a row as it was read: its bytes, or NULL.
struct Read {
  QByteArray bytes;
  bool null = false;
};

// One record on its way (tagged by its record number, or without a key by
// its value's number).
struct Pair {
  int tag;
  qint64 record;
  QString key, keyValues;
  QByteArray oldBytes, newBytes;
  bool journaled = false;  // its group went to the server, and the journal, first
  // A run of several fields: the row's fields that change, in place of the
  // two values.
  std::vector<Rewrite::Cell> cells = {};
  // The server's own function for the run's mode, where it has one, and
  // whether it writes exactly the new bytes (ServerCase::Computes).
  ServerCase::Function function = ServerCase::Function::None;
  bool computed = false;
  // A row of one field that changes nothing: whether the function leaves
  // it as it is too.
  bool leaves = false;
  // A run of several fields: every field of the row as it was read, in the
  // run's order (none where one of them could not be).
  std::vector<Read> read = {};
};
// The fields of a row a statement stood for: none for a run of one field.
QList<int> FieldsOf(const Batch::Note& note);

// A thread of the run's own that is done wakes the window's event loop
// (WakeWindow); the window's thread waits for it with its events going on
// (AwaitWithEvents: elsewhere it returns at once, for the caller's join).
void WakeWindow();
void AwaitWithEvents(const std::atomic<bool>& done);

// How a run ends: early on a failure nothing later escapes, or stopped by
// the user (or a wait that was cancelled).
struct Ending {
  bool ended = false;
  bool interrupted = false;
};

class Way {
 public:
  virtual ~Way() = default;
  // Every record it takes is journaled before it goes.
  virtual void SetJournal(Journal::RunRecorder* journal) = 0;
  // Whether it takes this record: else the record goes alone.
  virtual bool Takes(const Pair& pair) const = 0;
  virtual void Add(Pair&& pair, const Batch::Note& note) = 0;
  // Whether Add reads the record's note (a way that makes its groups' own
  // notes does not: none is made for it).
  virtual bool ReadsNotes() const { return true; }
  // A record that goes alone goes through `send`, in turn with the way's
  // own: what the way gathered before it goes first.
  virtual void Alone(const std::function<void()>& send) { send(); }
  // Waits for what is on its way, then tells what it learnt.
  virtual void Sync() {}
  // Sends what it still holds, and what the server left of it.
  virtual void Finish() = 0;
  // Drops what was not sent.
  virtual void Drop() {}
  // Lets what is on its way finish.
  virtual void Join() {}
  // Takes a refusal the sender tells of, where it is the way's own (true).
  // `fields`: the row's fields the refused statement stood for, in a run of
  // several.
  virtual bool Refused(int tag, const QString& text, const QString& key, const QList<int>& fields) = 0;
  // Fields of rows the statement under way left whole, to go again alone
  // (Batch::Shortfall::again).
  virtual void Again(const QList<Batch::RecordNote>& records) { (void)records; }
  // A row of a run of several fields that changes nothing, as it was read.
  virtual void Passed(Pair&& pair) { (void)pair; }
  // The records of the statement under way, once it is answered.
  virtual void ForUnderway(const std::function<void(qint64 record)>& each) const { (void)each; }
};

}  // namespace Conversion
