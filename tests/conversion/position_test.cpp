// Where a run stands: the first record sent and not answered, whatever the
// order the answers come in, however many come behind one that is late.
#include <gtest/gtest.h>

#include <random>

#include "conversion/position.h"

namespace {

TEST(PositionTest, TheFirstUnansweredRecordStandsWhateverOrderAnswersComeIn) {
  Conversion::Position position;
  EXPECT_EQ(position.FirstUnanswered(), -1);
  // Groups of records answered out of order, and one record of the first
  // group answered only at the end: thousands wait behind it.
  std::vector<qint64> answers;
  for (qint64 r = 0; r < 20000; ++r) {
    position.Done(r - 1, QString::number(r - 1));
    position.Sent(r);
    if (r != 17) answers.push_back(r);
  }
  std::mt19937 random(7);
  for (size_t from = 0; from < answers.size(); from += 500)
    std::shuffle(answers.begin() + qsizetype(from), answers.begin() + qsizetype(std::min(answers.size(), from + 500)),
                 random);
  std::vector<bool> answered(20000, false);
  qint64 first = 0;
  for (size_t i = 0; i < answers.size(); ++i) {
    position.Settle(answers[i]);
    position.Settle(answers[i]);  // told twice, as a group and as its row
    answered[size_t(answers[i])] = true;
    while (first < 17 && answered[size_t(first)]) ++first;
    if (i % 997 == 0) {
      ASSERT_EQ(position.FirstUnanswered(), first) << i;
    }
  }
  EXPECT_EQ(position.FirstUnanswered(), 17);
  // A record never sent changes nothing; a record sent again waits again.
  position.Settle(50000);
  position.Sent(30);
  EXPECT_EQ(position.FirstUnanswered(), 17);
  position.Settle(17);
  EXPECT_EQ(position.FirstUnanswered(), 30);
  position.Settle(30);
  EXPECT_EQ(position.FirstUnanswered(), -1);
  position.Sent(20000);
  EXPECT_EQ(position.FirstUnanswered(), 20000);
}

TEST(PositionTest, AGroupAnsweredAtOnceSettlesItsRecordsAndNoOthers) {
  Conversion::Position position;
  for (qint64 r = 0; r < 10000; ++r) position.Sent(r);
  // A group of every other record from 100, with records never sent and
  // one answered before among them: the ones before 100 still wait.
  std::vector<qint64> group{-5, 3};
  for (qint64 r = 100; r < 9000; r += 2) group.push_back(r);
  group.push_back(20000);
  position.Settle(std::vector<qint64>{102});
  position.Settle(group);
  EXPECT_EQ(position.FirstUnanswered(), 0);
  std::vector<qint64> rest;
  for (qint64 r = 0; r < 10000; ++r)
    if (r != 3 && (r < 100 || r >= 9000 || r % 2 == 1)) rest.push_back(r);
  // All but the last: it alone is left.
  const qint64 last = rest.back();
  rest.pop_back();
  position.Settle(rest);
  EXPECT_EQ(position.FirstUnanswered(), last);
  position.Settle(std::vector<qint64>{last});
  EXPECT_EQ(position.FirstUnanswered(), -1);
}

}  // namespace
