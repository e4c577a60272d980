// The norvale binary run as a script runs it, in a home of its own,
// against the real test server.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <openssl/evp.h>
#include <csignal>

#include "tests/support/testdb.h"

// Sends a signal to a child that must still be running. A child that has
// already ended has no pid, and kill(0, …) would signal the whole test run.
inline void SignalChild(const QProcess& process, int signal) {
  const qint64 pid = process.processId();
  ASSERT_GT(pid, 0) << "the program ended before it was signalled: " << process.exitCode();
  ::kill(pid_t(pid), signal);
}

struct Result {
  int status = -1;
  QString out, err;
};

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ServerAvailable()) GTEST_SKIP() << "no test server";
    ASSERT_TRUE(home_.isValid());
    db_ = std::make_unique<TestDatabase>();
  }

  // The program's environment: a home of its own (its journal, settings
  // and option file), no display and no D-Bus session.
  QProcessEnvironment Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home_.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/config"));
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM", "MYSQL_PWD"})
      env.remove(QLatin1String(name));
    for (auto it = extraEnv_.constBegin(); it != extraEnv_.constEnd(); ++it) env.insert(it.key(), it.value());
    return env;
  }

  // The connection options, as a user types them.
  QStringList Connection(bool withPassword = true) const {
    const MySQL::ConnectionDetails d = db_->Details();
    QStringList args{QStringLiteral("-h"), d.server, QStringLiteral("-P"), d.port, QStringLiteral("-u"), d.user,
                     QStringLiteral("-D"), d.database};
    if (withPassword) args << QStringLiteral("-p") + d.password;
    return args;
  }

  void Start(QProcess& process, const QStringList& args) const {
    process.setProcessEnvironment(Environment());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QStringLiteral(NORVALE_BINARY), args);
    ASSERT_TRUE(process.waitForStarted());
  }

  // Reads the process's stderr until it says `what` or ends; what it said.
  static QByteArray ErrUntil(QProcess& process, const QByteArray& what) {
    process.setReadChannel(QProcess::StandardError);
    QByteArray err = process.readAllStandardError();
    while (!err.contains(what) && process.state() == QProcess::Running && process.waitForReadyRead(60000))
      err += process.readAllStandardError();
    return err;
  }

  Result Norvale(const QStringList& args) const {
    QProcess process;
    Start(process, args);
    process.waitForFinished(600000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
  }

  // Holds the run at the pause file once it has changed some rows and has
  // some left: another session holds the row `where` picks until the run
  // says it waits for it, then the pause file is made and the row let go.
  // What the run said on stderr.
  QByteArray PausedMidway(QProcess& run, const QString& table, const QString& where, const QString& pause,
                          const QStringList& args, const std::optional<MySQL::ConnectionDetails>& on = {}) const {
    ADODB::Connection holder;
    holder.Open(MySQL::ConnectionString(on ? *on : db_->Details()));
    holder.Execute("SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED");
    holder.Execute("START TRANSACTION");
    holder.Execute(QStringLiteral("SELECT * FROM %1 WHERE %2 FOR UPDATE").arg(table, where));
    Start(run, args + QStringList{"--pause-file", pause});
    QByteArray err = ErrUntil(run, "waiting: a row lock");
    QFile(pause).open(QIODevice::WriteOnly);
    holder.Execute("ROLLBACK");
    return err + ErrUntil(run, "waiting: the pause file");
  }

  QStringList Hex(const QString& table, const QString& field) const {
    return db_->Values(QStringLiteral("SELECT IFNULL(HEX(%2), 'NULL') FROM %1 ORDER BY id").arg(table, field));
  }

  QTemporaryDir home_;
  std::unique_ptr<TestDatabase> db_;
  QHash<QString, QString> extraEnv_;  // more of the program's environment
};

// A login file as mysql_config_editor writes it: 4 unused bytes, a 20-byte
// key, then each line AES-128-ECB encrypted on its own after its length.
inline QByteArray LoginFile(const QStringList& lines) {
  QByteArray file(4, '\0');
  const QByteArray key = QByteArray::fromHex("0123456789abcdef00112233445566778899aabb");
  file += key;
  unsigned char folded[16] = {};
  for (int i = 0; i < key.size(); ++i) folded[i % 16] ^= static_cast<unsigned char>(key[i]);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  for (const QString& line : lines) {
    const QByteArray plain = (line + "\n").toUtf8();
    QByteArray cipher(plain.size() + 32, '\0');
    int n = 0, last = 0;
    auto* out = reinterpret_cast<unsigned char*>(cipher.data());
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, folded, nullptr);
    EVP_EncryptUpdate(ctx, out, &n, reinterpret_cast<const unsigned char*>(plain.constData()), int(plain.size()));
    EVP_EncryptFinal_ex(ctx, out + n, &last);
    cipher.truncate(n + last);
    const qint32 length = qint32(cipher.size());
    file += QByteArray(reinterpret_cast<const char*>(&length), 4) + cipher;
  }
  EVP_CIPHER_CTX_free(ctx);
  return file;
}

// The JSON object a command printed, and its one run.
inline QJsonObject Json(const Result& r) { return QJsonDocument::fromJson(r.out.toUtf8()).object(); }
inline QJsonObject OneRun(const Result& r) { return Json(r).value("runs").toArray().at(0).toObject(); }

