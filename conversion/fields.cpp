// A run of several fields: each row's fields read, converted and counted on
// their own, and sent together in one statement.
#include "conversion/engine.h"

#include <QSet>
#include <algorithm>

#include "conversion/state.h"
#include "database/rewrite.h"

namespace Conversion {

QString FieldsModeText(const std::vector<FieldMode>& fields) {
  QStringList each;
  for (const FieldMode& f : fields) each << f.name + QStringLiteral(": ") + ModeText(f.mode);
  return each.join(QStringLiteral(", "));
}

QStringList FieldModes(const std::vector<std::unique_ptr<FieldState>>& fields) {
  QStringList modes;
  for (const auto& f : fields) modes << ModeText(f->asked.mode);
  return modes;
}

QList<int> FieldsOf(const Batch::Note& note) {
  QList<int> fields;
  for (const Batch::RecordNote& r : note.records) fields << r.field;
  return fields;
}

bool Run::SeveralFields() const { return !s_->fields.empty(); }

QString Run::FieldsText(const QList<int>& fields, const QString& text) const {
  QStringList names;
  for (const int f : fields) names << s_->fieldNames.value(f);
  return names.join(QStringLiteral(", ")) + QStringLiteral(": ") + text;
}

void Run::RowFailed(Failure kind) {
  for (const Rewrite::Cell& c : s_->cells) {
    Summary& t = s_->fields[size_t(c.field)]->totals;
    --t.changed;
    ++(kind == Failure::Refused ? t.refused : t.notConvertible);
  }
}

bool Run::PrepareFields(qint64 record) {
  State& s = *s_;
  s.record = record;
  s.tag = int(record);
  s.cells.clear();
  s.read.clear();
  s.key.clear();
  s.statement.clear();
  ++totals_.read;
  try {
    s.keyValues = s.records->Value(1).toString();
  } catch (const Batch::FatalError&) {
    throw;
  } catch (const std::exception&) {
    // Without its key no field of the row can go: each is left, with why.
    for (const auto& field : s.fields) {
      ++field->totals.read;
      ++field->totals.notConvertible;
    }
    lastFailure_ = Failure::NotConvertible;
    throw;
  }
  if (s.identity.keyValues.isEmpty()) s.key = s.keyValues;
  const Case::Rules converting{options_.words.get(), options_.keepMixed};
  for (size_t f = 0; f < s.fields.size(); ++f) {
    FieldState& field = *s.fields[f];
    Summary& t = field.totals;
    ++t.read;
    try {
      const QVariant value = s.records->Value(field.valueColumn);
      QString oldText;
      QByteArray oldBytes;
      if (field.readsBytes) {
        oldBytes = value.toByteArray();
        if (s.read.size() == f) s.read.push_back({oldBytes, value.isNull()});
        oldText = field.bytes->Decode(oldBytes);
      } else if (MySQL::IsBytes(value)) {
        // Bytes have no text form: rewriting them as text would corrupt them.
        ++t.alreadyInCase;
        continue;
      } else {
        oldText = MySQL::ValueText(value.isNull() ? QVariant(QString()) : value);
        oldBytes = field.bytes->Old(oldText, field.storedColumn >= 0 ? s.records->Value(field.storedColumn) : QVariant());
        if (s.read.size() == f) s.read.push_back({value.isNull() ? QByteArray() : oldBytes, value.isNull()});
      }
      const QString newText = Case::ConvertCase(field.asked.mode, oldText, converting);
      const bool mixedKept = options_.keepMixed &&
                             (field.asked.mode == Case::CaseMode::CaseProper || field.asked.mode == Case::CaseMode::CaseName);
      if (mixedKept && newText == oldText && Case::IsMixedCase(oldText) &&
          Case::ConvertCase(field.asked.mode, oldText, {options_.words.get(), false}) != oldText)
        ++t.keptMixed;
      if (newText == oldText) {
        ++t.alreadyInCase;
        continue;
      }
      const QByteArray newBytes = field.bytes->New(oldText, oldBytes, newText);
      ++t.changed;
      if (options_.dryRun && int(samples_.size()) < options_.samples)
        samples_.push_back({record, oldText, newText, field.asked.name});
      s.cells.push_back({int(f), oldBytes, newBytes});
    } catch (const Batch::FatalError&) {
      throw;
    } catch (const std::exception& e) {
      // This field is left as it is; the row's others go on.
      ++t.notConvertible;
      Tell(record, ShownKey(), FieldsText({int(f)}, QString::fromStdString(e.what())), Failure::NotConvertible);
    }
  }
  if (s.read.size() != s.fields.size()) s.read.clear();
  if (s.cells.empty()) return false;
  ++totals_.changed;
  return true;
}

void Run::PassRow() {
  State& s = *s_;
  if (options_.dryRun || s.ending.ended || !s.way || !s.sender) return;
  Pair pair{s.tag, s.record, s.key, s.keyValues, {}, {}};
  if (!s.fields.empty()) {
    pair.read = s.read;
  } else {
    // One field: its bytes as they are stored, where they were read so
    // (by key: a range of keys is what the way vouches for).
    if (!s.keyed || s.failed || s.isBytes || !s.haveOld) return;
    pair.read = {Conversion::Read{s.oldNull ? QByteArray() : s.oldBytes, s.oldNull}};
    pair.function = ServerCase::Of(s.mode);
  }
  s.way->Passed(std::move(pair));
}

void Run::SendRow() {
  State& s = *s_;
  if (options_.dryRun || s.ending.ended) return;
  if (!s.sender) throw Closed();
  s.position.Sent(s.record);
  Pair pair{s.tag, s.record, s.key, s.keyValues, {}, {}};
  pair.cells = s.cells;
  pair.read = s.read;
  Dispatch(std::move(pair), [&] { return Rewrite::RowNote(s.record, NoteKey(s, s.key, s.keyValues), s.cells); });
}

void Run::AnsweredFields(int tag, qint64 changed, const Batch::Shortfall& shortfall, const Batch::Note& note) {
  State& s = *s_;
  // Fields that go again alone are answered for then, their row settled.
  if (tag < 0 && s.way && !shortfall.again.isEmpty()) s.way->Again(shortfall.again);
  if (tag >= 0) Settle(tag);
  else if (s.way)
    SettleUnderway();
  s.serverChanged += changed;
  // Each field changed every record sent for it, but those the statement
  // left, and those that go again.
  std::vector<qint64> sent(s.fields.size(), 0);
  for (const Batch::RecordNote& r : note.records)
    if (size_t(r.field) < sent.size()) ++sent[size_t(r.field)];
  for (const Batch::RecordNote& r : shortfall.again)
    if (size_t(r.field) < sent.size()) --sent[size_t(r.field)];
  for (size_t f = 0; f < s.fields.size(); ++f) {
    FieldState& field = *s.fields[f];
    const Batch::Shortfall::FieldCounts left =
        f < shortfall.fields.size() ? shortfall.fields[f] : Batch::Shortfall::FieldCounts{};
    field.changed += sent[f] - left.Left();
    field.changedSince += left.changedSince;
    field.sameValue += left.sameValue;
    field.notMatching += left.notMatching;
    field.storedOtherwise += left.storedOtherwise;
  }
}

void Run::CountFields(bool answered) {
  const State& s = *s_;
  Summary sum;
  for (const auto& field : s.fields) {
    Summary& t = field->totals;
    if (answered) {
      t.changed = field->changed;
      t.changedSince = field->changedSince;
      t.sameValue = field->sameValue;
      t.notMatching = field->notMatching;
      t.storedOtherwise = field->storedOtherwise;
      t.notChanged = t.changedSince + t.sameValue + t.notMatching;
      t.triggers = s.triggers;
    }
    sum.alreadyInCase += t.alreadyInCase;
    sum.refused += t.refused;
    sum.notConvertible += t.notConvertible;
    sum.notChanged += t.notChanged;
    sum.changedSince += t.changedSince;
    sum.sameValue += t.sameValue;
    sum.notMatching += t.notMatching;
    sum.storedOtherwise += t.storedOtherwise;
    sum.keptMixed += t.keptMixed;
  }
  sum.read = totals_.read;
  sum.changed = totals_.changed;
  sum.triggers = totals_.triggers;
  sum.waitedSeconds = totals_.waitedSeconds;
  sum.waitedFor = totals_.waitedFor;
  totals_ = sum;
}

std::vector<FieldSummary> Run::FieldTotals() const {
  std::vector<FieldSummary> all;
  for (const auto& field : s_->fields) all.push_back({field->asked.name, ModeText(field->asked.mode), field->totals});
  return all;
}

Batch::Shortfall FindCellShortfall(ADODB::Connection& connection, const MySQL::RowIdentity& identity,
                                   const QString& table, const QStringList& fields, int tag, const Batch::Note& note,
                                   qint64 changed) {
  Batch::Shortfall found;
  found.byField = true;
  found.fields.resize(size_t(fields.size()));
  // As a run of one judges its rows: the old bytes still, or something else.
  const auto judge = [&](qsizetype at, const std::optional<QByteArray>& now) {
    if (at < 0 || at >= note.records.size()) return;
    const Batch::RecordNote& r = note.records[at];
    Batch::Shortfall::FieldCounts& counts = found.fields[size_t(r.field)];
    found.notes << r;
    if (now && *now == r.oldBytes) {
      ++found.sameValue;
      ++counts.sameValue;
    } else {
      ++found.changedSince;
      ++counts.changedSince;
      if (now) found.stored << Batch::RecordNote{r.record, r.key, r.oldBytes, *now, r.field};
    }
  };
  if (tag >= 0) {
    // A row alone: its fields as they are now.
    const QString key = note.records.value(0).key;
    const QString condition = identity.keyValues.isEmpty() ? key : Rewrite::KeyCondition(identity, key);
    QStringList columns;
    for (const Batch::RecordNote& r : note.records)
      columns << QStringLiteral("CAST(%1 AS BINARY)").arg(MySQL::QuoteName(fields.value(r.field)));
    auto row = connection.Execute(QStringLiteral("SELECT %1 FROM %2 WHERE %3;")
                                      .arg(columns.join(QStringLiteral(", ")), MySQL::QuoteName(table), condition));
    const bool present = row && !row->Eof();
    for (qsizetype i = 0; i < note.records.size(); ++i) {
      std::optional<QByteArray> now;
      if (present && !row->Value(int(i)).isNull()) now = row->Value(int(i)).toByteArray();
      if (now && *now == note.records[i].newBytes) {
        if (changed > 0) continue;  // the statement changed it
        if (!identity.transactional) {
          ++found.already;  // a try taken back that the table kept
          continue;
        }
      }
      judge(i, now);
    }
    return found;
  }
  // A group: its pair rows in the order they went in, each row's records
  // one after another in the note; then the rows that do not hold every new
  // value. The join changes a row whole or not at all: a row left whole,
  // whose field still holds its old bytes, was left for another field's
  // sake, and that field goes again without it.
  const int group = -tag - 1;
  std::vector<qint64> order;
  for (auto rows = connection.Execute(Rewrite::GroupRows(group)); rows && !rows->Eof(); rows->MoveNext())
    order.push_back(rows->Value(0).toLongLong());
  std::vector<qsizetype> rowStart;
  for (qsizetype i = 0; i < note.records.size(); ++i)
    if (i == 0 || note.records[i].record != note.records[i - 1].record) rowStart.push_back(i);
  rowStart.push_back(note.records.size());
  for (auto rows = connection.Execute(Rewrite::GroupShortfall(table, fields, identity, group)); rows && !rows->Eof();
       rows->MoveNext()) {
    const auto at = std::lower_bound(order.begin(), order.end(), rows->Value(0).toLongLong());
    const size_t row = size_t(at - order.begin());
    if (at == order.end() || *at != rows->Value(0).toLongLong() || row + 1 >= rowStart.size()) continue;
    std::vector<std::optional<QByteArray>> now(size_t(fields.size()));
    for (int f = 0; f < fields.size(); ++f)
      if (!rows->Value(f + 1).isNull()) now[size_t(f)] = rows->Value(f + 1).toByteArray();
    const auto holds = [&](qsizetype i, const QByteArray& bytes) {
      const std::optional<QByteArray>& value = now[size_t(note.records[i].field)];
      return value && *value == bytes;
    };
    // Changed where a field of it holds its new value.
    bool changedRow = false;
    for (qsizetype i = rowStart[row]; i < rowStart[row + 1]; ++i) changedRow = changedRow || holds(i, note.records[i].newBytes);
    for (qsizetype i = rowStart[row]; i < rowStart[row + 1]; ++i) {
      if (holds(i, note.records[i].newBytes)) continue;
      if (!changedRow && holds(i, note.records[i].oldBytes))
        found.again << note.records[i];
      else
        judge(i, now[size_t(note.records[i].field)]);
    }
  }
  return found;
}

}  // namespace Conversion
