// The transport to a MySQL server on this machine through its local
// (Unix domain) socket, which the session uses for the pipe and socket
// protocols. It is a stream socket like TCP, so reads, writes, waits and
// time-outs are the TCP transport's; only the way it connects differs, and
// its connect failures are MySQL client errors 2016, 2017 and 2018.
//
// Decisions:
// - Only this machine is reached: the host must be empty, "." or
//   "localhost" (any case); any other host fails with 2017.
// - The socket path is the given socket name when it contains a "/", else
//   $MYSQL_UNIX_PORT when set and not empty, else
//   "/run/mysqld/mysqld.sock". A path that does not fit sockaddr_un's
//   sun_path (107 bytes and its terminating zero) fails with 2017.
// - A socket whose accept queue is full is retried every 10 ms until the
//   connection time-out (seconds; 0 or less: no limit), then 2016 is
//   raised. Every other refusal is 2017 with the system's reason.
// - The three placeholders of the messages are the host ("." for this
//   machine), the socket path and the socket name as it was given. The
//   message is also left in LastError, so the session's 2003 carries it.
// - The receive time-out is applied as on TCP (the session sets it to its
//   command time-out), so a local server that stops answering cannot hold
//   a reader forever. Writes are cut into pieces of at most 65535 bytes.
#pragma once

#include <sys/un.h>

#include <string>

#include <lumokit/net/KxVioTcp.h>

namespace lumo {

// Used when neither the socket name nor $MYSQL_UNIX_PORT names a path.
inline constexpr const char* MYSQL_DEFAULT_UNIX_SOCKET = "/run/mysqld/mysqld.sock";

class TMySqlVioPipe : public TKxVioTcp {
 public:
  TMySqlVioPipe(std::string hostname, std::string unix_socket, int port);

  void Connect() override;
  std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) override;

  const std::string& UnixSocket() const noexcept { return Funix_socket; }
  // The path Connect uses (see the unit comment).
  std::string SocketPath() const;
  // Whether `host` means this machine.
  static bool IsLocalHost(const std::string& host);

 private:
  // Raises `code` with (host, path, name), the reason after a line break,
  // and leaves the message in LastError.
  [[noreturn]] void Fail(int code, const std::string& host, const std::string& path, const std::string& reason,
                         int errorCode);

  // Connects FSd, retrying while the server's accept queue is full.
  void ConnectSocket(const sockaddr_un& addr, const std::string& host, const std::string& path);

  std::string Funix_socket;
};

}  // namespace lumo
