// The saved password against a real secret store. The Keyring cases run in
// a D-Bus session with a GNOME keyring of their own (with-keyring.sh); the
// NoKeyring cases run where no store answers: without a D-Bus session at
// all, with a session address that leads nowhere, and with a Secret Service
// that never answers (with-keyring.sh --silent).
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <optional>

#include "shell/keyring.h"
#include "tests/windows/fixture.h"

namespace {

// What another client of the Secret Service finds for an account: the
// store, not our reading of it. QtKeychain files a password under the
// attributes server=<service> and user=<account>.
std::optional<QString> LookUpInStore(const QString& account) {
  QProcess tool;
  tool.start(QStringLiteral("secret-tool"), {"lookup", "server", Main::kKeyringService, "user", account});
  if (!tool.waitForFinished(30000) || tool.exitCode() != 0) return std::nullopt;
  return QString::fromUtf8(tool.readAllStandardOutput());
}

void ClearInStore(const QString& account) {
  QProcess tool;
  tool.start(QStringLiteral("secret-tool"), {"clear", "server", Main::kKeyringService, "user", account});
  tool.waitForFinished(30000);
}

QString SettingsFileText() {
  QFile file(Main::SettingsFilePath());
  if (!file.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(file.readAll());
}

// Saves and waits until the password has landed; where it went.
std::optional<Main::PasswordPlace> Save(const QString& account, const QString& password) {
  std::optional<Main::PasswordPlace> place;
  Main::SavePassword(account, password, [&](Main::PasswordPlace p) { place = p; });
  Main::FinishPasswordSaves();
  return place;
}

std::optional<Main::SavedPassword> Read(const QString& account) {
  QObject context;
  std::optional<Main::SavedPassword> saved;
  Main::ReadPassword(account, 10 * Main::kKeyringTimeoutMs, &context,
                     [&](const Main::SavedPassword& s) { saved = s; });
  return saved;
}

// Every script, combining marks, right-to-left text, astral characters and
// joined emoji, and the characters the settings file treats specially.
const QStringList kScripts = {
    QString::fromUtf8("Ame\u0301lie n\u0303 A\u030A s\u0323\u0307"),  // Latin with combining marks
    QString::fromUtf8("Καλημέρα ᾅδης ΐ"),                             // Greek
    QString::fromUtf8("Пароль ёжик Ѣ"),                                // Cyrillic
    QString::fromUtf8("كلمة السر ٣٤"),                                 // Arabic
    QString::fromUtf8("סיסמה שְׁמוֹ"),                                    // Hebrew
    QString::fromUtf8("密码 パスワード 비밀번호 𠀋"),                  // CJK, one astral
    QString::fromUtf8("პაროლი"),                                       // Georgian
    QString::fromUtf8("🔑🦀 👩‍👩‍👧 𝔘𝔫𝔦"),                                 // emoji, astral, joined
    QStringLiteral(" p,a;s's\"w\\o=r#d[x] "),                          // quotes, separators, spaces
};

// A password of exactly `length` UTF-16 units drawn from the scripts above,
// never splitting a surrogate pair.
QString PasswordOfLength(QRandomGenerator& random, int length) {
  const QString pool = kScripts.join(QString());
  QString password;
  while (password.size() < length) {
    int i = int(random.bounded(pool.size()));
    if (pool[i].isLowSurrogate()) --i;
    const QString piece = pool.mid(i, pool[i].isHighSurrogate() ? 2 : 1);
    password += password.size() + piece.size() <= length ? piece : QStringLiteral("x");
  }
  return password;
}

// Starts the program as main() does, and prints how long the load kept the
// first window back, for the record. A store slower than the load's
// patience answers while the window shows: Settle waits for that.
class StoreTest : public WindowTest {
 protected:
  Form1& TimedStart() {
    QElapsedTimer load;
    load.start();
    Form1& f = Start();
    std::printf("load: %lld ms, %s\n", static_cast<long long>(load.elapsed()),
                f.WaitingForPassword() ? "the password came after the window showed" : "the password came with the load");
    return f;
  }
  void Settle(Form1& f) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.WaitingForPassword(); }, 10 * Main::kKeyringTimeoutMs));
  }
  Form1& StartAndSettle() {
    Form1& f = TimedStart();
    Settle(f);
    return f;
  }
};

class KeyringTest : public StoreTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(qEnvironmentVariable("NORVALE_TEST_KEYRING"), "1") << "run these cases through tests/keyring/with-keyring.sh";
    StoreTest::SetUp();
  }
};

class NoKeyringTest : public StoreTest {
 protected:
  void SetUp() override {
    ASSERT_NE(qEnvironmentVariable("NORVALE_TEST_KEYRING"), "1") << "these cases need a place without a store";
    StoreTest::SetUp();
  }
};

bool Stepped(Form1& f) { return f.HasForm2() && f.GetForm2().isVisible() && !f.isVisible(); }

}  // namespace

// Many accounts whose parts share characters ('@' and ':' in users and
// servers), each given a password; a second round overwrites half of them.
// Every account reads back its own latest password, from the store, and the
// settings file never holds one.
TEST_F(KeyringTest, EveryAccountReadsBackItsOwnPasswordFromTheStore) {
  const quint32 seed = QRandomGenerator::global()->generate();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  QRandomGenerator random(seed);
  const QStringList servers = {"db.example", "db.example:1", "::1", "10.0.0.7", "b@c"};
  const QStringList ports = {"3306", "3307", ""};
  const QStringList users = {"root", "a@b", "a", "b@c", QString::fromUtf8("ünï")};
  QMap<QString, QString> expected;  // account -> password
  QSet<QString> details;
  for (const QString& server : servers)
    for (const QString& port : ports)
      for (const QString& user : users) {
        details.insert(server + u'\n' + port + u'\n' + user);
        expected.insert(Main::PasswordAccount(server, port, user), QString());
      }
  ASSERT_EQ(expected.size(), details.size()) << "two sets of details share an account";

  int n = 0;
  for (auto it = expected.begin(); it != expected.end(); ++it, ++n) {
    // The scripts one by one, then passwords of up to 200 units, some of exactly 200.
    it.value() = n < kScripts.size() ? kScripts[n] : PasswordOfLength(random, n % 3 ? 200 : int(random.bounded(1, 200)));
    ASSERT_EQ(Save(it.key(), it.value()), Main::PasswordPlace::Keyring) << it.key().toStdString();
  }
  for (int round = 0; round < 2; ++round) {
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
      const auto saved = Read(it.key());
      ASSERT_TRUE(saved.has_value());
      EXPECT_EQ(saved->text, it.value()) << it.key().toStdString();
      EXPECT_FALSE(saved->inFile);
      EXPECT_EQ(LookUpInStore(it.key()), it.value()) << it.key().toStdString();
      EXPECT_FALSE(SettingsFileText().contains(it.value()));
    }
    EXPECT_FALSE(Main::HasSetting("MyPassword"));
    // Overwrite every other account: the store replaces, it does not add.
    int i = 0;
    for (auto it = expected.begin(); it != expected.end(); ++it, ++i) {
      if (i % 2) continue;
      it.value() = PasswordOfLength(random, 200);
      ASSERT_EQ(Save(it.key(), it.value()), Main::PasswordPlace::Keyring);
    }
  }
}

// A password the settings file holds from before is used, also when the
// store holds an older one, and moves to the store when saved. A file that
// got another password meanwhile keeps that one.
TEST_F(KeyringTest, APasswordInTheFileMovesToTheStoreWhenSaved) {
  const QString account = Main::PasswordAccount("old.example", "3306", "keeper");
  const QString password = QString::fromUtf8("from the file ✓ Ωμέγα");
  ASSERT_EQ(Save(account, "older"), Main::PasswordPlace::Keyring);
  Main::SaveSetting("MyPassword", password);

  const auto saved = Read(account);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->text, password);
  EXPECT_TRUE(saved->inFile);

  ASSERT_EQ(Save(account, password), Main::PasswordPlace::Keyring);
  EXPECT_FALSE(Main::HasSetting("MyPassword"));
  EXPECT_FALSE(SettingsFileText().contains("MyPassword"));
  EXPECT_EQ(LookUpInStore(account), password);
  EXPECT_EQ(Read(account)->text, password);

  Main::SaveSetting("MyPassword", "newer");
  ASSERT_EQ(Save(account, password), Main::PasswordPlace::Keyring);
  EXPECT_EQ(Main::GetSetting("MyPassword", "absent"), "newer");
}

// The connection window: details typed and used go on; the file holds no
// password, the store does; the next start fills the box from the store and
// steps on by itself. A password left in the file by an older version moves
// at the start that uses it.
TEST_F(KeyringTest, TheWindowKeepsThePasswordInTheStoreAndFillsItAtTheNextStart) {
  TestDatabase db;
  const auto d = db.Details();
  const QString account = Main::PasswordAccount(d.server, d.port, d.user);
  ClearInStore(account);

  Form1& first = StartAndSettle();
  EXPECT_EQ(first.Text3->text(), "");
  TypeDetails(first, d);
  Click(first.PushButton3);
  ASSERT_TRUE(Stepped(first));
  Main::FinishPasswordSaves();
  EXPECT_FALSE(Main::HasSetting("MyPassword"));
  EXPECT_FALSE(SettingsFileText().contains(d.password));
  EXPECT_EQ(LookUpInStore(account), d.password);

  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "password in the file" : "password in the store");
    form1.reset();
    if (fromFile) {
      ClearInStore(account);
      Main::SaveSetting("MyPassword", d.password);
    }
    Form1& again = StartAndSettle();
    EXPECT_TRUE(Stepped(again));
    EXPECT_EQ(again.Text3->text(), d.password);
    Main::FinishPasswordSaves();
    EXPECT_FALSE(Main::HasSetting("MyPassword"));
    EXPECT_EQ(LookUpInStore(account), d.password);
  }
  EXPECT_TRUE(boxes.boxes.empty());
}

// Where no store answers, the program keeps the password in the settings
// file, owner-only, as it always did: no box, and every call to the store
// gives up in time (the waits below end).
TEST_F(NoKeyringTest, WhereNoStoreAnswersThePasswordStaysInTheFile) {
  TestDatabase db;
  const auto d = db.Details();
  Form1& first = TimedStart();
  EXPECT_TRUE(first.isVisible());
  EXPECT_EQ(first.Text3->text(), "");
  TypeDetails(first, d);
  first.Text3->clear();
  QTest::keyClicks(first.Text3, d.password);
  if (first.WaitingForPassword()) {
    // A store that does not answer: the details cannot be used yet, and
    // what was typed stays when the wait ends.
    Click(first.PushButton3);
    Click(first.PushButton5);
    EXPECT_FALSE(first.HasForm2());
    Settle(first);
  }
  EXPECT_EQ(first.Text3->text(), d.password);
  Click(first.PushButton3);
  ASSERT_TRUE(Stepped(first));
  QElapsedTimer timer;
  timer.start();
  Main::FinishPasswordSaves();
  std::printf("save falling back to the file: %lld ms\n", static_cast<long long>(timer.elapsed()));
  EXPECT_EQ(Main::GetSetting("MyPassword", "absent"), d.password);
  EXPECT_EQ(QFile(Main::SettingsFilePath()).permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
            QFile::Permissions());

  form1.reset();
  Form1& again = StartAndSettle();
  EXPECT_TRUE(Stepped(again));
  EXPECT_EQ(again.Text3->text(), d.password);

  const QString account = Main::PasswordAccount("elsewhere", "3306", "u");
  const QString password = QString::fromUtf8("Ελληνικά 🔑 עברית");
  EXPECT_EQ(Save(account, password), Main::PasswordPlace::File);
  EXPECT_EQ(Read(account)->text, password);
  EXPECT_TRUE(boxes.boxes.empty());
}
