#include "shell/keyring.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <qt6keychain/keychain.h>

#include "shell/settings.h"

namespace Main {
namespace {

const QString kPasswordSetting = QStringLiteral("MyPassword");

// Saves that have landed neither in the store nor in the file yet.
int pendingSaves = 0;

// Starts a call to the secret store with a time bound. `answer` runs once:
// with the finished job, or with nullptr when the store has not answered
// within kKeyringTimeoutMs. A job that finishes after that runs `late`.
// The job deletes itself once finished and never before: the store's
// callbacks hold on to it until then.
void StartBounded(QKeychain::Job* job, std::function<void(QKeychain::Job*)> answer,
                  std::function<void(QKeychain::Job*)> late = {}) {
  auto answered = std::make_shared<bool>(false);
  auto* bound = new QTimer(job);
  bound->setSingleShot(true);
  QObject::connect(bound, &QTimer::timeout, job, [answered, answer] {
    if (*answered) return;
    *answered = true;
    answer(nullptr);
  });
  QObject::connect(job, &QKeychain::Job::finished, job, [answered, answer, late](QKeychain::Job* finished) {
    if (!*answered) {
      *answered = true;
      answer(finished);
    } else if (late) {
      late(finished);
    }
  });
  job->setAutoDelete(true);
  job->start();
  bound->start(kKeyringTimeoutMs);
}

// The store holds the password now: the file keeps no copy of it. A file
// that meanwhile got another password (a later save the store did not
// take) keeps that one.
void ForgetFilePassword(const QString& password) {
  if (HasSetting(kPasswordSetting) && GetSetting(kPasswordSetting, QString()) == password)
    RemoveSetting(kPasswordSetting);
}

// Whether a D-Bus session can be reached at all, the way the store's client
// looks for one. Without it there is no secret store, and the settings file
// is used at once, without asking.
bool HasSessionBus() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

QString AccountPart(QString part) {
  return part.replace(u'%', QStringLiteral("%25")).replace(u'@', QStringLiteral("%40")).replace(u':', QStringLiteral("%3A"));
}

}  // namespace

QString PasswordAccount(const QString& server, const QString& port, const QString& user) {
  return AccountPart(user) + u'@' + AccountPart(server) + u':' + AccountPart(port);
}

bool ReadPassword(const QString& account, int patienceMs, QObject* context,
                  std::function<void(const SavedPassword&)> done) {
  if (HasSetting(kPasswordSetting)) {
    done({GetSetting(kPasswordSetting, QString()), true});
    return true;
  }
  if (!HasSessionBus()) {
    done({});
    return true;
  }
  struct Waiting {
    bool answered = false;
    QPointer<QEventLoop> loop;
  };
  auto waiting = std::make_shared<Waiting>();
  auto* job = new QKeychain::ReadPasswordJob(kKeyringService);
  job->setKey(account);
  StartBounded(job, [waiting, receiver = QPointer<QObject>(context), done](QKeychain::Job* finished) {
    waiting->answered = true;
    // No entry, an error or no answer in time: nothing is saved for the account.
    SavedPassword saved;
    if (finished && finished->error() == QKeychain::NoError)
      saved.text = static_cast<QKeychain::ReadPasswordJob*>(finished)->textData();
    if (receiver) done(saved);
    if (waiting->loop) waiting->loop->quit();
  });
  if (!waiting->answered && patienceMs > 0) {
    QEventLoop loop;
    waiting->loop = &loop;
    QTimer::singleShot(patienceMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  return waiting->answered;
}

void SavePassword(const QString& account, const QString& password, std::function<void(PasswordPlace)> done) {
  if (!HasSessionBus()) {
    SaveSetting(kPasswordSetting, password);
    if (done) done(PasswordPlace::File);
    return;
  }
  ++pendingSaves;
  auto* job = new QKeychain::WritePasswordJob(kKeyringService);
  job->setKey(account);
  job->setTextData(password);
  StartBounded(
      job,
      [password, done](QKeychain::Job* finished) {
        --pendingSaves;
        if (finished && finished->error() == QKeychain::NoError) {
          ForgetFilePassword(password);
          if (done) done(PasswordPlace::Keyring);
        } else {
          // No store took it: the file keeps it, as it did before there was one.
          SaveSetting(kPasswordSetting, password);
          if (done) done(PasswordPlace::File);
        }
      },
      // The store took it after all, later than we waited for.
      [password](QKeychain::Job* finished) {
        if (finished->error() == QKeychain::NoError) ForgetFilePassword(password);
      });
}

void FinishPasswordSaves() {
  while (pendingSaves > 0)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
}

}  // namespace Main
