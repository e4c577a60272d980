// UPPER and lower map a value character by character, and the server has
// its own UPPER() and LOWER(). Where the server's function writes, for every
// character of a value, exactly the bytes the run computed, the value's new
// bytes need not travel: a group of such rows goes as one UPDATE that the
// server computes, after the rows are read with locks and found to hold
// what the journal has of them.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QString>
#include <array>
#include <memory>
#include <vector>

#include "caserules/case.h"
#include "database/ado.h"
#include "database/columnbytes.h"
#include "database/rowkey.h"

namespace Conversion {

struct Pair;

class ServerCase {
 public:
  enum class Function : char { None, Upper, Lower };
  // The server's function for a mode; None for the modes it has none for.
  static Function Of(Case::CaseMode mode);

  using Form = Rewrite::ColumnBytes::Form;
  // For `field` of `table`, under its character set (written in `form`)
  // and collation; none where the set's characters are not told apart here
  // (Form::Other), or the column's collation cannot be read.
  static std::unique_ptr<ServerCase> For(ADODB::Connection& connection, const QString& table, const QString& field,
                                         const QString& charset, Form form);

  // Whether the server's function turns `oldBytes` into exactly `newBytes`.
  // A character not asked about yet makes it false for now, and is asked
  // at the next Learn.
  bool Computes(Function function, const QByteArray& oldBytes, const QByteArray& newBytes);
  // Whether characters wait to be asked about.
  bool Learning() const { return !unknown_[0].isEmpty() || !unknown_[1].isEmpty(); }
  // Asks the server, on an idle connection, what its functions write for
  // the characters met since.
  void Learn(ADODB::Connection& connection);

  // The rows of a group: by key range where the key is one column whose
  // literals compare in its order (the group's transaction then reads
  // repeatably, so that no row joins the range), else its keys.
  static bool Ranged(const MySQL::RowIdentity& identity);
  static QString Scope(const MySQL::RowIdentity& identity, const std::vector<Pair>& pairs);
  static QString KeysIn(const MySQL::RowIdentity& identity, const QStringList& keys);
  // The scope's rows, read with locks: each key's literals, the field's
  // bytes, and whether the function leaves them as they are.
  static QString LockingRead(Function function, const QString& table, const QString& field,
                             const MySQL::RowIdentity& identity, const QString& scope);
  // For a ranged scope: one value read with the same locks, a digest of
  // every row of the scope the function would change but those of the
  // `other` keys, each one's key literals and bytes in the order the rows
  // are read; Digest() of a group's rows is the same text exactly where
  // those rows are the group's own, each still holding its old bytes.
  // `room` makes the session's GROUP_CONCAT long enough for that group (a
  // shorter one cuts the text, and the digests differ).
  static QString DigestRead(Function function, const QString& table, const QString& field,
                            const MySQL::RowIdentity& identity, const QString& scope, const QStringList& other);
  static QString Digest(const std::vector<Pair>& rows, qint64* room = nullptr);
  // The SHA-256 of the text in lowercase hex, as the server's SHA2(…, 256)
  // gives it.
  static QString Sha256Hex(const QByteArray& text);
  // The digest of the field's bytes over the rows for which `adds` holds,
  // as Digest() makes it of the same rows.
  static QString DigestOf(const QString& field, const MySQL::RowIdentity& identity, const QString& adds);
  // Whether the function would change the field's bytes, of a row not
  // among the `other` keys.
  static QString Changes(Function function, const QString& field, const MySQL::RowIdentity& identity,
                         const QStringList& other);
  // `field = UPPER(field)` or LOWER.
  static QString Assignment(Function function, const QString& field);
  // The server's own change of the scope's rows but the `excluded` keys.
  static QString Update(Function function, const QString& table, const QString& field,
                        const MySQL::RowIdentity& identity, const QString& scope, const QStringList& excluded);

 private:
  ServerCase(QString charset, QString collation, Form form);
  // The character at `at`, and its length in bytes (0: the bytes are no
  // character of the set).
  std::pair<char32_t, int> Next(const QByteArray& bytes, qsizetype at) const;
  const QByteArray* Written(int function, char32_t character) const;

  QString charset_, collation_;
  Form form_;
  // What each function writes for a character: the first 256 by number.
  struct Table {
    std::array<QByteArray, 256> low;
    std::array<bool, 256> knowsLow{};
    QHash<char32_t, QByteArray> high;
  };
  Table tables_[2];
  QHash<char32_t, QByteArray> unknown_[2];  // each character met and not yet asked about, with its bytes
  QSet<char32_t> unanswered_[2];            // asked about, and given no bytes: never computed
};

}  // namespace Conversion
