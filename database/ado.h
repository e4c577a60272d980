// Connection and record-set objects over the ODBC C API, offering the members
// of ADO's ADODB.Connection and ADODB.RecordSet that the program uses.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <deque>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

namespace ADODB {

enum CursorLocationEnum { adUseServer = 2, adUseClient = 3 };
enum CursorTypeEnum { adOpenForwardOnly = 0, adOpenStatic = 3 };
enum LockTypeEnum { adLockReadOnly = 1, adLockOptimistic = 3 };
enum ConnectModeEnum { adModeUnknown = 0, adModeRead = 1, adModeWrite = 2, adModeReadWrite = 3 };

// A failing database call; what() is the driver's diagnostic text.
class Error : public std::runtime_error {
 public:
  explicit Error(const QString& description, QString state = {}, int native = 0)
      : std::runtime_error(description.toStdString()), sqlState(std::move(state)), nativeError(native) {}
  QString sqlState;  // the driver's SQLSTATE, empty for our own failures
  int nativeError;   // the server's or client library's error number, 0 if none
};

class RecordSet;
class StallWatch;
class InterruptWatch;
struct Handles;

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Properties read when the connection opens (timeouts, mode) or when a
  // statement runs on it (cursor location, command timeout).
  int CursorLocation = adUseServer;
  int CommandTimeout = 30;     // seconds per statement
  int ConnectionTimeout = 15;  // seconds to open
  int Mode = adModeUnknown;
  // Lets one Execute text hold several statements (read when it opens).
  bool MultipleStatements = false;
  // Statements wait for the server on a thread of their own while this
  // thread's events go on, so a window stays painted and can be closed
  // during a long wait. Their callbacks then run on that thread too.
  bool ResponsiveWaits = false;
  // No TLS, even where the server offers it (the user's ssl-mode=DISABLED).
  bool PlainText = false;
  // A statement under way ends when the program is interrupted (Interrupt()),
  // while AllowInterrupt lets it (read when it opens: whether it is watched).
  bool Interruptible = true;
  // Seconds a statement may wait without a byte moving, and without the
  // server being at work on it, before the connection is given up as
  // stalled (read when it opens; 0: never). Its failure then says so.
  int NetTimeout = 0;

  // Opens with the connection string exactly as given, without a prompt.
  void Open(const QString& connectionString);
  // Runs one statement; returns the record set of its rows, or null when the
  // statement returns none.
  std::unique_ptr<RecordSet> Execute(const QString& statement);
  // Runs several statements sent together as one text, on a connection
  // opened with MultipleStatements. Calls `each` with every statement's
  // position and its rows (null when it returns none), in order. A failing
  // statement raises its Error and the statements after it have not run;
  // past the first statement this driver gives no error number.
  void ExecuteMany(const QString& statements, const std::function<void(int index, RecordSet* rows)>& each);
  // Runs one statement, whose parameter markers each take a column's value,
  // once for every row of `cells` (row after row, `binary.size()` values a
  // row) as one array of parameters: no value is written into its text. A
  // null QByteArray goes as NULL; `binary` tells, for each column, whether
  // its values are bytes or text. Raises Error where any row failed.
  void ExecuteArray(const QString& statement, const std::vector<bool>& binary, const std::vector<QByteArray>& cells);
  void Close();
  bool IsOpen() const;
  // Whether Ctrl+C may end the statement under way now (true when opened).
  // A connection whose statements change the table allows it only where
  // ending one can leave nothing half told: an ended COMMIT, or a count
  // read after one, would leave its journal untrue.
  void AllowInterrupt(bool allow) { interruptAllowed_->store(allow); }

  // The driver's own options that Open appends to the connection string:
  // utf8mb4 text, and the timeouts above in the driver's terms.
  QString DriverOptions() const;

  // The server's version text ("10.11.6-MariaDB", "8.0.36"), read when the
  // connection opened.
  const QString& ServerVersion() const { return version_; }

 private:
  friend class RecordSet;
  // Makes the session's text utf8mb4 both ways and checks that it stays so.
  void PinSessionText();
  // `e` as the failure of a connection that stalled.
  Error Stalled(const Error& e) const;
  std::shared_ptr<Handles> handles_;
  std::unique_ptr<StallWatch> watch_;
  std::unique_ptr<InterruptWatch> interruptWatch_;
  std::shared_ptr<std::atomic<bool>> interruptAllowed_ = std::make_shared<std::atomic<bool>>(true);
  QString version_;
  qint64 id_ = 0;  // the server's id of the session
};

// One column of a record set.
struct Field {
  QString Name;
  int sqlType = 0;
  bool isUnsigned = false;
  bool isBit = false;  // BIT(n): read as a number
};

class RecordSet {
 public:
  RecordSet();
  ~RecordSet();
  RecordSet(const RecordSet&) = delete;
  RecordSet& operator=(const RecordSet&) = delete;

  // Upper bound on the rows the query returns; 0 means no bound. The driver
  // is asked to transfer no more than this many rows.
  long MaxRecords = 0;

  // Runs the query on the open connection, positioned on the first row. A
  // client-side cursor (the connection's CursorLocation) reads every row at
  // once and knows the exact count; a server-side one reads as it moves.
  void Open(const QString& source, Connection& activeConnection, int cursorType, int lockType);
  // Learns the query's columns without running it: no row is transferred.
  void OpenFieldsOnly(const QString& source, Connection& activeConnection);

  // Read once from start to end, on a connection whose cursor is client-side:
  // the rows stay in the driver's own copy of the whole result and are read
  // as the record set moves, so they are not held twice; the count is still
  // exact, and other statements may run on the connection meanwhile.
  bool ReadOnce = false;

  long RecordCount() const;  // exact with a client-side cursor or ReadOnce, else -1
  bool Eof() const;
  void MoveNext();
  int FieldCount() const;
  QString FieldName(int index) const;
  // The value of a column of the current row: a null QVariant for the
  // database null, typed for numbers, dates and times, QByteArray for bytes
  // and for text whose bytes are not valid UTF-8 (never read as U+FFFD).
  QVariant Value(int index = 0) const;
  void Close();
  bool IsOpen() const;
  // The bytes of text and binary values read since it was opened.
  qint64 BytesRead() const { return bytesRead_; }

 private:
  friend class Connection;
  qint64 bytesRead_ = 0;
  std::shared_ptr<Handles> NewStatement(Connection& connection);
  void Attach(std::shared_ptr<Handles> statement, bool clientCursor);
  void Detach();  // closed: the statement and the values are let go
  void LoadRows(bool release = true);
  void ReadColumns();
  // Appends the next row's values to cells_; false at the end.
  bool FetchRow();
  size_t RowCount() const { return fields_.empty() ? 0 : cells_.size() / fields_.size(); }
  void RequireOpen() const;

  std::shared_ptr<Handles> statement_;
  std::vector<Field> fields_;
  bool open_ = false;
  bool clientCursor_ = false;
  bool eof_ = true;
  // The values of all rows, row after row (client-side cursor), or of the
  // current row (server-side cursor). Text and bytes lie back to back in one
  // buffer, as the server sent them; other values are kept typed. A million
  // short texts cost little more than their own bytes.
  // Both grow block by block, never copied whole to grow.
  // Eight bytes a value: where it lies in its block and its length, or a
  // mark for the null and for a typed value (offset: its index in typed_).
  // The block is the last one begun at or before the cell (blockStarts_).
  struct Cell {
    quint32 offset;
    quint32 length;
  };
  static constexpr quint32 kTyped = 0xFFFFFFFF, kNull = 0xFFFFFFFE;
  static constexpr qsizetype kBlockBytes = 4 << 20;
  std::deque<Cell> cells_;
  std::vector<size_t> blockStarts_;  // for each block, the first cell in it
  std::vector<QByteArray> blocks_;  // each reserved at its size and filled up to it
  std::vector<QVariant> typed_;
  QByteArray scratch_;  // one value as it is read
  void ReadCell(size_t column);
  void ClearCells();
  size_t position_ = 0;
  // ReadOnce: the rows of the result, and the rows read ahead of the
  // position at a time (each read costs a hand-over to the driver's thread).
  long count_ = -1;
  bool readAhead_ = false;
  static constexpr size_t kRowsAhead = 1024;
  void ReadAhead();
};

}  // namespace ADODB
