// The MySQL provider's connection and transaction: TMySQLConnection opens
// one session through the client-API facade, turns the provider's settings
// into connect options, learns the server version, applies the character
// set and the backslash-escaping rule, and raises every facade failure as
// EMyError. TMySQLTransaction runs transactions and savepoints with plain
// SQL; TMySQLInfo gives the MySQL rules for quoting and splitting names.
//
// Decisions:
// - The facade: Embedded on selects the embedded server (MyAPIEmbedded,
//   started with EmbParams at the first Connect), else Direct on the wire
//   client (MyAPIDirect), else the client library (MyAPIClient). A change of
//   Embedded or Direct while a session is held takes effect at the next
//   Connect: the session stays with the facade that made it. The HTTP
//   protocol raises ENotSupportedError before anything is sent (its
//   transport comes later); mpMemory raises "Wrong protocol".
// - NeedBackslashes of the client library follows the server status the
//   library reports, like the wire client's; with a library that does not
//   report it (the embedded server) it is the mode read at connect time
//   (CheckBackslashes).
// - mpSSL connects over TLS with the SSL_Key, SSL_Cert, SSL_CA, SSL_CAPath
//   (prSSL_CAPath, a folder of CA certificates) and SSL_Cipher settings; a
//   CA file or folder makes the server's certificate and name verified.
//   A CA file or folder, a client certificate or a key asks for TLS under
//   every protocol (WantsTls), so they are never ignored in silence: mpDefault
//   and mpTCP then connect over TLS, mpSocket and mpPipe fail with 2026
//   ("The transport cannot switch to TLS") before any credential is sent.
//   mpSocket and mpPipe connect through the local server's Unix socket;
//   a server text "localhost,/path/to/socket" names the socket (the text
//   after the first ","), else $MYSQL_UNIX_PORT or the default path is used.
// - The session is held in a shared record (TMySqlSessionShare) that the
//   owner and every borrower (AssignConnect) point to. When the owner
//   disconnects it closes the session, clears the record and marks every
//   borrower not connected; a borrower never sees a dangling handle, and a
//   borrower's Disconnect only lets go of the record. The borrower also takes
//   the owner's server version and backslash state. The record's lock
//   guards the handle only: a session is still used by one thread at a time.
// - The server version is parsed with a leading "5.5.5-" stripped (servers
//   that report their own version behind it), so version rules see 10.11.
// - UseUnicode asks for utf8mb4 where the server has it (5.5.3 and later),
//   else utf8; a Charset name is sent in SET NAMES only when it consists of
//   [A-Za-z0-9_] (anything else raises EDAError "Invalid character set
//   name: %s" before sending).
// - SecureAuth (prSecureAuth) decides about old (pre-4.1) passwords: true
//   refuses them (2049 "Connection using old (pre-4.1.1) authentication
//   protocol refused (client option 'secure_auth' enabled)"), false allows
//   them, and Null (the default) leaves the facade's rule: the wire client
//   refuses them over plain TCP and allows them over TLS and the local
//   socket; the client library and the embedded server follow their own
//   default. Over plain TCP anyone on the path can turn a login into the
//   pre-4.1 exchange and read off a token that yields the password's weak
//   hash to a quick offline search, so an account with an old password is
//   reached over TCP only when SecureAuth is set to false.
// - The copy of the password that Connect hands to the facade (encoded for
//   UTF-8 when needed) is wiped with OPENSSL_cleanse once the login is over.
// - Savepoint names are always written as one identifier in back-quotes
//   (QuoteIdentifier), whatever they hold.
// - Only a back-quoted name (inner back-quotes doubled) counts as already
//   quoted. Text in single or double quotes is a string to the server (with
//   backslash escapes), so taking it as a quoted name would let a name such
//   as '\''); DROP ...' end its quotes early; such text is quoted again.
//   UnQuote still removes all three kinds, since its result is always
//   quoted again before it reaches SQL.
// - NeedBackslashes follows the server: with the wire client it reads the
//   NO_BACKSLASH_ESCAPES status flag (0x200) that every OK and EOF packet
//   carries, so a SET sql_mode is seen at once; CheckBackslashes still
//   reads "SELECT @@session.sql_mode" after connecting (through a command
//   and the facade directly, as the record set is built on this unit).
// - Assign copies every setting a second connection needs, including the
//   TLS strings, the HTTP options, the embedded parameters and
//   CheckBackslashes, so KILL and additional connections reach the same
//   server the same way.
// - IsFatalError also knows 1927 (connection killed) and 4031 (the client
//   was disconnected for inactivity).
// - Embedded-server parameters: directory values get "/" for "\\" and
//   keep a leading "/" (an absolute path stays absolute on this platform).
// - An operation on a connection without a session raises EMyError 2006
//   "Not connected".
// - Prepared statements come later: CheckStmt is not here yet.
// - Database is the schema to connect to; the schema the session is in
//   (CurrentDatabase) follows the server: the wire client's session
//   tracking where the server reports schema changes, else a query of
//   DATABASE() each time it is asked for. An additional connection made
//   from this one connects to that current schema.
// - MultiStatements (prMultiStatements, default on) asks the server for
//   multi-statement texts at connect. The wire client allows them only when
//   asked, so turning this off shrinks what an injected quote can do: a
//   second statement stacked behind it is refused. The provider's own
//   batches need it: with it off a transaction sends its isolation level
//   and BEGIN separately, and calls of routines with output parameters
//   (whose values are read back by a second statement) raise EDAError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <lumokit/access/KxAccess.h>
#include <lumokit/access/KxAccessSQLInfo.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/StringList.h>
#include <lumokit/mysql/wire/MySqlApi.h>

namespace lumo {

class TMySQLConnection;

// ---- property codes of the MySQL provider ----------------------------------------------

inline constexpr int prMySQLBase = 1000;
inline constexpr int prConnectionTimeout = prMySQLBase + 1;
inline constexpr int prCompress = prMySQLBase + 7;
inline constexpr int prCharset = prMySQLBase + 9;
inline constexpr int prProtocol = prMySQLBase + 11;
inline constexpr int prCommandTimeout = prMySQLBase + 16;
inline constexpr int prUseUnicode = prMySQLBase + 18;
inline constexpr int prEmbParams = prMySQLBase + 19;
inline constexpr int prSSL_Cipher = prMySQLBase + 20;
inline constexpr int prSSL_CA = prMySQLBase + 21;
inline constexpr int prSSL_Key = prMySQLBase + 22;
inline constexpr int prSSL_Cert = prMySQLBase + 23;
inline constexpr int prParamPosition = prMySQLBase + 27;
inline constexpr int prFillParamPosition = prMySQLBase + 28;
inline constexpr int prEmbedded = prMySQLBase + 30;
inline constexpr int prDirect = prMySQLBase + 31;
inline constexpr int prCheckPrecision = prMySQLBase + 32;
inline constexpr int prOptimizedBigInt = prMySQLBase + 33;
inline constexpr int prCheckBackslashes = prMySQLBase + 35;
inline constexpr int prNeedBackslashes = prMySQLBase + 36;
inline constexpr int prNullForZeroOrvoDate = prMySQLBase + 41;
inline constexpr int prInteractive = prMySQLBase + 42;
inline constexpr int prMultiStatements = prMySQLBase + 43;
inline constexpr int prSSL_CAPath = prMySQLBase + 44;
// The rows affected by each statement of the last text run (an array).
inline constexpr int prStatementRowsAffected = prMySQLBase + 45;
// Refuse (true) or allow (false) a login with the pre-4.1 password
// scramble; Null: the facade's default (see the unit comment).
inline constexpr int prSecureAuth = prMySQLBase + 46;

enum TMyProtocol : std::uint8_t { mpDefault = 0, mpTCP = 1, mpSocket = 2, mpPipe = 3, mpMemory = 4, mpSSL = 5, mpHttp = 6 };

// ---- errors ----------------------------------------------------------------------------------

class EMyError : public EDAError {
 public:
  // For 1064 the line number is read from the end of the message.
  EMyError(int errorCode, std::string message, TComponent* component = nullptr);

  std::int32_t LineNumber() const noexcept { return FLineNumber; }
  // 1053, 2003, 2006, 2013, 1927, 4031.
  bool IsFatalError() const override;
  // 1062.
  bool IsKeyViolation() const override;

  // The run of digits that ends at the last digit of `message` (0 when
  // there is none or it does not fit).
  static std::int32_t ParseLineNumber(std::string_view message) noexcept;

 private:
  std::int32_t FLineNumber = 0;
};

// ---- identifiers ----------------------------------------------------------------------------

class TMySQLConnection;

class TMySQLInfo : public TSQLInfo {
 public:
  // The connection whose mode and character set literals are written for
  // (null: none known).
  using TConnectionSource = std::function<const TMySQLConnection*()>;

  TMySQLInfo();
  explicit TMySQLInfo(TConnectionSource source);

  char LeftQuote() const override { return '`'; }
  char RightQuote() const override { return '`'; }
  // IsQuoted and Quote are the generic ones over back-quotes: a name is
  // already quoted only when it is enclosed in back-quotes with every
  // back-quote inside doubled; anything else is wrapped.
  // Removes the enclosing quotes of whichever kind (`, " or '), undoubling
  // them inside; a value not so enclosed comes back unchanged.
  std::string UnQuote(std::string_view value) const override;
  // A MySQL string literal. With a connected connection as source it comes
  // from the literal writer for that connection's NO_BACKSLASH_ESCAPES state
  // and character set; otherwise it is written for the server's default
  // mode: single quotes doubled, backslashes doubled.
  std::string ToStringConst(std::string_view value) const override;
  // The generic splitter's schema part is the database.
  void SplitObjectName(std::string_view name, std::string& database, std::string& objName) const;
  using TSQLInfo::SplitObjectName;
  // One name in back-quotes with back-quotes doubled inside: always valid,
  // whatever the name holds (also a reserved word or a quote character).
  static std::string QuoteIdentifier(std::string_view name);
  // A name that may be qualified (database.object, either part quoted in
  // any of the three ways or bare): each part unquoted and written by
  // QuoteIdentifier. What the user wrote never reaches SQL as it stands.
  std::string QuoteObjectName(std::string_view name) const;
  // Normalised names joined by ", ".
  std::string NamesFromList(const TStrings& list) const override;
  // Split at "," and ";" (outside quotes), each piece trimmed, normalised
  // with unquoting; empty pieces dropped.
  void NamesToList(std::string_view value, TStrings& list) const override;

  using TSQLInfo::IsQuoted;
  using TSQLInfo::Quote;
  using TSQLInfo::UnQuote;

 private:
  TConnectionSource FSource;
};

// The process-wide instance.
TMySQLInfo& MySQLInfo();

// ---- the connection ----------------------------------------------------------------------

// The session record shared by a connection and its borrowers.
struct TMySqlSessionShare;

class TMySQLConnection : public TKxConnection {
 public:
  // Optional supplier and taker of additional connections (a pool).
  using TGetMySQLConnectionEvent = std::function<std::unique_ptr<TMySQLConnection>()>;
  using TReturnMySQLConnectionEvent = std::function<void(std::unique_ptr<TMySQLConnection>& connection)>;

  TMySQLConnection();
  ~TMySQLConnection() override;

  std::unique_ptr<TKxCommand> CreateCommand() override;
  std::unique_ptr<TKxTransaction> CreateTransaction() override;
  std::unique_ptr<TSQLInfo> CreateSQLInfo() override;
  std::unique_ptr<TKxMapRules> CreateDataTypeMap() override;

  // Additional connections never fail over: only OnError is asked.
  void DoError(const Exception& e, bool& fail) override;
  void Connect(const std::string& connectString) override;
  void Disconnect() override;
  void Assign(const TKxConnection& source) override;
  void AssignConnect(TKxConnection* source) override;
  bool CheckIsValid() override;
  std::string GetServerVersion() override;
  std::string GetServerVersionFull() override;
  std::string GetClientVersion() override;
  bool SetProp(int prop, const Variant& value) override;
  bool GetProp(int prop, Variant& value) override;

  // Raise the session's error (EMyError through MySQLError) when the
  // handle is null, the status non-zero, or mysql_errno is set.
  virtual void Check(const void* status, TComponent* component);
  virtual void Check(int status, TComponent* component);
  virtual void Check(TComponent* component);
  // Raises the session's error as EMyError with `component` as source,
  // after offering it to DoError; a handler that clears Fail turns it into
  // the silent abort.
  [[noreturn]] void MySQLError(TComponent* component);
  // Raises `e` after offering it to DoError (see MySQLError).
  [[noreturn]] void RaiseError(EMyError& e);

  // Runs one statement that returns nothing (a temporary command).
  void ExecStatement(const std::string& sql);
  void SetDatabase(const std::string& value);
  const std::string& Database() const noexcept { return FDatabase; }
  // The schema the session is in now (after USE statements too): what the
  // wire client's session tracking reports, else the server's DATABASE();
  // empty for none. Not connected: Database.
  std::string CurrentDatabase();
  std::uint32_t GetThreadId();
  void CheckMySQLLib();
  bool IsClient41() const;
  bool IsServer41() const;
  // Text ("Name=Value" lines) for the embedded server's start-up parameters.
  void SetEmbParamsStr(const std::string& text);
  const TStringList& EmbParams() const noexcept { return FEmbParams; }

  // Version text → major, minor, release (see the unit comment).
  static void ParseServerVersion(std::string_view text, int& major, int& minor, int& release);
  // A character-set name that may be sent in SET NAMES.
  static bool IsValidCharsetName(std::string_view name) noexcept;
  // Normalises one directory value of the embedded parameters.
  static std::string CheckDirParam(std::string_view name, std::string value);

  // Properties.
  TMySQLAPI* MySQLAPI() const noexcept { return FMySQLAPI; }
  // The session; null when not connected (also after the owner of a
  // borrowed session disconnected).
  PMYSQL_CON MySQL() const noexcept;
  int ServerPrimaryVer() const noexcept { return FServerPrimaryVer; }
  int ServerMinorVer() const noexcept { return FServerMinorVer; }
  int ServerReleaseVer() const noexcept { return FServerReleaseVer; }
  bool Additional() const noexcept { return FAdditional; }
  void SetAdditional(bool value) noexcept { FAdditional = value; }
  const TGetMySQLConnectionEvent& GetMySQLConnection() const noexcept { return FGetMySQLConnection; }
  void SetGetMySQLConnection(TGetMySQLConnectionEvent value) { FGetMySQLConnection = std::move(value); }
  const TReturnMySQLConnectionEvent& ReturnMySQLConnection() const noexcept { return FReturnMySQLConnection; }
  void SetReturnMySQLConnection(TReturnMySQLConnectionEvent value) { FReturnMySQLConnection = std::move(value); }

  int Port() const noexcept { return FPort; }
  bool Compress() const noexcept { return FCompress; }
  bool UseUnicode() const noexcept { return FUseUnicode; }
  const std::string& Charset() const noexcept { return FCharset; }
  int ConnectionTimeout() const noexcept { return FConnectionTimeout; }
  TMyProtocol Protocol() const noexcept { return FProtocol; }
  bool OptimizedBigInt() const noexcept { return FOptimizedBigInt; }
  bool NullForZeroOrvoDate() const noexcept { return FNullForZeroOrvoDate; }
  bool Embedded() const noexcept { return FEmbedded; }
  bool Direct() const noexcept { return FDirect; }
  bool CheckPrecision() const noexcept { return FCheckPrecision; }
  bool CheckBackslashes() const noexcept { return FCheckBackslashes; }
  // Whether string literals must escape with backslashes (see above).
  bool NeedBackslashes() const noexcept;
  bool Interactive() const noexcept { return FInteractive; }
  bool MultiStatements() const noexcept { return FMultiStatements; }
  const std::optional<bool>& SecureAuth() const noexcept { return FSecureAuth; }
  const std::string& SSL_Cipher() const noexcept { return FSSL_Cipher; }
  const std::string& SSL_CA() const noexcept { return FSSL_CA; }
  const std::string& SSL_Key() const noexcept { return FSSL_Key; }
  const std::string& SSL_Cert() const noexcept { return FSSL_Cert; }
  const std::string& SSL_CAPath() const noexcept { return FSSL_CAPath; }
  // The character set that UseUnicode asks for on this server.
  std::string UnicodeCharset() const;
  // mpSSL, or any TLS file given: the connection goes over TLS or fails.
  bool WantsTls() const noexcept;

  // A directory that "--basedir" values starting with "." are relative to.
  static std::string& CurrentProjectOutputDir();

 protected:
  void SetMySQLAPI();
  void SetOptions(PMYSQL_CON session, bool utf8);
  void TryToApplyUseUnicode();
  void CheckNoBackslashEscapesMode();
  // Detaches from the session record (closing it when owned).
  void ReleaseSession() noexcept;

  TMySQLAPI* FMySQLAPI = nullptr;
  std::shared_ptr<TMySQLAPI> FMySQLAPIShare;  // keeps FMySQLAPI alive
  std::shared_ptr<TMySqlSessionShare> FSession;
  std::string FDatabase;
  int FPort = 0;
  bool FCompress = false;
  bool FUseUnicode = false;
  std::string FCharset;
  int FConnectionTimeout = 15;
  TMyProtocol FProtocol = mpDefault;
  bool FOptimizedBigInt = false;
  bool FNullForZeroOrvoDate = false;
  bool FEmbedded = false;
  bool FDirect = true;
  bool FCheckPrecision = false;
  bool FCheckBackslashes = false;
  bool FNeedBackslashes = true;
  bool FInteractive = false;
  bool FMultiStatements = true;
  std::optional<bool> FSecureAuth;
  bool FAdditional = false;
  TStringList FEmbParams;
  std::string FSSL_Cipher;
  std::string FSSL_CA;
  std::string FSSL_Key;
  std::string FSSL_Cert;
  std::string FSSL_CAPath;
  std::string FServerVer;
  int FServerPrimaryVer = 0;
  int FServerMinorVer = 0;
  int FServerReleaseVer = 0;
  TGetMySQLConnectionEvent FGetMySQLConnection;
  TReturnMySQLConnectionEvent FReturnMySQLConnection;

  friend struct TMySqlSessionShare;
};

// ---- transactions ---------------------------------------------------------------------------

class TMySQLTransaction : public TKxTransaction {
 public:
  TMySQLTransaction();

  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  // The name is quoted when it needs quotes.
  void Savepoint(const std::string& name) override;
  void ReleaseSavepoint(const std::string& name) override;
  void RollbackToSavepoint(const std::string& name) override;

  // The one connected TMySQLConnection of the transaction.
  TMySQLConnection& GetConnection() const;
  // The statement that sets the isolation level (raises for snapshot and
  // custom).
  static std::string IsolationLevelSQL(TKxIsolationLevel level);
};

}  // namespace lumo
