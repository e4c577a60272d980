// The command line's connection options, spelt as the mysql client spells
// them, and the client's option files.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>

#include "database/mysql.h"

namespace CommandLine {

// Rewrites the mysql client's password forms for the parser: "-pSECRET" and
// "--password=SECRET" give the password, "-p" and "--password" alone ask
// for it ("--ask-password"). Everything else passes as it is.
QStringList NormalizedArguments(const QStringList& arguments);
// Overwrites the passwords that "-pSECRET" and "--password=SECRET" hold in
// the process's own arguments, as the clients do, so that `ps` and
// /proc/PID/cmdline show "-px" from then on. Call once they are copied.
void HidePasswords(int argc, char** argv);

// The groups the clients share and our own, as the clients read them: in
// the order the files give them, a later value overriding an earlier one.
inline const QStringList kOptionGroups = {QStringLiteral("client"), QStringLiteral("client-server"),
                                          QStringLiteral("client-mariadb"), QStringLiteral("norvale")};

// Those groups of the option files, and the login path's group where one is
// named (`loginPathFound` tells whether a file held it): option names with
// '-' for '_', values unquoted. Later files override earlier ones. A file
// that cannot be read adds nothing; `error` names one that exists but cannot
// be read.
QHash<QString, QString> ReadOptionFiles(const QStringList& files, QString* error = nullptr,
                                        const QString& loginPath = {}, bool* loginPathFound = nullptr);

// MySQL's obfuscated login file: $MYSQL_TEST_LOGIN_FILE, else ~/.mylogin.cnf.
QString LoginFilePath();
// Its lines as an option file's text, or nothing where it is not such a file.
std::optional<QByteArray> DecryptLoginFile(const QByteArray& file);
// Reads the login file's groups, as ReadOptionFiles reads an option file's,
// over `options`. Returns why it was passed over, where it exists and was:
// others may read or write it, it cannot be read or decrypted.
std::optional<QString> ReadLoginFile(const QString& path, const QString& loginPath, QHash<QString, QString>& options,
                                     bool* loginPathFound = nullptr);

// The clients' ssl and tls options, from the option files' groups and the
// command line together (the command line's given last): what they demand
// of the connection, or, for an option that bears on security and that
// cannot be honoured (an unknown one, an unknown ssl-mode, a file that
// cannot be read, demands that contradict each other), why, naming it.
std::optional<QString> ReadTlsOptions(const QList<std::pair<QString, QString>>& given, MySQL::TlsDemands& tls);

// The files the mysql client reads, in its order: the system's, then the
// user's ~/.my.cnf.
QStringList DefaultOptionFiles();

}  // namespace CommandLine
