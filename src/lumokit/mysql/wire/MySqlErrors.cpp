#include <lumokit/mysql/wire/MySqlErrors.h>

#include <array>

namespace lumo {

namespace {

// The client error catalogue, indexed by code - cr::MinError. The texts are
// those users and peers see; keep them byte for byte.
const std::array<std::string, 48> ClientErrors = {
    "Unknown MySQL error",  // 2000
    "Can't create UNIX socket (%d)",  // 2001
    "Can't connect to local MySQL server through socket '%-.64s' (%d)",  // 2002
    "Can't connect to MySQL server on '%s' (%d)",  // 2003
    "Can't create TCP/IP socket (%d)",  // 2004
    "Unknown MySQL Server Host '%-.64s' (%d)",  // 2005
    "MySQL server has gone away",  // 2006
    "Protocol mismatch. Server Version = %d Client Version = %d",  // 2007
    "MySQL client run out of memory",  // 2008
    "Wrong host info",  // 2009
    "Localhost via UNIX socket",  // 2010
    "%-.64s via TCP/IP",  // 2011
    "Error in server handshake",  // 2012
    "Lost connection to MySQL server during query",  // 2013
    "Commands out of sync;  You can't run this command now",  // 2014
    "%-.64s via named pipe",  // 2015
    "Can't wait for named pipe to host: %s  pipe: %s (%s)",  // 2016
    "Can't open named pipe to host: %s  pipe: %s (%s)",  // 2017
    "Can't set state of named pipe to host: %s  pipe: %s (%s)",  // 2018
    "Can't initialize character set %s (path: %s)",  // 2019
    "Got packet bigger than 'max_allowed_packet'",  // 2020
    "Embedded server",  // 2021
    "Error on SHOW SLAVE STATUS:",  // 2022
    "Error on SHOW SLAVE HOSTS:",  // 2023
    "Error connecting to slave:",  // 2024
    "Error connecting to master:",  // 2025
    "SSL connection error",  // 2026
    "Malformed packet",  // 2027
    "Invalid use of null pointer",  // 2028
    "Statement not prepared",  // 2029
    "Not all parameters data supplied",  // 2030
    "Data truncated",  // 2031
    "No parameters exists in the statement",  // 2032
    "Invalid parameter number",  // 2033
    "Can't send long data for non string or binary data types (parameter: %s)",  // 2034
    "Using unsupported buffer type: %s  (parameter: %s)",  // 2035
    "Shared memory (%s)",  // 2036
    "Can't open shared memory. Request event don't create  (%s)",  // 2037
    "Can't open shared memory. Answer event don't create  (%s)",  // 2038
    "Can't open shared memory. File mapping don't create  (%s)",  // 2039
    "Can't open shared memory. Map of memory don't create  (%s)",  // 2040
    "Can't open shared memory. File mapping don't create for client (%s)",  // 2041
    "Can't open shared memory. Map of memory don't create for client (%s)",  // 2042
    "Can't open shared memory. %s event don't create for client (%s)",  // 2043
    "Can't open shared memory. Server abandoded and don't sent the answer event (%s)",  // 2044
    "Can't open shared memory. Can't send the request event to server (%s)",  // 2045
    "Wrong or unknown protocol",  // 2046
    "Invalid connection handle",  // 2047
};

const std::string EmptyText;

}  // namespace

const std::string& GetError(int code) noexcept {
  if (code < cr::MinError || code > cr::MaxError) return EmptyText;
  return ClientErrors[static_cast<std::size_t>(code - cr::MinError)];
}

std::string BuildMySqlErrorMessage(int errorCode, std::string_view msg,
                                   std::initializer_list<FormatArg> args) {
  std::string text = Format(GetError(errorCode), args);
  if (!msg.empty()) {
    if (errorCode == cr::CONN_HOST_ERROR) {
      text.assign(msg);
    } else {
      text += "\r\n";
      text += msg;
    }
  }
  return text;
}

bool ServerErrorClosesConnection(int code) noexcept {
  switch (code) {
    case er::SERVER_SHUTDOWN:
    case er::ABORTING_CONNECTION:
    case er::NET_PACKET_TOO_LARGE:
    case er::NET_READ_ERROR_FROM_PIPE:
    case er::NET_FCNTL_ERROR:
    case er::NET_PACKETS_OUT_OF_ORDER:
    case er::NET_UNCOMPRESS_ERROR:
    case er::NET_READ_ERROR:
    case er::NET_READ_INTERRUPTED:
    case er::NET_ERROR_ON_WRITE:
    case er::NET_WRITE_INTERRUPTED:
    case er::NEW_ABORTING_CONNECTION:
    case 1927:  // the connection was killed
    case 4031:  // the server ended an idle connection
      return true;
    default:
      return false;
  }
}

EMySqlException::EMySqlException(int errorCode) : Exception(GetError(errorCode)), FErrorCode(errorCode) {}

EMySqlException::EMySqlException(int errorCode, std::string_view msg)
    : Exception(BuildMySqlErrorMessage(errorCode, msg, {})), FErrorCode(errorCode) {}

EMySqlException::EMySqlException(int errorCode, std::string_view msg, std::initializer_list<FormatArg> args)
    : Exception(BuildMySqlErrorMessage(errorCode, msg, args)), FErrorCode(errorCode) {}

EMySqlException::EMySqlException(TServerOrigin, int errorCode, std::string_view text)
    : Exception("\r\n" + std::string(text)), FErrorCode(errorCode), FFromServer(true) {}

EMySqlException::EMySqlException(TExactText, int errorCode, std::string message)
    : Exception(std::move(message)), FErrorCode(errorCode) {}

EMySqlException EMySqlException::WithMessage(int errorCode, std::string message) {
  return EMySqlException(TExactText{}, errorCode, std::move(message));
}

EMySqlException AuthPluginError(int errorCode, std::string_view plugin, std::string_view reason) {
  const char* text = errorCode == cr::AUTH_PLUGIN_CANNOT_LOAD ? "Authentication plugin '%s' cannot be loaded: %s"
                                                               : "Authentication plugin '%s' reported error: %s";
  return EMySqlException::WithMessage(errorCode, Format(text, {std::string(plugin), std::string(reason)}));
}

EMySqlException SecureAuthError() {
  return EMySqlException::WithMessage(
      cr::SECURE_AUTH,
      "Connection using old (pre-4.1.1) authentication protocol refused (client option 'secure_auth' enabled)");
}

EMySqlException EMySqlException::FromServerPacket(int errorCode, std::string_view text) {
  return EMySqlException(TServerOrigin{}, errorCode, text);
}

}  // namespace lumo
