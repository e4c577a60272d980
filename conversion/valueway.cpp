#include "conversion/valueway.h"

#include "database/rewrite.h"

namespace Conversion {

void ValueWay::SetJournal(Journal::RunRecorder* journal) {
  join_->SetAhead([journal](const std::vector<Batch::Note>& notes) { journal->Write(notes); });
}

bool ValueWay::Takes(const Pair& pair) const { return !Rewrite::IsLarge(pair.oldBytes); }

void ValueWay::Add(Pair&& pair, const Batch::Note& note) {
  join_->Add(pair.tag, pair.record, pair.oldBytes, pair.newBytes, note);
}

void ValueWay::Alone(const std::function<void()>& send) {
  join_->Send(true);
  send();
  sender_.Flush();
}

void ValueWay::Finish() {
  sender_.Flush();
  join_->Finish(refused_);
}

bool ValueWay::Refused(int tag, const QString& text, const QString&, const QList<int>&) {
  if (tag >= 0) return false;
  join_->Refused(text);
  return true;
}

}  // namespace Conversion
