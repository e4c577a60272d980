#include "database/stall.h"

#include <QFile>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "database/ado.h"

namespace ADODB {

namespace {

unsigned long Inode(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? st.st_ino : 0;
}

bool IsTcp(int fd) {
  int domain = 0, type = 0;
  socklen_t length = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return false;
  length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return false;
  return (domain == AF_INET || domain == AF_INET6) && type == SOCK_STREAM;
}

// Whether the thread is on the processor, or ready to be ('R' in its stat).
bool Running(pid_t thread) {
  if (thread <= 0) return false;
  QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(thread));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray line = stat.readAll();
  const qsizetype name = line.lastIndexOf(')');
  return name > 0 && name + 2 < line.size() && line.at(name + 2) == 'R';
}

}  // namespace

StallWatch::Sockets StallWatch::TcpSockets() {
  Sockets sockets;
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) return sockets;
  while (const dirent* entry = ::readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(fds) || !IsTcp(int(fd))) continue;
    if (const unsigned long inode = Inode(int(fd))) sockets.emplace_back(int(fd), inode);
  }
  ::closedir(fds);
  return sockets;
}

int StallWatch::NewSocket(const Sockets& before, const Sockets& after) {
  int found = -1;
  for (const auto& socket : after) {
    if (std::find(before.begin(), before.end(), socket) != before.end()) continue;
    if (found >= 0) return -1;
    found = socket.first;
  }
  return found;
}

StallWatch::StallWatch(int socket, std::shared_ptr<Handles::Calls> calls, qint64 id, QString connectionString,
                       bool plainText, int seconds)
    // A descriptor of our own for the same socket: the number the driver
    // holds could be given to another file once it closes it.
    : socket_(::fcntl(socket, F_DUPFD_CLOEXEC, 0)), calls_(std::move(calls)), id_(id), connectionString_(std::move(connectionString)), plainText_(plainText),
      seconds_(seconds) {
  thread_ = std::thread([this] { Loop(); });
}

StallWatch::~StallWatch() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  if (socket_ >= 0) ::close(socket_);
}

void StallWatch::Loop() {
  using Clock = std::chrono::steady_clock;
  quint64 moved = 0;
  Clock::time_point still = Clock::now();
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (wake_.wait_for(lock, std::chrono::seconds(1), [&] { return stop_; })) return;
    }
    if (socket_ < 0) return;
    tcp_info info {};
    socklen_t length = sizeof info;
    if (::getsockopt(socket_, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return;
    // Waiting: a driver call is under way, or bytes are still to be taken
    // by the other end.
    int unsent = 0;
    if (::ioctl(socket_, SIOCOUTQ, &unsent) != 0) unsent = 0;
    const bool waiting = calls_->count > 0 || unsent > 0;
    // Bytes that came and wait to be read, or a call that is running on the
    // processor rather than waiting: the program is slow, not the network.
    int unread = 0;
    if (::ioctl(socket_, SIOCINQ, &unread) != 0) unread = 0;
    const quint64 now = info.tcpi_bytes_acked + info.tcpi_bytes_received;
    if (now != moved || !waiting || unread > 0 || Running(calls_->thread)) {
      moved = now;
      still = Clock::now();
      continue;
    }
    if (Clock::now() - still < std::chrono::seconds(seconds_)) continue;
    if (Ask() == Verdict::Working) {
      still = Clock::now();  // a long statement: asked again after another bound
      continue;
    }
    stalled_ = true;
    ::shutdown(socket_, SHUT_RDWR);
    return;
  }
}

StallWatch::Verdict StallWatch::Ask() const {
  try {
    Connection probe;
    probe.ConnectionTimeout = seconds_;
    probe.CommandTimeout = seconds_;
    probe.PlainText = plainText_;
    probe.Interruptible = false;
    probe.Open(connectionString_);
    auto rows = probe.Execute(
        QStringLiteral("SELECT COMMAND FROM information_schema.PROCESSLIST WHERE ID = %1;").arg(id_));
    const QString command = rows && !rows->Eof() ? rows->Value(0).toString() : QString();
    if (command == QLatin1String("Query") || command == QLatin1String("Execute") ||
        command == QLatin1String("Killed"))
      return Verdict::Working;
    // Answered and waiting for the next statement, or gone: the answer was
    // lost on the way. The server lets go of the connection and its
    // transaction now, rather than when its own timeouts end it.
    if (!command.isEmpty()) probe.Execute(QStringLiteral("KILL CONNECTION %1;").arg(id_));
  } catch (const Error& e) {
    // A server that answers, if only to refuse another connection (too
    // many connections for the server or the login), is there: the
    // statement may still be at work, and the wait goes on. A client
    // library's own failure (2000 and up) is a server not reached.
    if (e.nativeError > 0 && e.nativeError < 2000) return Verdict::Working;
  } catch (const std::exception&) {
  }
  return Verdict::Stalled;
}

}  // namespace ADODB
