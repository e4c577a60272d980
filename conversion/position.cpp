// Where a run stands, and the hold on a run being made or continued.
#include "conversion/position.h"

#include <QFile>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include "conversion/engine.h"
#include "conversion/state.h"

namespace Conversion {

void Run::Settle(qint64 record) { s_->position.Settle(record); }

void Run::SettleUnderway() {
  std::vector<qint64> records;
  s_->way->ForUnderway([&](qint64 record) { records.push_back(record); });
  if (!std::is_sorted(records.begin(), records.end())) std::sort(records.begin(), records.end());
  s_->position.Settle(records);
}

void Run::KeepPosition(const QString& ended, bool now) {
  if (s_->journal && Resumable()) s_->position.Keep(*s_->journal, options_.resume, ended, now);
}

void Run::Tell(qint64 record, const QString& key, const QString& text, Failure kind) {
  const qint64 first = s_->position.FirstUnanswered();
  if (first >= 0 && first < record) {
    held_.push_back({record, key, text, kind});
    return;
  }
  Release(record);
  listener_.RecordFailed(record, key, text, kind, 1);
}

void Run::Release(qint64 record) {
  size_t told = 0;
  while (told < held_.size() && (record < 0 || held_[told].record < record)) {
    const Told& t = held_[told++];
    listener_.RecordFailed(t.record, t.key, t.text, t.kind, 1);
  }
  held_.erase(held_.begin(), held_.begin() + qsizetype(told));
}

bool Run::Resumable() const {
  return !options_.dryRun && s_->keyed && s_->records->Reading() == Rewrite::Rows::Way::ByKey;
}

qint64 Run::FirstRecordNumber() const { return options_.resume ? options_.resume->nextRecord : 0; }


void Position::Sent(qint64 record) {
  std::lock_guard lock(mutex_);
  if (!sent_.empty() && sent_.back().record >= record) {
    // Sent again: it stands where it first stood.
    const auto at = std::lower_bound(sent_.begin(), sent_.end(), record,
                                     [](const Sending& s, qint64 r) { return s.record < r; });
    if (at != sent_.end() && at->record == record) {
      if (at->answered) --answeredWithin_;
      *at = {record, doneRecord_, doneKey_, false};
      return;
    }
    sent_.insert(at, {record, doneRecord_, doneKey_, false});
    return;
  }
  sent_.push_back({record, doneRecord_, doneKey_, false});
}

void Position::Settle(qint64 record) { Settle(std::vector<qint64>{record}); }

void Position::Settle(const std::vector<qint64>& records) {
  std::lock_guard lock(mutex_);
  auto from = sent_.begin();
  for (const qint64 record : records) {
    const auto at = std::lower_bound(from, sent_.end(), record, [](const Sending& s, qint64 r) { return s.record < r; });
    if (at == sent_.end()) break;
    from = at;
    if (at->record != record || at->answered) continue;
    at->answered = true;
    ++answeredWithin_;
  }
  while (!sent_.empty() && sent_.front().answered) {
    sent_.pop_front();
    --answeredWithin_;
  }
  Compact();
}

// Answered records behind one that is not are let go once they are most
// of those kept: memory stays that of the records on their way.
void Position::Compact() {
  if (answeredWithin_ < 4096 || answeredWithin_ * 2 < sent_.size()) return;
  sent_.erase(std::remove_if(sent_.begin(), sent_.end(), [](const Sending& s) { return s.answered; }), sent_.end());
  answeredWithin_ = 0;
}

qint64 Position::FirstUnanswered() {
  std::lock_guard lock(mutex_);
  return sent_.empty() ? -1 : sent_.front().record;
}

void Position::Done(qint64 record, const QString& key) {
  std::lock_guard lock(mutex_);
  doneRecord_ = record;
  doneKey_ = key;
}

void Position::Keep(Journal::RunRecorder& journal, const std::optional<Journal::RunHeader>& resume,
                    const QString& ended, bool now) {
  const auto time = std::chrono::steady_clock::now();
  if (!now && time - kept_ < std::chrono::seconds(1)) return;
  kept_ = time;
  qint64 record;
  QString key;
  {
    std::lock_guard lock(mutex_);
    if (sent_.empty()) {
      record = doneRecord_;
      key = doneKey_;
    } else {
      record = sent_.front().before;
      key = sent_.front().beforeKey;
    }
  }
  if (record < 0 && resume) {
    journal.SetProgress(ended, resume->position, resume->nextRecord);
    return;
  }
  journal.SetProgress(ended, key, record + 1);
}

std::optional<QString> NotResumable(const std::optional<Journal::RunHeader>& run, const QString& modeText,
                                    const QString& where, const QString& wordsHash) {
  if (!run) return QStringLiteral("the journal holds no run of it made on this server");
  if (run->undone) return QStringLiteral("its newest run, run %1, was undone").arg(run->id);
  if (run->ended.isEmpty()) return QStringLiteral("its newest run, run %1, finished").arg(run->id);
  // Rows an undo put back lie before where the run stopped: continuing
  // after that point would leave them as they are.
  if (run->restored)
    return QStringLiteral("`norvale undo` has since put back rows of run %1 that lie before where it stopped; convert "
                          "the field again without --resume")
        .arg(run->id);
  if (run->keyNames.isEmpty())
    return QStringLiteral("run %1 did not read its rows by a key, so where it stopped is not known").arg(run->id);
  if (run->mode != modeText) return QStringLiteral("run %1 converted to %2, not %3").arg(run->id).arg(run->mode, modeText);
  if (run->where != where)
    return run->where.isEmpty() ? QStringLiteral("run %1 converted every row, without --where").arg(run->id)
                                : QStringLiteral("run %1 converted the rows where %2").arg(run->id).arg(run->where);
  if (run->words != wordsHash) return QStringLiteral("run %1 used another word list").arg(run->id);
  return std::nullopt;
}

RunHold::~RunHold() {
  if (fd_ >= 0) ::close(fd_);  // the hold goes with it
}

bool RunHold::Take(const QString& journalPath, qint64 run) {
  // A lock on one byte of the journal file, far past the bytes SQLite locks,
  // held by this open file alone (OFD): the kernel lets it go with the
  // process, however the process ends.
  fd_ = ::open(QFile::encodeName(journalPath).constData(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) return true;  // no journal file to hold: nothing else holds it either
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = (off_t(1) << 40) + off_t(run);
  lock.l_len = 1;
  return ::fcntl(fd_, F_OFD_SETLK, &lock) == 0;
}

}  // namespace Conversion
