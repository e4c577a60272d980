// A run's record steps, in the order the window's line table takes them.
#include "conversion/engine.h"

#include <QCoreApplication>
#include <QHash>
#include <QSet>
#include <QStorageInfo>
#include <QThread>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <thread>

#include "database/ado.h"
#include "database/batch.h"
#include "database/columnbytes.h"
#include "database/rewrite.h"
#include "database/rowkey.h"
#include "database/valuejoin.h"
#include "conversion/state.h"
#include "journal/recorder.h"

namespace Conversion {

Run::Run(Listener& listener, Options options)
    : s_(std::make_unique<State>()), listener_(listener), options_(std::move(options)) {
  s_->records = std::make_unique<Rewrite::Rows>();
  s_->waiting = std::make_unique<Waiting>(options_);
}
Run::~Run() {
  // A run given up on a failure still lets its group finish before the
  // connection goes.
  if (s_->way) s_->way->Join();
}

bool Run::Ended() const { return s_->ending.ended; }

void Run::Sync() {
  if (s_->way) s_->way->Sync();
}

namespace {

// Passes what the wait tells on to the run's listener; the journal notes
// where the run stands as it begins to wait, so that a run killed while it
// waits goes on from its last group.
class Noting : public Listener {
 public:
  Noting(Listener& inner, std::function<void()> begins) : inner_(inner), begins_(std::move(begins)) {}
  void RecordFailed(qint64 record, const QString& key, const QString& text, Failure kind, qint64 rows) override {
    inner_.RecordFailed(record, key, text, kind, rows);
  }
  void Waiting(const QString& why) override {
    if (!why.isEmpty() && begins_) std::exchange(begins_, nullptr)();
    inner_.Waiting(why);
  }

 private:
  Listener& inner_;
  std::function<void()> begins_;
};

}  // namespace

bool Run::WaitForServer() {
  try {
    Noting noting(listener_, [this] { KeepPosition(QStringLiteral("running"), true); });
    return s_->waiting->Wait(*s_->connection, noting, totals_);
  } catch (const Batch::FatalError&) {
    s_->ending.ended = true;
    throw;
  }
}

template <typename Step>
auto Run::InOrder(Step&& step) {
  // A record's own failure is told after those of the records before it,
  // which may still be on their way.
  try {
    return step();
  } catch (...) {
    Sync();
    throw;
  }
}

void Run::Refused(qint64 record, const QString& text, const QString& key, const QList<int>& fields) {
  if (s_->keyed) Settle(record);
  Release(record);
  if (!s_->fields.empty()) {
    // A row's statement stands for its fields together: each of them is
    // refused, and the report names them.
    for (const int f : fields) {
      ++s_->fields[size_t(f)]->totals.refused;
      --s_->fields[size_t(f)]->totals.changed;
    }
    listener_.RecordFailed(record, key, FieldsText(fields, text), Failure::Refused, 1);
    return;
  }
  ++totals_.refused;
  --totals_.changed;
  listener_.RecordFailed(record, key, text, Failure::Refused, 1);
}

QString Run::ShownKey() const { return s_->keyed ? Rewrite::ShownKey(s_->identity, s_->keyValues) : QString(); }

void Run::RefusedValue(qsizetype number, const QString& text, qint64 record, qint64 rows) {
  State& s = *s_;
  s.refusals.insert(number, text);
  totals_.refused += rows;
  totals_.changed -= rows;
  listener_.RecordFailed(record, QString(), text, Failure::Refused, rows);
}

QString Run::Keyless() const { return s_->identity.keyless; }

qint64 Run::RecordCount() const { return refusedColumn_ ? 0 : s_->records->Count(); }
bool Run::Eof() const { return refusedColumn_ || s_->records->Eof(); }

void Run::ReadRecord(qint64 record) {
  s_->failed = false;
  InOrder([&] {
    OwnFailure([&] {
    State& s = *s_;
    s.record = record;
    s.haveOld = s.haveNew = false;
    s.oldText.clear();
    s.newText.clear();
    s.key.clear();
    ++totals_.read;
    const QVariant value = s.records->Value(0);
    s.oldNull = value.isNull();
    s.isBytes = MySQL::IsBytes(value);
    if (s.keyed) {
      s.keyValues = s.records->Value(1).toString();
      // Where the key's values have literals its condition is made only
      // for a statement of its own (most records go in groups by value).
      if (s.identity.keyValues.isEmpty()) s.key = s.keyValues;
    }
    if (s.readsBytes) {
      s.isBytes = false;
      s.oldBytes = value.toByteArray();
      s.oldText = s.bytes->Decode(s.oldBytes);
      s.haveOld = true;
      return;
    }
    if (s.isBytes) return;
    s.oldText = MySQL::ValueText(value.isNull() ? QVariant(QString()) : value);
    if (!s.bytes) throw Closed();
    s.oldBytes = s.bytes->Old(s.oldText, s.bytes->ReadsStored() ? s.records->Value(s.storedColumn) : QVariant());
    s.haveOld = true;
    });
  });
}

void Run::Convert(Case::CaseMode mode) {
  InOrder([&] {
    OwnFailure([&] {
      State& s = *s_;
      // The text as read, else read again to fail as it failed there.
      QString text = s.oldText;
      if (!s.haveOld) {
        const QVariant again = s.records->Value(0);
        if (MySQL::IsBytes(again)) return;
        text = MySQL::ValueText(again.isNull() ? QVariant(QString()) : again);
      }
      s.mode = mode;
      s.newText = Case::ConvertCase(mode, text, {options_.words.get(), options_.keepMixed});
      s.haveNew = true;
      if (options_.keepMixed && (mode == Case::CaseMode::CaseProper || mode == Case::CaseMode::CaseName) &&
          s.newText == text && Case::IsMixedCase(text) &&
          Case::ConvertCase(mode, text, {options_.words.get(), false}) != text)
        ++totals_.keptMixed;
    });
  });
}

template <typename Step>
void Run::OwnFailure(Step&& step) {
  // A record whose value cannot be read or converted is left as it is, and
  // counted once however many of its steps failed.
  try {
    step();
  } catch (const Batch::FatalError&) {
    throw;
  } catch (...) {
    if (!s_->failed) ++totals_.notConvertible;
    s_->failed = true;
    lastFailure_ = Failure::NotConvertible;
    throw;
  }
}

bool Run::Prepare() {
  return InOrder([&] {
    State& s = *s_;
    // A record that failed was counted with its failure.
    if (s.failed) return false;
    // A text that stays as it is needs no statement. Bytes have no text form:
    // rewriting them as text would corrupt them.
    if (!s.haveOld || !s.haveNew || s.isBytes || s.oldText == s.newText) {
      ++totals_.alreadyInCase;
      return false;
    }
    // Without a key, a value already sent is not sent again.
    s.tag = int(s.record);
    if (!s.keyed) {
      const auto [number, seen] =
          s.distinct.Insert(s.bytes->ReadsStored() ? QString::fromLatin1(s.oldBytes) : s.oldText, s.record);
      s.tag = int(number);
      if (!seen) {
        const auto refused = s.refusals.constFind(number);
        if (refused != s.refusals.constEnd()) {
          ++totals_.refused;
          lastFailure_ = Failure::Refused;
          throw ADODB::Error(*refused);
        }
        ++totals_.changed;
        return false;
      }
    }
    // The bytes that hold the new text, where the column can hold them
    // exactly; else the value stays as it is, with its report.
    try {
      s.newBytes = s.bytes->New(s.oldText, s.oldBytes, s.newText);
    } catch (const ADODB::Error& e) {
      if (!s.keyed) s.refusals.insert(s.tag, QString::fromStdString(e.what()));
      ++totals_.notConvertible;
      lastFailure_ = Failure::NotConvertible;
      throw;
    }
    ++totals_.changed;
    if (options_.dryRun && int(samples_.size()) < options_.samples)
      samples_.push_back({s.record, s.oldText, s.newText});
    // From here on a value goes by its bytes: a large one's texts, twice
    // their size, are let go before it is journaled and sent.
    if (!options_.dryRun && Rewrite::IsLarge(s.oldBytes)) s.oldText = s.newText = QString();
    return true;
  });
}

bool Run::GoesTogether() const {
  const State& s = *s_;
  return s.way && s.way->Takes({s.tag, s.record, s.key, s.keyValues, s.oldBytes, s.newBytes});
}

void Run::Build() {
  State& s = *s_;
  if (!s.fields.empty()) {
    s.statement = Rewrite::RowStatement(s.table, s.fieldNames, KeyOf(s, s.key, s.keyValues), s.cells, s.where, s.tag);
    return;
  }
  s.statement = s.keyed ? Rewrite::KeyedStatement(s.table, s.field, KeyOf(s, s.key, s.keyValues), s.oldBytes,
                                                   s.newBytes, s.where, s.tag)
                        : Rewrite::ValueStatement(s.table, s.field, s.oldBytes, s.newBytes, s.bytes->LiteralCharset(),
                                                  s.where, s.tag);
}

void Run::Send() {
  State& s = *s_;
  if (!s.fields.empty()) {
    SendRow();
    return;
  }
  if (options_.dryRun || s.ending.ended) return;
  if (!s.sender) throw Closed();
  if (s.keyed) s.position.Sent(s.record);
  Pair pair{s.tag, s.record, s.key, s.keyValues, s.oldBytes, s.newBytes};
  pair.function = ServerCase::Of(s.mode);
  Dispatch(std::move(pair), [&] {
    return Rewrite::RecordNote(s.record, NoteKey(s, s.key, s.keyValues), s.oldBytes, s.newBytes);
  });
}

void Run::Dispatch(Pair&& pair, const std::function<Batch::Note()>& note) {
  State& s = *s_;
  if (!s.way || !s.way->Takes(pair)) {
    SendAlone(note());
    return;
  }
  try {
    s.way->Add(std::move(pair), s.way->ReadsNotes() ? note() : Batch::Note{});
  } catch (const Batch::FatalError&) {
    s.ending.ended = true;
    throw;
  }
}

void Run::SendAlone(const Batch::Note& note) {
  State& s = *s_;
  // A failure no later record can escape ends the run.
  const auto guarded = [&](const std::function<void()>& step) {
    try {
      step();
    } catch (const Batch::FatalError&) {
      s.ending.ended = true;
      throw;
    }
  };
  // A record alone goes after the groups before it, when the server lets it.
  Sync();
  bool go = true;
  guarded([&] { go = WaitForServer(); });
  if (!go) {
    s.ending.interrupted = true;
    return;
  }
  if (s.statement.isEmpty()) Build();
  // A value the server cannot take in one statement is never sent.
  const bool several = !s.fields.empty();
  Batch::Ahead ahead = several ? Rewrite::RowAhead(s.tag, s.cells) : Rewrite::Ahead(s.tag, s.newBytes);
  if (!s.sender->Fits(s.statement, ahead)) {
    if (!s.keyed) s.refusals.insert(s.tag, Batch::Sender::TooLarge());
    if (s.keyed) Settle(s.record);
    if (several) {
      RowFailed(Failure::NotConvertible);
    } else {
      --totals_.changed;
      ++totals_.notConvertible;
    }
    lastFailure_ = Failure::NotConvertible;
    s.statement.clear();
    throw ADODB::Error(several ? FieldsText(FieldsOf(Rewrite::RowNote(s.record, {}, s.cells)), Batch::Sender::TooLarge())
                               : Batch::Sender::TooLarge());
  }
  const QString statement = std::move(s.statement);
  s.statement.clear();
  guarded([&] {
    // A row of several fields counts its fields: the row the server changed
    // does not tell which of them it changed.
    const qint64 expected = several ? qint64(s.cells.size()) : s.keyed ? 1 : -1;
    const auto send = [&] { s.sender->Add(statement, s.tag, note, expected, std::move(ahead)); };
    if (s.way)
      s.way->Alone(send);
    else
      send();
  });
}

void Run::MoveNext() {
  State& s = *s_;
  // A record the run ended on was not answered for.
  if (s.keyed && !s.ending.ended) {
    s.position.Done(s.record, s.keyValues);
    KeepPosition(QStringLiteral("running"), false);
  }
  // Reports held back for records now answered.
  if (!held_.empty()) Release(s.position.FirstUnanswered());
  // Rows that can no longer be read end the run after that one report.
  try {
    s_->records->MoveNext();
  } catch (...) {
    if (!s_->records->IsOpen()) s.ending.ended = true;
    Sync();
    throw;
  }
  if (!s_->records->IsOpen()) s.ending.ended = true;
}

void Run::Finish() {
  State& s = *s_;
  Sync();
  if (options_.dryRun || s.ending.ended || !s.sender) return;
  try {
    // The last group waits as the others did, and may be stopped there.
    if (!WaitForServer()) {
      s.ending.interrupted = true;
      return;
    }
    if (s.way)
      s.way->Finish();
    else
      s.sender->Flush();
  } catch (const Batch::FatalError&) {
    s.ending.ended = true;
    throw;
  }
}

void Run::Abandon() {
  State& s = *s_;
  // The group on its way is answered; the records after it go nowhere.
  try {
    Sync();
  } catch (const std::exception&) {
  }
  if (s.way) s.way->Drop();
  s.ending.ended = true;
  s.ending.interrupted = true;
}

void Run::Close(const QString& why) {
  State& s = *s_;
  if (refusedColumn_) return;
  if (s.way) s.way->Join();
  Release(-1);
  // What the run changed is what the server says it changed: records not
  // sent yet (the run ended early) went nowhere, and a row someone else
  // changed since it was read, or that took the same value again, is
  // counted apart.
  if (!options_.dryRun && s.sender) {
    const qint64 meant = totals_.changed;
    totals_.changed = s.serverChanged;
    totals_.changedSince = s.changedSince;
    totals_.sameValue = s.sameValue;
    totals_.notMatching = s.notMatching;
    totals_.storedOtherwise = s.storedOtherwise;
    totals_.triggers = s.triggers;
    totals_.serverComputed = s.serverComputed;
    totals_.notChanged = totals_.changedSince + totals_.sameValue + totals_.notMatching;
    // Without a key a statement stands for every row holding its value: the
    // rows it missed are known only by their number.
    if (!s.keyed && !s.ending.interrupted && !s.ending.ended) totals_.notChanged = std::max<qint64>(0, meant - totals_.changed);
  }
  if (!s.fields.empty()) CountFields(!options_.dryRun && s.sender);
  // Where it stands: a run that ended early can be continued after the
  // last row it settled.
  if (s.journal) {
    const QString ended = !s.ending.interrupted && !s.ending.ended ? QString()
                          : !why.isEmpty()         ? why
                          : s.ending.interrupted           ? QStringLiteral("interrupted")
                                                   : QStringLiteral("ended early");
    if (Resumable()) KeepPosition(ended, true);
    else s.journal->SetProgress(ended, QString(), 0);
  }
  if (s.journal) s.journal->Finish(s.keyed || s.ending.interrupted || s.ending.ended ? -1 : totals_.changed);
  s.journal.reset();
  s.records->Close();
}

}  // namespace Conversion
