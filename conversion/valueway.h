// Without a key or an index on the field: every distinct (old, new) pair
// goes into the pair table as it is read, and one join at the end converts
// the column (Rewrite::ValueJoin). A large value goes alone.
#pragma once

#include <memory>

#include "conversion/way.h"
#include "database/valuejoin.h"

namespace Conversion {

class ValueWay : public Way {
 public:
  ValueWay(std::unique_ptr<Rewrite::ValueJoin> join, Batch::Sender& sender, Rewrite::ValueJoin::RefusedCall refused)
      : join_(std::move(join)), sender_(sender), refused_(std::move(refused)) {}

  void SetJournal(Journal::RunRecorder* journal) override;
  bool Takes(const Pair& pair) const override;
  void Add(Pair&& pair, const Batch::Note& note) override;
  // The pairs are in before the statement's transaction begins, and the
  // journal keeps the records' order.
  void Alone(const std::function<void()>& send) override;
  void Finish() override;
  // The end's join, or a range of it, was refused: it goes again in halves.
  bool Refused(int tag, const QString& text, const QString& key, const QList<int>& fields) override;

 private:
  std::unique_ptr<Rewrite::ValueJoin> join_;
  Batch::Sender& sender_;
  Rewrite::ValueJoin::RefusedCall refused_;
};

}  // namespace Conversion
