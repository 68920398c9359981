// Errors of the MySQL wire client: the exception EMySqlException that carries
// a server error number or a client error number (2000-2047), the fixed
// catalogue of client error texts and the rules that build a message from a
// catalogue text, its arguments and an extra text.
//
// An exception knows where it came from: FromServer() is true only for an
// error packet the server sent. Recovery decisions rest on that origin, never
// on the number's range, because a server may send any 16-bit number,
// 2000-2999 included.
//
// Constant names: the classic names of these codes are macros in the C
// client's headers, so here they drop their prefix and live in a namespace
// named after it: CR_SERVER_LOST is cr::SERVER_LOST, ER_DUP_ENTRY is
// er::DUP_ENTRY. A unit that also includes the C client's headers still
// compiles.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

// Client error codes (catalogue index = code - MinError).
namespace cr {
enum : int {
  MinError = 2000,
  MaxError = 2047,
  UNKNOWN_ERROR = 2000,
  SOCKET_CREATE_ERROR = 2001,
  CONNECTION_ERROR = 2002,
  CONN_HOST_ERROR = 2003,
  IPSOCK_ERROR = 2004,
  UNKNOWN_HOST = 2005,
  SERVER_GONE_ERROR = 2006,
  VERSION_ERROR = 2007,
  OUT_OF_MEMORY = 2008,
  WRONG_HOST_INFO = 2009,
  LOCALHOST_CONNECTION = 2010,
  TCP_CONNECTION = 2011,
  SERVER_HANDSHAKE_ERR = 2012,
  SERVER_LOST = 2013,
  COMMANDS_OUT_OF_SYNC = 2014,
  NAMEDPIPE_CONNECTION = 2015,
  NAMEDPIPEWAIT_ERROR = 2016,
  NAMEDPIPEOPEN_ERROR = 2017,
  NAMEDPIPESETSTATE_ERROR = 2018,
  CANT_READ_CHARSET = 2019,
  NET_PACKET_TOO_LARGE = 2020,
  EMBEDDED_CONNECTION = 2021,
  SSL_CONNECTION_ERROR = 2026,
  MALFORMED_PACKET = 2027,
  NULL_POINTER = 2028,
  NO_PREPARE_STMT = 2029,
  NOT_ALL_PARAMS_BOUND = 2030,
  DATA_TRUNCATED = 2031,
  NO_PARAMETERS_EXISTS = 2032,
  INVALID_PARAMETER_NO = 2033,
  INVALID_BUFFER_USE = 2034,
  UNSUPPORTED_PARAM_TYPE = 2035,
  CONN_UNKNOW_PROTOCOL = 2046,
  INVALID_CONN_HANDLE = 2047,
  // Outside the catalogue, so its catalogue text is empty and its message is
  // a carriage-return/line-feed pair followed by the extra text, as for a
  // server error: the server asked for a local file that the client refuses
  // to send.
  LOAD_DATA_LOCAL_INFILE_REJECTED = 2068,
  // Login through authentication plugins, also outside the catalogue; their
  // messages are the texts below, filled with the plugin's name and the
  // reason (see AuthPluginError).
  AUTH_PLUGIN_CANNOT_LOAD = 2059,  // "Authentication plugin '%s' cannot be loaded: %s"
  AUTH_PLUGIN_ERR = 2061,          // "Authentication plugin '%s' reported error: %s"
  // Outside the catalogue too, under the number and text C clients use for
  // it: the login would need the pre-4.1 password scramble and the client
  // refuses it (see SecureAuthError).
  SECURE_AUTH = 2049,
};
}  // namespace cr

// Server error codes 1000-1217 and 1360, under MySQL's names (spelling
// included: KEY_COLUMN_DOES_NOT_EXITS); other servers reuse a few numbers
// under names of their own.
namespace er {
enum : int {
  HASHCHK = 1000,
  NISAMCHK = 1001,
  NO = 1002,
  YES = 1003,
  CANT_CREATE_FILE = 1004,
  CANT_CREATE_TABLE = 1005,
  CANT_CREATE_DB = 1006,
  DB_CREATE_EXISTS = 1007,
  DB_DROP_EXISTS = 1008,
  DB_DROP_DELETE = 1009,
  DB_DROP_RMDIR = 1010,
  CANT_DELETE_FILE = 1011,
  CANT_FIND_SYSTEM_REC = 1012,
  CANT_GET_STAT = 1013,
  CANT_GET_WD = 1014,
  CANT_LOCK = 1015,
  CANT_OPEN_FILE = 1016,
  FILE_NOT_FOUND = 1017,
  CANT_READ_DIR = 1018,
  CANT_SET_WD = 1019,
  CHECKREAD = 1020,
  DISK_FULL = 1021,
  DUP_KEY = 1022,
  ERROR_ON_CLOSE = 1023,
  ERROR_ON_READ = 1024,
  ERROR_ON_RENAME = 1025,
  ERROR_ON_WRITE = 1026,
  FILE_USED = 1027,
  FILSORT_ABORT = 1028,
  FORM_NOT_FOUND = 1029,
  GET_ERRNO = 1030,
  ILLEGAL_HA = 1031,
  KEY_NOT_FOUND = 1032,
  NOT_FORM_FILE = 1033,
  NOT_KEYFILE = 1034,
  OLD_KEYFILE = 1035,
  OPEN_AS_READONLY = 1036,
  OUTOFMEMORY = 1037,
  OUT_OF_SORTMEMORY = 1038,
  UNEXPECTED_EOF = 1039,
  CON_COUNT_ERROR = 1040,
  OUT_OF_RESOURCES = 1041,
  BAD_HOST_ERROR = 1042,
  HANDSHAKE_ERROR = 1043,
  DBACCESS_DENIED_ERROR = 1044,
  ACCESS_DENIED_ERROR = 1045,
  NO_DB_ERROR = 1046,
  UNKNOWN_COM_ERROR = 1047,
  BAD_NULL_ERROR = 1048,
  BAD_DB_ERROR = 1049,
  TABLE_EXISTS_ERROR = 1050,
  BAD_TABLE_ERROR = 1051,
  NON_UNIQ_ERROR = 1052,
  SERVER_SHUTDOWN = 1053,
  BAD_FIELD_ERROR = 1054,
  WRONG_FIELD_WITH_GROUP = 1055,
  WRONG_GROUP_FIELD = 1056,
  WRONG_SUM_SELECT = 1057,
  WRONG_VALUE_COUNT = 1058,
  TOO_LONG_IDENT = 1059,
  DUP_FIELDNAME = 1060,
  DUP_KEYNAME = 1061,
  DUP_ENTRY = 1062,
  WRONG_FIELD_SPEC = 1063,
  PARSE_ERROR = 1064,
  EMPTY_QUERY = 1065,
  NONUNIQ_TABLE = 1066,
  INVALID_DEFAULT = 1067,
  MULTIPLE_PRI_KEY = 1068,
  TOO_MANY_KEYS = 1069,
  TOO_MANY_KEY_PARTS = 1070,
  TOO_LONG_KEY = 1071,
  KEY_COLUMN_DOES_NOT_EXITS = 1072,
  BLOB_USED_AS_KEY = 1073,
  TOO_BIG_FIELDLENGTH = 1074,
  WRONG_AUTO_KEY = 1075,
  READY = 1076,
  NORMAL_SHUTDOWN = 1077,
  GOT_SIGNAL = 1078,
  SHUTDOWN_COMPLETE = 1079,
  FORCING_CLOSE = 1080,
  IPSOCK_ERROR = 1081,
  NO_SUCH_INDEX = 1082,
  WRONG_FIELD_TERMINATORS = 1083,
  BLOBS_AND_NO_TERMINATED = 1084,
  TEXTFILE_NOT_READABLE = 1085,
  FILE_EXISTS_ERROR = 1086,
  LOAD_INFO = 1087,
  ALTER_INFO = 1088,
  WRONG_SUB_KEY = 1089,
  CANT_REMOVE_ALL_FIELDS = 1090,
  CANT_DROP_FIELD_OR_KEY = 1091,
  INSERT_INFO = 1092,
  UPDATE_TABLE_USED = 1093,
  NO_SUCH_THREAD = 1094,
  KILL_DENIED_ERROR = 1095,
  NO_TABLES_USED = 1096,
  TOO_BIG_SET = 1097,
  NO_UNIQUE_LOGFILE = 1098,
  TABLE_NOT_LOCKED_FOR_WRITE = 1099,
  TABLE_NOT_LOCKED = 1100,
  BLOB_CANT_HAVE_DEFAULT = 1101,
  WRONG_DB_NAME = 1102,
  WRONG_TABLE_NAME = 1103,
  TOO_BIG_SELECT = 1104,
  UNKNOWN_ERROR = 1105,
  UNKNOWN_PROCEDURE = 1106,
  WRONG_PARAMCOUNT_TO_PROCEDURE = 1107,
  WRONG_PARAMETERS_TO_PROCEDURE = 1108,
  UNKNOWN_TABLE = 1109,
  FIELD_SPECIFIED_TWICE = 1110,
  INVALID_GROUP_FUNC_USE = 1111,
  UNSUPPORTED_EXTENSION = 1112,
  TABLE_MUST_HAVE_COLUMNS = 1113,
  RECORD_FILE_FULL = 1114,
  UNKNOWN_CHARACTER_SET = 1115,
  TOO_MANY_TABLES = 1116,
  TOO_MANY_FIELDS = 1117,
  TOO_BIG_ROWSIZE = 1118,
  STACK_OVERRUN = 1119,
  WRONG_OUTER_JOIN = 1120,
  NULL_COLUMN_IN_INDEX = 1121,
  CANT_FIND_UDF = 1122,
  CANT_INITIALIZE_UDF = 1123,
  UDF_NO_PATHS = 1124,
  UDF_EXISTS = 1125,
  CANT_OPEN_LIBRARY = 1126,
  CANT_FIND_DL_ENTRY = 1127,
  FUNCTION_NOT_DEFINED = 1128,
  HOST_IS_BLOCKED = 1129,
  HOST_NOT_PRIVILEGED = 1130,
  PASSWORD_ANONYMOUS_USER = 1131,
  PASSWORD_NOT_ALLOWED = 1132,
  PASSWORD_NO_MATCH = 1133,
  UPDATE_INFO = 1134,
  CANT_CREATE_THREAD = 1135,
  WRONG_VALUE_COUNT_ON_ROW = 1136,
  CANT_REOPEN_TABLE = 1137,
  INVALID_USE_OF_NULL = 1138,
  REGEXP_ERROR = 1139,
  MIX_OF_GROUP_FUNC_AND_FIELDS = 1140,
  NONEXISTING_GRANT = 1141,
  TABLEACCESS_DENIED_ERROR = 1142,
  COLUMNACCESS_DENIED_ERROR = 1143,
  ILLEGAL_GRANT_FOR_TABLE = 1144,
  GRANT_WRONG_HOST_OR_USER = 1145,
  NO_SUCH_TABLE = 1146,
  NONEXISTING_TABLE_GRANT = 1147,
  NOT_ALLOWED_COMMAND = 1148,
  SYNTAX_ERROR = 1149,
  DELAYED_CANT_CHANGE_LOCK = 1150,
  TOO_MANY_DELAYED_THREADS = 1151,
  ABORTING_CONNECTION = 1152,
  NET_PACKET_TOO_LARGE = 1153,
  NET_READ_ERROR_FROM_PIPE = 1154,
  NET_FCNTL_ERROR = 1155,
  NET_PACKETS_OUT_OF_ORDER = 1156,
  NET_UNCOMPRESS_ERROR = 1157,
  NET_READ_ERROR = 1158,
  NET_READ_INTERRUPTED = 1159,
  NET_ERROR_ON_WRITE = 1160,
  NET_WRITE_INTERRUPTED = 1161,
  TOO_LONG_STRING = 1162,
  TABLE_CANT_HANDLE_BLOB = 1163,
  TABLE_CANT_HANDLE_AUTO_INCREMENT = 1164,
  DELAYED_INSERT_TABLE_LOCKED = 1165,
  WRONG_COLUMN_NAME = 1166,
  WRONG_KEY_COLUMN = 1167,
  WRONG_MRG_TABLE = 1168,
  DUP_UNIQUE = 1169,
  BLOB_KEY_WITHOUT_LENGTH = 1170,
  PRIMARY_CANT_HAVE_NULL = 1171,
  TOO_MANY_ROWS = 1172,
  REQUIRES_PRIMARY_KEY = 1173,
  NO_RAID_COMPILED = 1174,
  UPDATE_WITHOUT_KEY_IN_SAFE_MODE = 1175,
  KEY_DOES_NOT_EXISTS = 1176,
  CHECK_NO_SUCH_TABLE = 1177,
  CHECK_NOT_IMPLEMENTED = 1178,
  CANT_DO_THIS_DURING_AN_TRANSACTION = 1179,
  ERROR_DURING_COMMIT = 1180,
  ERROR_DURING_ROLLBACK = 1181,
  ERROR_DURING_FLUSH_LOGS = 1182,
  ERROR_DURING_CHECKPOINT = 1183,
  NEW_ABORTING_CONNECTION = 1184,
  DUMP_NOT_IMPLEMENTED = 1185,
  FLUSH_MASTER_BINLOG_CLOSED = 1186,
  INDEX_REBUILD = 1187,
  MASTER = 1188,
  MASTER_NET_READ = 1189,
  MASTER_NET_WRITE = 1190,
  FT_MATCHING_KEY_NOT_FOUND = 1191,
  LOCK_OR_ACTIVE_TRANSACTION = 1192,
  UNKNOWN_SYSTEM_VARIABLE = 1193,
  CRASHED_ON_USAGE = 1194,
  CRASHED_ON_REPAIR = 1195,
  WARNING_NOT_COMPLETE_ROLLBACK = 1196,
  TRANS_CACHE_FULL = 1197,
  SLAVE_MUST_STOP = 1198,
  SLAVE_NOT_RUNNING = 1199,
  BAD_SLAVE = 1200,
  MASTER_INFO = 1201,
  SLAVE_THREAD = 1202,
  TOO_MANY_USER_CONNECTIONS = 1203,
  SET_CONSTANTS_ONLY = 1204,
  LOCK_WAIT_TIMEOUT = 1205,
  LOCK_TABLE_FULL = 1206,
  READ_ONLY_TRANSACTION = 1207,
  DROP_DB_WITH_READ_LOCK = 1208,
  CREATE_DB_WITH_READ_LOCK = 1209,
  WRONG_ARGUMENTS = 1210,
  NO_PERMISSION_TO_CREATE_USER = 1211,
  UNION_TABLES_IN_DIFFERENT_DIR = 1212,
  LOCK_DEADLOCK = 1213,
  TABLE_CANT_HANDLE_FT = 1214,
  CANNOT_ADD_FOREIGN = 1215,
  NO_REFERENCED_ROW = 1216,
  ROW_IS_REFERENCED = 1217,
  TRG_DOES_NOT_EXIST = 1360,
};
constexpr int ERROR_FIRST = 1000;
constexpr int ERROR_MESSAGES = 218;
}  // namespace er

// Catalogue text of a client error code, "" for every other code.
const std::string& GetError(int code) noexcept;

// True for the server errors after which the server closes the connection:
// its network errors (a packet over its max_allowed_packet, packets out of
// order, read and write failures), shutdown, a killed connection and the
// idle time-out.
bool ServerErrorClosesConnection(int code) noexcept;

class EMySqlException : public Exception {
 public:
  // Message = the catalogue text as it stands (placeholders unfilled).
  explicit EMySqlException(int errorCode);
  // Message = catalogue text formatted with no arguments, then the extra text
  // rules below.
  EMySqlException(int errorCode, std::string_view msg);
  // Message = catalogue text formatted with args; a non-empty msg replaces it
  // for 2003 and is appended after "\r\n" for every other code.
  EMySqlException(int errorCode, std::string_view msg, std::initializer_list<FormatArg> args);

  // An error packet from the server: code and text as they came, message
  // "\r\n" and the text whatever the code (no catalogue text is used).
  static EMySqlException FromServerPacket(int errorCode, std::string_view text);

  // A client error whose message is `message` exactly (codes outside the
  // catalogue that have texts of their own).
  static EMySqlException WithMessage(int errorCode, std::string message);

  int ErrorCode() const noexcept { return FErrorCode; }
  // True when the server sent this error; false for errors the client
  // raised itself.
  bool FromServer() const noexcept { return FFromServer; }

 private:
  struct TServerOrigin {};
  struct TExactText {};
  EMySqlException(TServerOrigin, int errorCode, std::string_view text);
  EMySqlException(TExactText, int errorCode, std::string message);

  int FErrorCode;
  bool FFromServer = false;
};

// 2059 or 2061 for the authentication plugin `plugin`: "Authentication
// plugin '<plugin>' cannot be loaded: <reason>" and "Authentication plugin
// '<plugin>' reported error: <reason>".
EMySqlException AuthPluginError(int errorCode, std::string_view plugin, std::string_view reason);

// 2049 "Connection using old (pre-4.1.1) authentication protocol refused
// (client option 'secure_auth' enabled)".
EMySqlException SecureAuthError();

// Builds the message of the three-argument constructor (shared by callers
// that report wire errors without raising).
std::string BuildMySqlErrorMessage(int errorCode, std::string_view msg,
                                   std::initializer_list<FormatArg> args);

}  // namespace lumo
