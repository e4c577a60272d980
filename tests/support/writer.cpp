#include "tests/support/writer.h"

#include <QRandomGenerator>
#include <vector>

#include "database/ado.h"
#include "database/batch.h"
#include "tests/support/testdb.h"

namespace {

enum class Kind { Update, Insert, Delete };

QString Quoted(const QString& text) {
  QString q = text;
  q.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
  return u'\'' + q + u'\'';
}

const char* kFirst[] = {"anna", "JOSÉ", "zoë", "mARIE-claire", "o'brien", "łukasz", "seán", "lee"};
const char* kLast[] = {"o'neil", "McDONALD", "van der berg", "müller", "nguyen", "garcía"};

}  // namespace

void MakeNameTable(const MySQL::ConnectionDetails& details, int rows, quint32 seed, bool distinct) {
  Sql(details, {"DROP TABLE IF EXISTS t",
                "CREATE TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, v VARCHAR(100)) ENGINE=InnoDB"});
  QRandomGenerator random(seed);
  for (int start = 0; start < rows; start += 2000) {
    QStringList values;
    for (int i = start; i < std::min(rows, start + 2000); ++i) {
      const QString name = QString::fromUtf8(kFirst[random.bounded(8)]) + u' ' +
                           QString::fromUtf8(kLast[random.bounded(6)]) + u' ' +
                           QString::number(distinct ? i : random.bounded(rows));
      values << u'(' + Quoted(name) + u')';
    }
    Sql(details, {"INSERT INTO t (v) VALUES " + values.join(u',')});
  }
}

QMap<int, QString> TableById(const MySQL::ConnectionDetails& details) {
  ADODB::Connection c;
  c.CursorLocation = ADODB::adUseClient;
  c.Open(MySQL::ConnectionString(details));
  auto rows = c.Execute(QStringLiteral("SELECT CONCAT(id, ':', v) FROM t"));
  QMap<int, QString> table;
  while (rows && !rows->Eof()) {
    const QString row = MySQL::ValueText(rows->Value(0));
    table.insert(row.section(u':', 0, 0).toInt(), row.section(u':', 1));
    rows->MoveNext();
  }
  return table;
}

ConcurrentWriter::ConcurrentWriter(const MySQL::ConnectionDetails& details, const QMap<int, QString>& originals,
                                   quint32 seed)
    : details_(details), originals_(originals), seed_(seed) {}

ConcurrentWriter::~ConcurrentWriter() { Stop(); }

void ConcurrentWriter::Start() {
  running_ = true;
  thread_ = std::thread([this] { Loop(); });
}

void ConcurrentWriter::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

QString ConcurrentWriter::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

bool ConcurrentWriter::WaitForWrites(int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  const int target = writes_ + count;
  changed_.wait(lock, [&] { return writes_ >= target || !running_; });
  return writes_ >= target;
}

void ConcurrentWriter::Loop() {
  QRandomGenerator random(seed_);
  std::vector<int> live = std::vector<int>(originals_.keyBegin(), originals_.keyEnd());
  const QStringList pool = originals_.values();
  try {
    ADODB::Connection c;
    c.CursorLocation = ADODB::adUseClient;
    c.Open(MySQL::ConnectionString(details_));
    // A write that would wait for the run's batch is dropped instead: the
    // writer keeps moving and never holds the run up for long.
    c.Execute(QStringLiteral("SET SESSION innodb_lock_wait_timeout = 1"));
    int serial = 0;
    while (!stop_) {
      // A new value of the writer's own, or now and then another row's
      // original value, which the run may then convert as well.
      const QString value = random.bounded(5) == 0 ? pool[random.bounded(pool.size())]
                                                   : QStringLiteral("writer's value %1 of %2").arg(++serial).arg(seed_);
      const int pick = random.bounded(100);
      const Kind kind = live.empty() || (pick >= 70 && pick < 85) ? Kind::Insert
                        : pick < 70                                 ? Kind::Update
                                                                    : Kind::Delete;
      const size_t at = live.empty() ? 0 : random.bounded(quint32(live.size()));
      int id = kind == Kind::Insert ? 0 : live[at];
      const QString statement =
          kind == Kind::Update   ? QStringLiteral("UPDATE t SET v = %1 WHERE id = %2").arg(Quoted(value)).arg(id)
          : kind == Kind::Insert ? QStringLiteral("INSERT INTO t (v) VALUES (%1)").arg(Quoted(value))
                                 : QStringLiteral("DELETE FROM t WHERE id = %1").arg(id);
      try {
        c.Execute(statement);
        if (id == 0) {
          auto last = c.Execute(QStringLiteral("SELECT LAST_INSERT_ID()"));
          id = last->Value(0).toInt();
          live.push_back(id);
        }
      } catch (const ADODB::Error& e) {
        // A lock wait or deadlock takes the single statement back: nothing
        // was written. Anything else ends the writer.
        if (Batch::Classify(e) != Batch::ErrorKind::Conflict) throw;
        ++skipped_;
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (kind == Kind::Delete) {
        written_.insert(id, QString());
        live[at] = live.back();
        live.pop_back();
      } else {
        written_.insert(id, value);
      }
      ++writes_;
      changed_.notify_all();
    }
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = QString::fromStdString(e.what());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  changed_.notify_all();
}

QStringList ConcurrentWriter::Violations(const MySQL::ConnectionDetails& details, Case::CaseMode mode) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const QMap<int, QString> table = TableById(details);
  QStringList wrong;
  const auto row = [](int id, const QString& v) { return QStringLiteral("row %1 = '%2'").arg(id).arg(v); };
  for (auto it = table.begin(); it != table.end(); ++it) {
    const int id = it.key();
    const QString& now = it.value();
    if (written_.contains(id)) {
      const QString last = written_.value(id);
      if (last.isNull())
        wrong << row(id, now) + QStringLiteral(": the writer deleted it");
      else if (now != last && now != Case::ConvertCase(mode, last))
        wrong << row(id, now) + QStringLiteral(": the writer last wrote '%1'").arg(last);
    } else if (originals_.contains(id)) {
      if (now != Case::ConvertCase(mode, originals_.value(id)))
        wrong << row(id, now) + QStringLiteral(": was '%1', nobody else wrote it").arg(originals_.value(id));
    } else {
      wrong << row(id, now) + QStringLiteral(": nobody wrote it");
    }
  }
  for (auto it = written_.begin(); it != written_.end(); ++it)
    if (!it.value().isNull() && !table.contains(it.key()))
      wrong << QStringLiteral("row %1: the writer wrote '%2', but it is gone").arg(it.key()).arg(it.value());
  for (auto it = originals_.begin(); it != originals_.end(); ++it)
    if (!written_.contains(it.key()) && !table.contains(it.key()))
      wrong << QStringLiteral("row %1: was '%2', but it is gone").arg(it.key()).arg(it.value());
  return wrong;
}
