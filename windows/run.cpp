// "Start Changing": rewrites every value of the current field in the chosen
// case, one statement per record, while the progress bar moves.
#include "windows/run.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "caserules/case.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/columnbytes.h"
#include "database/mysql.h"
#include "database/rewrite.h"
#include "database/rowkey.h"
#include "database/valuejoin.h"
#include "journal/recorder.h"
#include "shell/errorreport.h"
#include "shell/main.h"
#include "windows/form1.h"
#include "windows/form2.h"

namespace {

// The pairs of one join by key, as statement bytes and records at most (and
// the bytes well under what the server takes in one statement). A group is
// one statement, which a cluster takes back whole when another node writes
// one of its rows: larger groups are faster alone and never get through a
// busy cluster.
constexpr qsizetype kJoinBytes = 512 * 1024;
constexpr size_t kJoinRecords = 1000;
// How often the window's events go on between records, in milliseconds.
constexpr qint64 kEventsEveryMs = 10;

// Every character whose case a mode can change, and what it can become.
const std::vector<char32_t>& CasedCharacters() {
  static const std::vector<char32_t> cased = [] {
    QSet<char32_t> all;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const QString text = QString::fromUcs4(&c, 1);
      for (const QString& to : {Case::UpperText(text), Case::LowerText(text)}) {
        if (to == text) continue;
        all.insert(c);
        for (const uint d : to.toUcs4()) all.insert(d);
      }
    }
    std::vector<char32_t> list(all.begin(), all.end());
    std::sort(list.begin(), list.end());
    return list;
  }();
  return cased;
}

}  // namespace

namespace Run {

QString EscapeValue(const QString& text) {
  QString escaped;
  escaped.reserve(text.size() + 8);
  for (const QChar c : text) {
    if (c == u'\\') {
      escaped += QStringLiteral("\\\\");
    } else if (c == u'\'') {
      escaped += QStringLiteral("\\'");
    } else if (c == QChar(0)) {
      escaped += QStringLiteral("\\0");
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace Run

void Form2::PushButton1_Click() {
  Main::Procedure p(QStringLiteral("Form2"), QStringLiteral("PushButton1_Click"));
  std::unique_ptr<ADODB::Connection> connection;
  std::unique_ptr<ADODB::RecordSet> records;
  std::unique_ptr<Batch::Sender> sender;
  MySQL::RowIdentity identity;
  qint32 lastRecord = 0;
  QString tableName, fieldName, oldText, newText, statement, key;
  QByteArray oldBytes, newBytes;  // the value as the column holds it
  std::unique_ptr<Rewrite::ColumnBytes> bytes;
  QVariant value;

  p.Line(100, [&] { connection = std::make_unique<ADODB::Connection>(); });
  p.Line(102, [&] { records = std::make_unique<ADODB::RecordSet>(); });
  if (!p.If(104, [&] { return ListView2->Count() >= 1; })) {
    p.Line(206, [&] { Main::MsgBox(QStringLiteral("Please select a field.")); });
    return;
  }
  // Nothing the run reads from the window may change under it.
  InputGuard::Hold hold(*guard_);
  p.Line(106, [&] { pointer_.Set(PointerState::Busy); });
  p.Line(108, [&] { connection->CommandTimeout = 5000; });
  p.Line(110, [&] { connection->ConnectionTimeout = 5000; });
  p.Line(112, [&] {
    connection->CursorLocation = ADODB::adUseClient;
    connection->MultipleStatements = true;  // the statements travel in batches
    connection->ResponsiveWaits = true;     // the window lives while the server works
  });
  // A statement's failure that concerns its own record is reported at its
  // execute line once its batch has gone; a failure no later record can
  // escape ends the run after one report.
  int executeLine = 0;
  bool ended = false;
  const auto send = [&](const std::function<void()>& step) {
    if (ended) return;
    if (!sender) throw ADODB::Error(QStringLiteral("Operation is not allowed when the object is closed."));
    try {
      step();
    } catch (const Batch::FatalError& e) {
      ended = true;
      p.Line(executeLine, [&] { throw e; });
    }
  };
  // Without a key a statement stands for every row holding its value, and
  // goes once for the first record of that value: its answer holds for all
  // of them, each reported at its own execute line.
  Rewrite::DistinctValues distinct;
  QHash<qsizetype, QString> refusals;  // the refused values, with the server's text
  const auto refuseValue = [&](qsizetype number, const QString& text) {
    refusals.insert(number, text);
    for (qint64 i = distinct.Count(number); i > 0; --i) p.Line(executeLine, [&] { throw ADODB::Error(text); });
  };
  // And where nothing finds a value's rows fast, all values go together as
  // one join at the end.
  std::unique_ptr<Rewrite::ValueJoin> valueJoin;
  // By key, many records go together as one join (tagged from -1 down). A
  // join the server refuses goes again record by record, so that each
  // refusal is its own record's.
  struct Pair {
    int tag;
    qint64 record;
    QString key, keyValues;
    QByteArray oldBytes, newBytes;
    bool journaled = false;  // its group went to the server, and the journal, first
  };
  bool joined = false;
  QString keyValues;
  std::vector<Pair> joining;
  qsizetype joiningBytes = 0;
  std::vector<Pair> group;  // the join under way: each goes as a transaction of its own
  int groups = 0;
  std::vector<Pair> alone;
  // Records that go alone after their join was refused, then the pairs
  // gathered for the next join.
  const auto sendAlone = [&] {
    std::vector<Pair> now;
    now.swap(alone);
    for (const Pair& a : now) {
      const QStringList note = Rewrite::RecordNote(a.record, a.key, a.oldBytes, a.newBytes);
      sender->Add(Rewrite::KeyedStatement(tableName, fieldName, a.key, a.oldBytes, a.newBytes),
                  a.tag, a.journaled ? Rewrite::Journaled(note) : note);
    }
  };
  const std::function<void()> sendJoin = [&] {
    sendAlone();
    if (joining.empty()) return;
    std::vector<Rewrite::Pair> pairs;
    QStringList note;
    for (const Pair& j : joining) {
      pairs.push_back({j.keyValues, j.oldBytes, j.newBytes});
      note << Rewrite::RecordNote(j.record, j.key, j.oldBytes, j.newBytes);
    }
    const int number = groups++;
    group = std::move(joining);
    joining.clear();
    joiningBytes = 0;
    // The pairs go ahead on their own; a group they cannot join goes record
    // by record.
    try {
      connection->Execute(Rewrite::GroupInsert(number, identity, pairs));
    } catch (const ADODB::Error& e) {
      if (Batch::Classify(e) == Batch::Failure::Fatal) throw Batch::FatalError(e);
      alone.insert(alone.end(), group.begin(), group.end());
      std::vector<Pair>().swap(group);
      sendAlone();
      return;
    }
    // A group is a transaction of its own: once it is answered, what went
    // wrong is in `alone` and its pairs are let go.
    sender->Add(Rewrite::GroupStatement(tableName, fieldName, identity, number), -number - 1, note);
    sender->Flush();
    std::vector<Pair>().swap(group);
    connection->ExecuteMany(Rewrite::GroupsDone(), [](int, ADODB::RecordSet*) {});
    sendAlone();
  };
  p.Line(114, [&] {
    connection->Open(MySQL::ConnectionString(form1_.Details()));
    // A value that does not fit must be refused, never cut or blanked; keys
    // of TIMESTAMP columns read and written in one time zone.
    auto mode = connection->Execute(QStringLiteral("SELECT @@SESSION.sql_mode;"));
    const QString current = mode ? mode->Value(0).toString() : QString();
    connection->Execute(Rewrite::SessionModeStatement(current));
    connection->Execute(MySQL::SessionTimeZone());
    sender = std::make_unique<Batch::Sender>(*connection, [&](int tag, const QString& text) {
      if (tag < 0 && valueJoin) {
        valueJoin->Refused(text);
      } else if (tag < 0) {
        for (Pair& g : group) g.journaled = true;
        alone.insert(alone.end(), group.begin(), group.end());
        group.clear();
      } else if (identity.columns.isEmpty()) {
        refuseValue(tag, text);
      } else {
        p.Line(executeLine, [&] { throw ADODB::Error(text); });
      }
    });
  });
  p.Line(116, [&] {
    const QString table = ListView1->SelectedText(), field = ListView2->SelectedText();
    // The field, and where the table has a usable key, each row's key to
    // find it by.
    identity = MySQL::ReadRowIdentity(*connection, table, field);
    // The column's own bytes are what the run compares and writes.
    bytes = std::make_unique<Rewrite::ColumnBytes>(*connection, identity.charset);
    if (bytes->ReadsStored()) bytes->Learn(CasedCharacters());
    records->ReadOnce = true;
    records->Open(Rewrite::FieldQuery(table, field, identity, bytes->ReadsStored()), *connection,
                  ADODB::adOpenStatic, ADODB::adLockOptimistic);
    // Many records go together as one join where the table takes a failed
    // join back whole (so that its records can go again one by one): by key
    // where there is one, else by value where no index finds values.
    const bool byKey = !identity.columns.isEmpty() && !identity.keyValues.isEmpty();
    const bool byValue = identity.columns.isEmpty() && !identity.fieldIndexed;
    if (sender && !sender->StatementLog() && identity.transactional && (byKey || byValue) &&
        !Rewrite::NamedLikeOwnTables(table)) {
      try {
        if (byKey) {
          connection->ExecuteMany(Rewrite::KeysTable(table, identity), [](int, ADODB::RecordSet*) {});
          joined = true;
        } else {
          valueJoin = std::make_unique<Rewrite::ValueJoin>(*connection, *sender, table, field);
        }
      } catch (const ADODB::Error&) {
        // No temporary tables for this login: record by record.
      }
    }
  });
  // Every record's change reaches the undo journal before its batch is
  // sent; a run that cannot be journaled stops here, before its first
  // statement.
  std::unique_ptr<Journal::RunRecorder> journal;
  if (sender && records->IsOpen()) {
    journal = StartJournal(identity);
    if (!journal) {
      pointer_.Set(PointerState::Default);
      return;
    }
    sender->SetHook(journal.get());
    if (valueJoin) valueJoin->SetAhead([&](const std::vector<QStringList>& notes) { journal->Write(notes); });
  }
  const bool keyed = !identity.columns.isEmpty();
  const int storedColumn = keyed ? 2 : 1;
  // A group's pairs stay well inside what the server takes in one statement.
  const qsizetype groupBytes = sender ? std::min(kJoinBytes, sender->ByteBound()) : kJoinBytes;
  p.Line(124, [&] { lastRecord = qint32(records->RecordCount()) - 1; });

  // One mode: its search word, its rule.
  struct ModeLines {
    int test;
    Case::CaseMode mode;
  };
  static const ModeLines kModes[] = {{140, Case::CaseMode::CaseUpper},
                                     {148, Case::CaseMode::CaseLower},
                                     {156, Case::CaseMode::CaseProper},
                                     {164, Case::CaseMode::CaseSentence},
                                     {210, Case::CaseMode::CaseName}};
  const auto modeIs = [&](Case::CaseMode mode) { return Case::CaseModeFromText(Combo1->currentText()) == mode; };

  QElapsedTimer sinceEvents;
  if (p.If(126, [&] { return !records->Eof(); })) {
    for (qint32 counter = 0; counter <= lastRecord && !ended; ++counter) {
      // The window's events, as often as a user can tell (every record would
      // cost more than the record itself).
      p.Line(130, [&] {
        if (counter == 0 || sinceEvents.hasExpired(kEventsEveryMs)) {
          QCoreApplication::processEvents();
          sinceEvents.start();
        }
      });
      p.Line(132, [&] {
        ProgressBar1->setValue(int(std::lround(double(counter + 1) / double(lastRecord + 1) * 100.0)));
      });
      // A record whose old or new text cannot be computed gets no statement,
      // so no statement ever pairs the texts of two records. Bytes have no
      // text form: rewriting them as text would corrupt them.
      bool isBytes = false;
      const bool haveOld = p.Line(134, [&] {
        oldText.clear();
        key.clear();
        value = records->Value(0);
        isBytes = MySQL::IsBytes(value);
        if (keyed) {
          keyValues = records->Value(1).toString();
          key = Rewrite::KeyCondition(identity, keyValues);
        }
        if (isBytes) return;
        oldText = MySQL::ValueText(Main::NullToValue(value, QString()));
        if (!bytes) throw ADODB::Error(QStringLiteral("Operation is not allowed when the object is closed."));
        oldBytes = bytes->Old(oldText, bytes->ReadsStored() ? records->Value(storedColumn) : QVariant());
      });
      p.Line(136, [&] { tableName = ListView1->SelectedText(); });
      p.Line(138, [&] { fieldName = ListView2->SelectedText(); });
      for (const ModeLines& m : kModes) {
        if (!p.If(m.test, [&] { return modeIs(m.mode); })) continue;
        const bool haveNew = p.Line(m.test + 2, [&] {
          newText.clear();
          const QVariant again = records->Value(0);
          if (MySQL::IsBytes(again)) return;
          newText = Case::ConvertCase(m.mode, MySQL::ValueText(Main::NullToValue(again, QString())));
        });
        executeLine = m.test + 6;
        // A text that stays as it is needs no statement.
        if (!haveOld || !haveNew || isBytes || oldText == newText) break;
        // Without a key, a value already sent is not sent again.
        int tag = counter;
        if (!keyed) {
          const auto [number, seen] = distinct.Insert(bytes->ReadsStored() ? QString::fromLatin1(oldBytes) : oldText);
          if (!seen) {
            const auto refused = refusals.constFind(number);
            if (refused != refusals.constEnd()) p.Line(executeLine, [&] { throw ADODB::Error(*refused); });
            break;
          }
          tag = int(number);
        }
        // The bytes that hold the new text, where the column can hold them
        // exactly; else the value stays as it is, with its report.
        const bool exact = p.Line(executeLine, [&] {
          try {
            newBytes = bytes->New(oldText, oldBytes, newText);
          } catch (const ADODB::Error& e) {
            if (!keyed) refusals.insert(tag, QString::fromStdString(e.what()));
            throw;
          }
        });
        if (!exact) break;
        const QStringList note = Rewrite::RecordNote(counter, key, oldBytes, newBytes);
        if (valueJoin && !Rewrite::IsLarge(oldBytes)) {
          p.Line(executeLine, [&] { send([&] { valueJoin->Add(tag, counter, oldBytes, newBytes, note); }); });
          break;
        }
        const qsizetype pairBytes = Rewrite::PairBytes(keyValues, oldBytes, newBytes);
        if (joined && pairBytes <= groupBytes) {
          if (!joining.empty() && joiningBytes + pairBytes > groupBytes) p.Line(executeLine, [&] { send(sendJoin); });
          joining.push_back({tag, counter, key, keyValues, oldBytes, newBytes});
          joiningBytes += pairBytes;
          if (joining.size() >= kJoinRecords) p.Line(executeLine, [&] { send(sendJoin); });
          break;
        }
        const bool built = p.Line(m.test + 4, [&] {
          statement = keyed ? Rewrite::KeyedStatement(tableName, fieldName, key, oldBytes, newBytes)
                            : Rewrite::ValueStatement(tableName, fieldName, oldBytes, newBytes, bytes->LiteralCharset());
        });
        if (built)
          p.Line(executeLine, [&] {
            // A value the server cannot take in one statement is never sent.
            if (sender && !sender->Fits(statement)) {
              if (!keyed) refusals.insert(tag, Batch::Sender::TooLarge());
              throw ADODB::Error(Batch::Sender::TooLarge());
            }
            send([&] {
              if (valueJoin) valueJoin->Send();  // the journal keeps the records' order
              sender->Add(statement, tag, note);
              if (valueJoin) sender->Flush();
            });
          });
        break;
      }
      p.Line(172, [&] { records->MoveNext(); });
      // Rows that can no longer be read end the run after that one report.
      if (!records->IsOpen()) ended = true;
    }
    // The last batch.
    if (sender && executeLine != 0)
      p.Line(executeLine, [&] {
        send([&] {
          sendJoin();
          sender->Flush();
          while (!alone.empty()) {
            sendAlone();
            sender->Flush();
          }
          if (valueJoin) valueJoin->Finish(refuseValue);
        });
      });
  }
  if (journal) journal->Finish();
  p.Line(176, [&] { records->Close(); });
  p.Line(178, [&] { pointer_.Set(PointerState::Default); });
  p.Line(180, [&] {
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(QStringLiteral("Progress Bar"));
  });
  p.Line(182, [&] { QCoreApplication::processEvents(); });
  if (ended) {
    // The server was not converted: show the values as they now stand,
    // where the server can still tell; its failure was reported already.
    try {
      ListView2_Click();
    } catch (const std::exception&) {
    }
    return;
  }
  if (p.If(184, [&] { return modeIs(Case::CaseMode::CaseUpper); })) {
    p.Line(186, [&] { Case::UpperCaseList(*ListView3); });
  } else if (p.If(188, [&] { return modeIs(Case::CaseMode::CaseLower); })) {
    p.Line(190, [&] { Case::LowerCaseList(*ListView3); });
  } else if (p.If(192, [&] { return modeIs(Case::CaseMode::CaseProper); })) {
    p.Line(194, [&] { Case::ProperCaseList(*ListView3); });
  } else if (p.If(196, [&] { return modeIs(Case::CaseMode::CaseSentence); })) {
    p.Line(198, [&] { Case::SentenceCaseList(*ListView3); });
  } else if (p.If(202, [&] { return modeIs(Case::CaseMode::CaseName); })) {
    p.Line(204, [&] { Case::NameCaseList(*ListView3); });
  } else {
    p.Line(200, [&] { Main::MsgBox(QStringLiteral("mess up")); });
  }
}
