// One client connection to a MySQL server over the wire protocol:
// TMySqlSession chooses and opens the transport, runs the handshake and
// authentication, sends commands, reads the reply of a query up to its
// column definitions, answers LOAD DATA LOCAL INFILE requests, drains unread
// rows and closes. It holds what the client API reports about the
// connection (server version, thread id, affected rows, insert id, status
// flags, last error).
//
// Decisions:
// - Transports: TCP; TLS over TCP (TKxVioTcpSSL) when the protocol is SSL
//   or the caller's flags hold CLIENT_SSL; the local socket (TMySqlVioPipe)
//   for the pipe and socket protocols; or the application's I/O handler.
//   The HTTP tunnel is not available yet (2046).
// - TLS: CLIENT_SSL is sent only over a transport that can switch (TLS or
//   an I/O handler); TLS asked for over one that cannot, or from a server
//   that does not offer it, fails with 2026 before any credential is sent.
//   The SSL request is the 32-byte prefix of the response; the TLS
//   handshake follows on the same socket, then the response with the next
//   sequence number. A failed TLS handshake raises the transport's plain
//   Exception ("SSL_do_handshake = ..."). Bytes the server sent past its
//   greeting before the switch fail the connect with 2026: they would be
//   read as if they had come through TLS. An I/O handler must report
//   its channel secure after the switch (GetIsSecure), else 2026 is raised
//   before the response: a handler without TLS ignores the switch.
// - Authentication: with a server that names authentication plugins
//   (PLUGIN_AUTH) the first answer is made by the plugin the user chose
//   (MYSQL_DEFAULT_AUTH), else by the one the greeting names when this
//   client has it, else by mysql_native_password; the server may then ask
//   for more data of that plugin or switch once to another (the table of
//   plugins and their rules are in MySqlAuth). A nonce of the wrong length
//   raises 2027, a plugin this client does not have 2059, a second switch
//   2012. The transport counts as secure for the plugins when TLS is on or
//   it is the local socket. Packets that carry a token or the password are
//   wiped from the packet buffer once sent. Older servers get the 4.1
//   token, the pre-4.1 token and the 4.1.0 exchange as before; the pre-4.1
//   scramble in any of its forms (a 4.0 server, the 0xFE request, the
//   4.1.0 exchange's "*" reply, a switch to mysql_old_password) is refused
//   with 2049 before it is sent when OldPasswordRefused (MySqlAuth: over
//   plain TCP unless MYSQL_SECURE_AUTH allows it).
// - Connect never copies the password: it works on the caller's text, or
//   on the `password` member, which is an input for one login: Connect
//   wipes it (OPENSSL_cleanse) and empties it when the login is over (and
//   the destructor wipes one that was never used).
// - The authentication reply must be an OK packet: an empty reply raises
//   2027, anything else 2012.
// - LOAD DATA LOCAL INFILE: the file is sent only when local files are
//   allowed (SetLocalInfile, default true) and the last query sent held a
//   LOAD DATA/LOAD XML LOCAL INFILE statement naming that very file (each
//   named file may be asked for once). Any other request is answered with
//   an empty packet, the server's reply is read, and 2068 is raised
//   (unless the server's reply is an error after which it closes the
//   connection: that error is raised, and the next call reports 2006).
//   A file that cannot be opened or read also raises 2068 (a client error,
//   so the facade reports it like every wire error), naming the file and
//   the system's reason, after the exchange has been completed: the empty
//   packet is sent and the server's reply taken (an error reply raises the
//   server's error instead). The server runs the rest of a batch after such
//   a statement, so the reply's more-results flag is kept: the further
//   results can be read (mysql_next_result), and those left unread are read
//   and dropped before the next command, which therefore gets its own reply.
//   A batch the server ended with an error (or whose results were read in
//   full) leaves nothing to skip, and a command started while a successful
//   batch still announces results still raises 2014.
// - The file names of LOAD DATA LOCAL INFILE statements are found with the
//   MySQL lexer (TMyParser), the one every unit reads SQL with, so comments,
//   quotes and backslash escapes are read the same way everywhere. The
//   MySQL lexer lives with the wire client (it stands only on the neutral
//   lexer of the access area, which the wire client stands on anyway), so
//   this adds no cycle. Texts
//   without the word INFILE are not lexed at all.
// - A command started while the server still announces further results of
//   the previous one (SERVER_MORE_RESULTS_EXISTS) raises 2014, as a command
//   started while rows are pending does: its reply could not be told apart.
// - FreeQuery takes the status of the final EOF (and of the extra packet of
//   a stored-procedure call) so that further results are read correctly in
//   plain and compressed mode. The extra status packet that ends a
//   stored-procedure call (FSkipPacket) is read only when the end of the
//   result announces more results (SERVER_MORE_RESULTS_EXISTS), and never
//   after an error packet: a reply without that flag has nothing after it,
//   and reading on would wait for a packet that never comes (or take the
//   next command's reply).
// - Column definitions are read up to their end-of-data packet and then
//   checked against the column count (which is never used to preallocate);
//   they become `fields` as they arrive.
// - A failure while reading a reply leaves the session sound for the next
//   command (RecoverFromReadError): an error packet ends the reply;
//   malformed data inside well-framed packets (2027) makes the session skip
//   the rest of the reply; anything that loses the framing (connection
//   lost, packets out of order, inflate failure, oversized packet) closes
//   the transport, so that the next command fails at once with 2006. So
//   does an error packet after which the server closes the connection (a
//   query over its max_allowed_packet, shutdown, a killed connection), in
//   plain and compressed mode alike.
// - Errors are told apart by where they came from, not by number: an error
//   packet is the server's whatever its code (a server may send 2013 or
//   2027 too), and only errors the client raised itself can mean that the
//   stream is damaged.
// - FreeQuery, DropConnection, Close and destruction detach the result set
//   that was reading rows (it then returns no further rows), so a result
//   never reads another reply nor points to a freed session.
// - The lock around building and sending query and prepare packets is one
//   per session (QueryBufferCS), so a stalled server never holds up the
//   other connections of the process.
// - A failed Connect closes the transport and leaves the session ready for
//   Close or another Connect.
// - The session knows its prepared statements (TMySqlStmt): Close,
//   DropConnection, a new Connect and destruction detach them, so a
//   statement outliving its connection answers 2006 instead of using a
//   freed session or a statement id of another connection.
// - Connect timeouts and command timeouts are in seconds; 0 means no limit.
// - Session tracking (SESSION_TRACK) is asked for from servers that offer
//   it; the schema changes their OK packets report (a USE statement, also
//   inside a batch) become `database`, the session's current schema. Other
//   kinds of state change are skipped. A server told not to track the
//   schema (session_track_schema=OFF) reports nothing: `database` then
//   stays what the session itself selected.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/mysql/wire/MySqlAuth.h>
#include <lumokit/mysql/wire/MySqlHandshake.h>
#include <lumokit/mysql/wire/MySqlNet.h>
#include <lumokit/mysql/wire/MySqlResultSet.h>
#include <lumokit/net/KxVio.h>

namespace lumo {

class TMySqlStmt;

enum TMySqlStatus { msReady, msGetResult, msUseResult };

enum MYSQL_PROTOCOL_TYPE {
  MYSQL_PROTOCOL_DEFAULT,
  MYSQL_PROTOCOL_TCP,
  MYSQL_PROTOCOL_SOCKET,
  MYSQL_PROTOCOL_PIPE,
  MYSQL_PROTOCOL_MEMORY,
  MYSQL_PROTOCOL_SSL
};

class TMySqlSession {
 public:
  TMySqlSession();
  TMySqlSession(const TMySqlSession&) = delete;
  TMySqlSession& operator=(const TMySqlSession&) = delete;
  ~TMySqlSession();

  // Empty strings and port 0 take the session's fields; see the unit
  // comment. Raises EMySqlException on failure.
  void Connect(const std::string& host, const std::string& user, const std::string& passwd,
               const std::string& db, int port, const std::string& unix_socket, std::uint32_t clientflag);
  // Sends COM_QUIT without waiting and closes the transport; a second call
  // does nothing.
  void Close();

  // Starts a command packet (2014 unless the session is ready).
  void WriteCommand(TServerCommand command);
  // Starts a command on the transport (2006 without one) with the command
  // timeout; the caller appends the arguments and sends.
  void StartCommand(TServerCommand command);
  // Sends a command with `length` bytes of arguments and, unless skipCheck,
  // reads one reply packet (an error reply raises). Without a transport
  // raises 2006.
  void SimpleCommand(TServerCommand command, const void* args, std::size_t length, bool skipCheck);
  void SimpleCommand(TServerCommand command, const std::vector<std::uint8_t>& args, bool skipCheck) {
    SimpleCommand(command, args.data(), args.size(), skipCheck);
  }
  void SimpleCommand(TServerCommand command) { SimpleCommand(command, nullptr, 0, false); }

  // Reads the reply of a query: OK packet, error, LOCAL INFILE request or
  // the column count with the column definitions.
  void ReadQueryResult();
  // Skips the unread rows of the pending result.
  void FreeQuery();
  // Makes the session sound for the next command after reading a reply
  // failed with `e` (see the unit comment); `unreadEofs`: end-of-data
  // packets of the reply still unread (2 inside column definitions, 1
  // inside rows, 0 at the end). Never raises.
  void RecoverFromReadError(const EMySqlException& e, int unreadEofs) noexcept;
  // Closes the transport after the framing was lost; the session stays
  // open for Close, and the next command raises 2006.
  void DropConnection() noexcept;
  // True when no command can follow `e` on this connection: the server
  // closed it after sending its error, or the client lost the framing
  // (connection lost, packets out of order, inflate failure, oversized
  // packet).
  static bool LosesConnection(const EMySqlException& e) noexcept;

  void SelectDb(const std::string& db);
  std::string Statistics();
  void Ping();

  bool protocol41() const noexcept {
    return (static_cast<std::uint32_t>(serverCapabilities) & client::PROTOCOL_41) &&
           (FclientFlag & client::PROTOCOL_41);
  }
  // The character set the connection was opened with (what the handshake
  // asked for; before a connect, what it would ask for). A character set
  // set later with SET NAMES is not seen.
  std::string_view CharacterSetName() const noexcept {
    return FCharacterSet.empty() ? HandshakeCharsetName(charset, serverVersion) : std::string_view(FCharacterSet);
  }
  // The server treats backslashes in literals as ordinary characters.
  bool NoBackslashEscapes() const noexcept { return serverStatus & server::STATUS_NO_BACKSLASH_ESCAPES; }
  bool IsClosed() const noexcept { return FIsClosed; }
  // The server reports changes of the session's schema in its OK packets
  // (SESSION_TRACK negotiated): `database` then follows USE statements.
  bool TracksSchema() const noexcept { return FclientFlag & client::SESSION_TRACK; }

  std::uint32_t Errno() const noexcept { return Ferrno; }
  void SetErrno(std::uint32_t v) noexcept { Ferrno = v; }
  const std::string& Error() const noexcept { return Ferror; }
  void SetError(std::string v) { Ferror = std::move(v); }

  std::uint32_t ClientFlag() const noexcept { return FclientFlag; }
  void SetClientFlag(std::uint32_t v) noexcept { FclientFlag = v; }
  std::int32_t ServerLanguage() const noexcept { return FserverLanguage; }
  const std::array<std::uint8_t, Scramble41Length>& ScrambleBuff() const noexcept { return FscrambleBuff; }

  // Authentication options (plugin, server public key, clear password);
  // read by Connect.
  TMySqlAuthSettings& AuthSettings() noexcept { return FAuthSettings; }
  const TMySqlAuthSettings& AuthSettings() const noexcept { return FAuthSettings; }
  // The plugin that completed the last login ("" for servers without
  // authentication plugins).
  const std::string& AuthPlugin() const noexcept { return FAuthPlugin; }
  // All 32 capability bits of the last greeting.
  std::uint32_t ServerFlags() const noexcept { return FServerFlags; }

  bool LocalInfile() const noexcept { return FLocalInfile; }
  void SetLocalInfile(bool v) noexcept { FLocalInfile = v; }

  TMySqlResultSet* ResultSet() const noexcept { return FResultSet; }
  void SetResultSet(TMySqlResultSet* v) noexcept { FResultSet = v; }
  TKxIOHandler* IOHandler() const noexcept { return FIOHandler; }
  void SetIOHandler(TKxIOHandler* v) noexcept { FIOHandler = v; }
  const THttpOptions* HttpOptions() const noexcept { return FHttpOptions; }
  void SetHttpOptions(const THttpOptions* v) noexcept { FHttpOptions = v; }

  // Prepared statements of this session (registered by the statements).
  void AddStatement(TMySqlStmt* stmt);
  void RemoveStatement(TMySqlStmt* stmt) noexcept;
  std::size_t StatementCount() const noexcept { return FStatements.size(); }

  TMySqlNet& Net() noexcept { return *net; }
  // Held around building and sending query and prepare packets.
  std::mutex& QueryBufferCS() noexcept { return FQueryBufferCS; }

  // Set by the provider while a stored-procedure call is running: the end
  // of a result is then followed by one extra status packet.
  bool FSkipPacket = false;

  std::string host;
  std::string user;
  std::string password;
  std::string database;
  std::string serverVersion;
  std::string hostInfo;
  std::string info;
  std::string charset;
  int port = 0;
  int connectTimeout = 0;  // seconds
  int commandTimeout = 0;  // seconds
  std::int32_t threadId = 0;
  std::int32_t serverCapabilities = 0;
  std::int32_t serverStatus = 0;
  std::int32_t warningCount = 0;
  TMySqlStatus status = msReady;
  MYSQL_PROTOCOL_TYPE protocolType = MYSQL_PROTOCOL_DEFAULT;
  std::int64_t affectedRows = 0;
  std::int64_t insertId = 0;
  std::int64_t extraInfo = 0;
  std::int32_t fieldCount = 0;
  // Column descriptions of the pending result, in order.
  TMySqlFieldInfos fields;
  std::string SSL_key;
  std::string SSL_cert;
  std::string SSL_ca;
  std::string SSL_capath;
  std::string SSL_cipher;

 private:
  void CreateTransport(const std::string& h, int pt, const std::string& unix_socket, std::uint32_t clientflag);
  void OpenTransport(const std::string& h);
  bool TransportCanSwitchToTls() const noexcept;
  // Sends the SSL request and switches the transport to TLS.
  void SendSslRequest(const TMySqlHandshakeParams& p);
  // Asks the I/O handler for TLS; 2026 when its channel stays plain.
  static void SwitchHandlerToTls(TKxVioHandler& handler);
  void Authenticate(std::string_view pw, const TMySqlAuthContext& auth);
  std::unique_ptr<TMySqlAuthPlugin> FirstAuthPlugin(const TMySqlGreeting& g, const TMySqlAuthContext& auth) const;
  void AuthenticateWithPlugins(std::unique_ptr<TMySqlAuthPlugin> plugin, const TMySqlAuthContext& auth);
  // Sends one packet of authentication data (an empty packet for none).
  void SendAuthData(const TSecureBytes& data);
  void ReadFieldsInfo();
  // Sends the named file (or fails through FailLocalFile); the server's
  // reply is then the current packet.
  void SendLocalFile(const std::string& fileName);
  // Ends a LOCAL INFILE exchange whose file was not sent whole: the empty
  // packet, the server's reply (its status taken when it is an OK packet;
  // an error reply raises the server's error when serverErrorWins), then
  // 2068 "The server asked for the local file '<name>', but <what>".
  [[noreturn]] void FailLocalFile(const std::string& fileName, const std::string& what, bool serverErrorWins);
  // Reads and drops the results still announced after a LOCAL INFILE
  // failure, before the next command.
  void SkipAbandonedBatch();
  void ApplyOk(const TMySqlOkPacket& ok);
  TMySqlOkPacket ParseOkReply() const;
  // Takes the status of an OK reply (other replies are left alone).
  void ApplyOkReply();
  void ApplyEof(const std::uint8_t* payload, std::size_t length);
  // Detaches every statement (they answer 2006 from then on).
  void DetachStatements() noexcept;

  std::uint32_t Ferrno = 0;
  std::string Ferror;
  std::uint32_t FclientFlag = 0;
  std::int32_t FserverLanguage = 0;
  std::array<std::uint8_t, Scramble41Length> FscrambleBuff{};
  bool FHasScramble41 = false;
  std::uint32_t FServerFlags = 0;
  TMySqlAuthSettings FAuthSettings;
  std::string FAuthPlugin;
  std::string FCharacterSet;  // set by Connect
  bool FIsClosed = false;
  bool FLocalInfile = true;
  // Files named by LOAD DATA LOCAL INFILE statements of the last query.
  std::vector<std::string> FInfileNames;
  // A LOCAL INFILE failure left further results of its batch unread.
  bool FBatchAbandoned = false;
  TMySqlResultSet* FResultSet = nullptr;
  std::vector<TMySqlStmt*> FStatements;
  TKxIOHandler* FIOHandler = nullptr;
  const THttpOptions* FHttpOptions = nullptr;
  std::mutex FQueryBufferCS;
  std::unique_ptr<TMySqlNet> net;
};

// The files named by LOAD DATA [LOW_PRIORITY|CONCURRENT] LOCAL INFILE and
// LOAD XML LOCAL INFILE statements in a query text (one or several
// statements), with their quoting undone; noBackslashEscapes makes the
// backslash an ordinary character. Comments and string literals elsewhere
// are skipped.
std::vector<std::string> LocalInfileNames(std::string_view sql, bool noBackslashEscapes);

}  // namespace lumo
