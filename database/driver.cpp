#include "database/driver.h"

namespace ADODB {
namespace Driver {


QByteArray Utf8Exact(const QString& text) {
  if (text.size() < 64 * 1024) return text.toUtf8();
  // Statements are mostly ASCII (names and hex): their bytes are the same
  // in Latin-1, which Qt writes many characters at a time.
  if (QtPrivate::isAscii(QStringView(text))) return text.toLatin1();
  // Counted first, then written: a lone surrogate as '?', as toUtf8 does.
  const char16_t* in = reinterpret_cast<const char16_t*>(text.utf16());
  const qsizetype n = text.size();
  qsizetype length = 0;
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = in[i];
    if (c < 0x80) length += 1;
    else if (c < 0x800) length += 2;
    else if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(in[i + 1])) length += 4, ++i;
    else if (QChar::isSurrogate(c)) length += 1;
    else length += 3;
  }
  QByteArray bytes(length, Qt::Uninitialized);
  auto* out = reinterpret_cast<unsigned char*>(bytes.data());
  for (qsizetype i = 0; i < n; ++i) {
    char32_t c = in[i];
    if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(in[i + 1])) {
      c = QChar::surrogateToUcs4(in[i], in[i + 1]);
      ++i;
    } else if (QChar::isSurrogate(c)) {
      c = u'?';
    }
    if (c < 0x80) {
      *out++ = uchar(c);
    } else if (c < 0x800) {
      *out++ = uchar(0xC0 | (c >> 6));
      *out++ = uchar(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = uchar(0xE0 | (c >> 12));
      *out++ = uchar(0x80 | ((c >> 6) & 0x3F));
      *out++ = uchar(0x80 | (c & 0x3F));
    } else {
      *out++ = uchar(0xF0 | (c >> 18));
      *out++ = uchar(0x80 | ((c >> 12) & 0x3F));
      *out++ = uchar(0x80 | ((c >> 6) & 0x3F));
      *out++ = uchar(0x80 | (c & 0x3F));
    }
  }
  return bytes;
}

QString FromDriverText(const SQLCHAR* text, qsizetype length) {
  return QString::fromUtf8(reinterpret_cast<const char*>(text), length);
}

QString DiagnosticText(SQLSMALLINT type, SQLHANDLE handle, QString* state, SQLINTEGER* nativeError) {
  SQLCHAR sqlState[6] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  std::vector<SQLCHAR> message(2048);
  SQLRETURN rc = SQLGetDiagRec(type, handle, 1, sqlState, &native, message.data(), SQLSMALLINT(message.size()), &length);
  if (rc == SQL_SUCCESS_WITH_INFO && length >= SQLSMALLINT(message.size())) {
    message.resize(size_t(length) + 1);
    rc = SQLGetDiagRec(type, handle, 1, sqlState, &native, message.data(), SQLSMALLINT(message.size()), &length);
  }
  if (!SQL_SUCCEEDED(rc)) return QStringLiteral("Unknown database error");
  if (state) *state = QString::fromLatin1(reinterpret_cast<const char*>(sqlState), 5);
  if (nativeError) *nativeError = native;
  return FromDriverText(message.data(), std::min<qsizetype>(length, qsizetype(message.size()) - 1));
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  QString state;
  SQLINTEGER native = 0;
  const QString text = DiagnosticText(type, handle, &state, &native);
  throw Error(text, state, native);
}

[[noreturn]] void ClosedObject() {
  throw Error(QStringLiteral("Operation is not allowed when the object is closed."));
}


// Text the driver handed back is UTF-8 only where its bytes say so: bytes
// that are not (a column holding what its character set cannot, a session
// gone astray) stay bytes, never a text with U+FFFD that could be written
// back in place of the original.
bool IsUtf8(const char* data, qsizetype length) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = decoder.decode(QByteArrayView(data, length));
  return !decoder.hasError();
}

std::shared_ptr<Handles> Environment() {
  static std::shared_ptr<Handles> env;
  static std::once_flag once;
  std::call_once(once, [] {
    env = std::make_shared<Handles>(SQL_HANDLE_ENV, nullptr);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env->handle))) {
      env->handle = SQL_NULL_HANDLE;
      return;
    }
    SQLSetEnvAttr(env->handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  });
  if (!env || env->handle == SQL_NULL_HANDLE) throw Error(QStringLiteral("ODBC environment could not be created"));
  return env;
}

// A statement on the connection, owned by it, with the command timeout set.
std::shared_ptr<Handles> AllocateStatement(const std::shared_ptr<Handles>& dbc, int commandTimeout) {
  auto stmt = std::make_shared<Handles>(SQL_HANDLE_STMT, dbc);
  Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc->handle, &stmt->handle), SQL_HANDLE_DBC, dbc->handle);
  dbc->Adopt(stmt);
  Check(SQLSetStmtAttr(stmt->handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(commandTimeout)), 0),
        SQL_HANDLE_STMT, stmt->handle);
  return stmt;
}

bool IsTextType(SQLSMALLINT t) {
  return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_LONGVARCHAR || t == SQL_WCHAR ||
         t == SQL_WVARCHAR || t == SQL_WLONGVARCHAR;
}
bool IsBinaryType(SQLSMALLINT t) { return t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY; }
bool IsIntegerType(SQLSMALLINT t) {
  return t == SQL_TINYINT || t == SQL_SMALLINT || t == SQL_INTEGER || t == SQL_BIGINT;
}


// Text and bytes are kept as the bytes the server sent: text in the
// connection's utf8mb4, read as bytes since the driver's wide conversion
// stops at a NUL character inside a value.
bool IsRawType(SQLSMALLINT t) { return IsBinaryType(t) || IsTextType(t); }

// The server's name of a column's type, in lower case ("bit", "varbinary").
QString TypeName(SQLHANDLE stmt, SQLUSMALLINT column) {
  SQLCHAR name[64] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLColAttribute(stmt, column, SQL_DESC_TYPE_NAME, name, sizeof name, &length, nullptr)))
    return QString();
  return FromDriverText(name, std::min<qsizetype>(length, qsizetype(sizeof name) - 1)).toLower();
}

// A value of any other type, typed.
QVariant ReadValue(SQLHANDLE stmt, SQLUSMALLINT column, const Field& field) {
  const SQLSMALLINT t = SQLSMALLINT(field.sqlType);
  if (field.isBit) {
    // BIT is a number: its bytes, most significant first.
    QByteArray bytes;
    if (!ReadChunks(stmt, column, SQL_C_BINARY, 1, [&](const char* p, size_t n) { bytes.append(p, qsizetype(n)); }))
      return QVariant();
    qulonglong v = 0;
    for (const char byte : bytes) v = (v << 8) | uchar(byte);
    return QVariant::fromValue<qulonglong>(v);
  }
  if (IsIntegerType(t)) {
    SQLLEN indicator = 0;
    if (field.isUnsigned) {
      SQLUBIGINT v = 0;
      Check(SQLGetData(stmt, column, SQL_C_UBIGINT, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
      if (indicator == SQL_NULL_DATA) return QVariant();
      return QVariant::fromValue<qulonglong>(v);
    }
    SQLBIGINT v = 0;
    Check(SQLGetData(stmt, column, SQL_C_SBIGINT, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
    if (indicator == SQL_NULL_DATA) return QVariant();
    return QVariant::fromValue<qlonglong>(v);
  }
  if (t == SQL_REAL) {
    // Single precision stays single, so that its shortest form is its own.
    SQLLEN indicator = 0;
    float v = 0;
    Check(SQLGetData(stmt, column, SQL_C_FLOAT, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
    if (indicator == SQL_NULL_DATA) return QVariant();
    return v;
  }
  if (t == SQL_FLOAT || t == SQL_DOUBLE) {
    SQLLEN indicator = 0;
    double v = 0;
    Check(SQLGetData(stmt, column, SQL_C_DOUBLE, &v, 0, &indicator), SQL_HANDLE_STMT, stmt);
    if (indicator == SQL_NULL_DATA) return QVariant();
    return v;
  }
  QByteArray bytes;
  if (!ReadChunks(stmt, column, SQL_C_CHAR, 1, [&](const char* p, size_t n) { bytes.append(p, qsizetype(n)); }))
    return QVariant();
  const QString text = QString::fromUtf8(bytes);
  // Dates and times become typed values where that keeps every digit; the
  // server's own text stays otherwise (zero dates, microseconds).
  if (t == SQL_TYPE_DATE || t == SQL_DATE) {
    const QDate d = QDate::fromString(text, Qt::ISODate);
    if (d.isValid()) return d;
  } else if (t == SQL_TYPE_TIME || t == SQL_TIME) {
    const QTime tm = QTime::fromString(text, QStringLiteral("HH:mm:ss"));
    if (tm.isValid()) return tm;
  } else if (t == SQL_TYPE_TIMESTAMP || t == SQL_TIMESTAMP) {
    const QDateTime dt = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (dt.isValid()) return dt;
  }
  return text;
}

// A failed open, with a sentence in plain words before the driver's text
// where the encrypted connection was the cause, so that a user is not sent
// looking for a wrong password.
[[noreturn]] void ConnectFailed(SQLHANDLE dbc) {
  QString state;
  SQLINTEGER native = 0;
  const QString driverText = DiagnosticText(SQL_HANDLE_DBC, dbc, &state, &native);
  constexpr SQLINTEGER kTlsConnectionError = 2026;       // the client's handshake or setup failed
  constexpr SQLINTEGER kSecureTransportRequired = 3159;  // a MySQL server refusing plain text
  QString sentence;
  if (native == kTlsConnectionError)
    sentence = QStringLiteral("The encrypted (TLS) connection to the server could not be set up. ");
  else if (native == kSecureTransportRequired)
    sentence = QStringLiteral("The server accepts only encrypted (TLS) connections. ");
  throw Error(sentence + driverText, state, native);
}

}  // namespace Driver
}  // namespace ADODB
