#include <lumokit/mysql/wire/MySqlResultSet.h>

#include <limits>

#include <lumokit/mysql/wire/MySqlSession.h>

namespace lumo {

namespace {

// Reads the length prefix of a value at `pos` (moved past it) into `n`;
// false for the NULL marker. A prefix 255 or one cut short raises 2027.
inline bool ReadLength(const std::uint8_t* p, std::size_t len, std::size_t& pos, std::uint64_t& n) {
  if (pos >= len) RaiseMalformedPacket();
  const std::uint8_t c = p[pos++];
  if (c < 251) {
    n = c;
    return true;
  }
  std::size_t bytes;
  switch (c) {
    case 251:
      return false;
    case 252:
      bytes = 2;
      break;
    case 253:
      bytes = 3;
      break;
    case 254:
      bytes = 8;
      break;
    default:
      RaiseMalformedPacket();
  }
  if (bytes > len - pos) RaiseMalformedPacket();
  std::uint64_t v = 0;
  for (std::size_t i = bytes; i-- > 0;) v = (v << 8) | p[pos + i];
  pos += bytes;
  n = v;
  return true;
}

inline void SetNullValue(TMySqlBind& b) noexcept {
  b.IsNull = true;
  b.Offset = 0;
  b.Length = 0;
}

// The value of n bytes at pos, which then moves past it; a value that runs
// past the row is malformed.
inline void SetValue(TMySqlBind& b, std::size_t& pos, std::uint64_t n, std::size_t length) {
  if (n > length - pos) RaiseMalformedPacket();
  b.IsNull = false;
  b.Offset = static_cast<std::int32_t>(pos);
  b.Length = static_cast<std::int32_t>(n);
  pos += static_cast<std::size_t>(n);
}

// One value of a column definition: its place in the payload (NULL reads
// as empty).
struct TValue {
  std::size_t Offset = 0;
  std::size_t Length = 0;
};

TValue ReadValue(const std::uint8_t* p, std::size_t len, std::size_t& pos) {
  std::uint64_t n = 0;
  if (!ReadLength(p, len, pos, n)) return {pos, 0};
  if (n > len - pos) RaiseMalformedPacket();
  TValue v{pos, static_cast<std::size_t>(n)};
  pos += v.Length;
  return v;
}

std::string Text(const std::uint8_t* p, const TValue& v) {
  return std::string(reinterpret_cast<const char*>(p + v.Offset), v.Length);
}

std::uint32_t Le(const std::uint8_t* p, std::size_t bytes) {
  std::uint32_t v = 0;
  for (std::size_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

}  // namespace

bool IsNumericField(std::uint8_t type, std::uint32_t length) noexcept {
  if (type == MYSQL_TYPE_YEAR) return true;
  if (type > MYSQL_TYPE_INT24) return false;
  return type != MYSQL_TYPE_TIMESTAMP || length == 14 || length == 8;
}

TMySqlFieldInfo ParseFieldInfo(const std::uint8_t* payload, std::size_t length, bool protocol41, bool longFlag) {
  TMySqlFieldInfo f;
  std::size_t pos = 0;
  if (protocol41) {
    ReadValue(payload, length, pos);  // catalog
    f.Database = Text(payload, ReadValue(payload, length, pos));
    f.Table = Text(payload, ReadValue(payload, length, pos));
    f.OrgTable = Text(payload, ReadValue(payload, length, pos));
    f.Name = Text(payload, ReadValue(payload, length, pos));
    f.OrgName = Text(payload, ReadValue(payload, length, pos));
    // Character set (2), length (4), type (1), flags (2), decimals (1).
    const TValue block = ReadValue(payload, length, pos);
    if (block.Length < 10) RaiseMalformedPacket();
    const std::uint8_t* b = payload + block.Offset;
    f.CharsetNr = Le(b, 2);
    f.Length = Le(b + 2, 4);
    f.MyType = b[6];
    f.Flags = Le(b + 7, 2);
    f.Scale = b[9];
  } else {
    f.Table = Text(payload, ReadValue(payload, length, pos));
    f.Name = Text(payload, ReadValue(payload, length, pos));
    const TValue len = ReadValue(payload, length, pos);
    const TValue type = ReadValue(payload, length, pos);
    const TValue block = ReadValue(payload, length, pos);
    if (len.Length < 3 || type.Length < 1 || block.Length < (longFlag ? 3u : 2u)) RaiseMalformedPacket();
    f.Length = Le(payload + len.Offset, 3);
    f.MyType = payload[type.Offset];
    const std::uint8_t* b = payload + block.Offset;
    if (longFlag) {
      f.Flags = Le(b, 2);
      f.Scale = b[2];
    } else {
      f.Flags = b[0];
      f.Scale = b[1];
    }
    f.OrgTable = f.Table;
  }
  if (IsNumericField(f.MyType, f.Length)) f.Flags |= field_flag::NUM;
  return f;
}

void DecodeTextRow(const std::uint8_t* row, std::size_t length, TMySqlBind* binds, std::size_t count) {
  if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw EMySqlException(cr::NET_PACKET_TOO_LARGE);
  std::size_t pos = 0;
  for (std::size_t i = 0; i < count; ++i) {
    TMySqlBind& b = binds[i];
    if (pos >= length) RaiseMalformedPacket();
    std::uint64_t n = row[pos];
    if (n < 251) {
      ++pos;
    } else if (!ReadLength(row, length, pos, n)) {
      SetNullValue(b);
      continue;
    }
    SetValue(b, pos, n, length);
  }
  if (pos != length) RaiseMalformedPacket();
}

std::size_t BinaryValueSize(std::uint8_t type) noexcept {
  switch (type) {
    case MYSQL_TYPE_TINY:
      return 1;
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
      return 2;
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_FLOAT:
      return 4;
    case MYSQL_TYPE_DOUBLE:
    case MYSQL_TYPE_LONGLONG:
      return 8;
    default:
      return 0;
  }
}

namespace {

// The lengths the protocol gives a date, date-time or time value.
bool TemporalLengthValid(std::uint8_t type, std::uint64_t n) noexcept {
  switch (type) {
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
      return n == 0 || n == 4 || n == 7 || n == 11;
    case MYSQL_TYPE_TIME:
      return n == 0 || n == 8 || n == 12;
    default:
      return true;
  }
}

}  // namespace

void DecodeBinaryRow(const std::uint8_t* row, std::size_t length, const std::uint8_t* types, TMySqlBind* binds,
                     std::size_t count) {
  if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw EMySqlException(cr::NET_PACKET_TOO_LARGE);
  const std::size_t bitmapBytes = (count + 9) / 8;
  if (length < 1 + bitmapBytes || row[0] != 0) RaiseMalformedPacket();
  const std::uint8_t* bitmap = row + 1;
  // Bits 0 and 1 are reserved; bits past the last column are padding.
  if (bitmap[0] & 3) RaiseMalformedPacket();
  if (const std::size_t used = (count + 2) % 8; used != 0 && (bitmap[bitmapBytes - 1] >> used) != 0)
    RaiseMalformedPacket();
  std::size_t pos = 1 + bitmapBytes;
  for (std::size_t i = 0; i < count; ++i) {
    TMySqlBind& b = binds[i];
    const std::uint8_t type = types[i];
    b.MyType = type;
    const std::size_t bit = i + 2;
    std::uint64_t n = BinaryValueSize(type);
    bool isNull = (bitmap[bit >> 3] >> (bit & 7)) & 1;
    if (!isNull && n == 0) {
      isNull = !ReadLength(row, length, pos, n);
      if (!isNull && !TemporalLengthValid(type, n)) RaiseMalformedPacket();
    }
    if (isNull)
      SetNullValue(b);
    else
      SetValue(b, pos, n, length);
  }
  if (pos != length) RaiseMalformedPacket();
}

// ---------------------------------------------------------------------------
// TRows

void TRows::Add(const std::uint8_t* row, std::size_t length) {
  FData.AppendBytes(row, length);
  FEnds.push_back(FData.Length());
}

void TRows::Clear() noexcept {
  FData.Release();
  FEnds.clear();
  FEnds.shrink_to_fit();
}

// ---------------------------------------------------------------------------
// TMySqlResultSet

TMySqlResultSet::TMySqlResultSet(TMySqlSession& session)
    : TMySqlResultSet(&session, session.fieldCount, std::move(session.fields)) {
  session.fields.clear();
  session.status = msUseResult;
  session.SetResultSet(this);
}

TMySqlResultSet::TMySqlResultSet(TMySqlSession* session, int fieldCount, TMySqlFieldInfos fields, bool binary)
    : ffieldCount(fieldCount), ffields(std::move(fields)), fsession(session), FBinary(binary) {
  LUMO_ASSERT(session != nullptr && fieldCount >= 0);
  FProtocol41 = session->protocol41();
  FBind = std::make_unique<TMySqlBinds>(static_cast<std::size_t>(fieldCount));
  if (binary) {
    LUMO_ASSERT(ffields.size() == static_cast<std::size_t>(fieldCount));
    FTypes.reserve(ffields.size());
    for (const TMySqlFieldInfo& f : ffields) FTypes.push_back(f.MyType);
  }
}

std::unique_ptr<TMySqlResultSet> TMySqlResultSet::Metadata(TMySqlFieldInfos fields, bool protocol41) {
  std::unique_ptr<TMySqlResultSet> r(new TMySqlResultSet());
  r->ffieldCount = static_cast<int>(fields.size());
  r->ffields = std::move(fields);
  r->FProtocol41 = protocol41;
  r->frows = std::make_unique<TRows>();
  r->feof = true;
  r->FBind = std::make_unique<TMySqlBinds>(r->ffields.size());
  return r;
}

void TMySqlResultSet::DecodeRow(const std::uint8_t* row, std::size_t length, TMySqlBind* binds) const {
  const auto count = static_cast<std::size_t>(ffieldCount);
  if (FBinary)
    DecodeBinaryRow(row, length, FTypes.data(), binds, count);
  else
    DecodeTextRow(row, length, binds, count);
}

TMySqlResultSet::~TMySqlResultSet() {
  try {
    Clear();
  } catch (...) {
  }
}

std::int64_t TMySqlResultSet::RowCount() const noexcept {
  return frows ? static_cast<std::int64_t>(frows->GetCount()) : frowCount;
}

void TMySqlResultSet::Detach() noexcept {
  if (fsession && fsession->ResultSet() == this) fsession->SetResultSet(nullptr);
  fsession = nullptr;
}

void TMySqlResultSet::Finish() noexcept {
  feof = true;
  frowBuffer = nullptr;
  frowLength = 0;
  Detach();
}

void TMySqlResultSet::FinishAfterError(const EMySqlException& e, bool atEnd) noexcept {
  TMySqlSession* s = fsession;
  Finish();
  if (s) s->RecoverFromReadError(e, atEnd ? 0 : 1);
}

void TMySqlResultSet::ReadRows() {
  LUMO_ASSERT(fsession != nullptr);
  TMySqlSession& s = *fsession;
  TMySqlNet& net = s.Net();
  auto rows = std::make_unique<TRows>();
  frowIndex = 0;
  // Rows are checked as they arrive, so that fetching a stored row cannot
  // fail; a bad row is reported once the whole reply has been read.
  std::vector<TMySqlBind> check(static_cast<std::size_t>(ffieldCount));
  bool malformed = false;
  try {
    for (;;) {
      net.Receive();
      const std::uint8_t* p = net.Payload();
      const std::size_t n = net.PayloadLength();
      if (IsEofPacket(p, n)) {
        FAtEnd = true;
        const TMySqlEofPacket eof = ParseEofPacket(p, n);
        if (eof.HasStatus) {
          s.warningCount = eof.WarningCount;
          s.serverStatus = eof.ServerStatus;
        }
        break;
      }
      if (!malformed) {
        try {
          DecodeRow(p, n, check.data());
        } catch (const EMySqlException&) {
          malformed = true;
        }
      }
      rows->Add(p, n);
    }
  } catch (const EMySqlException& e) {
    FinishAfterError(e, FAtEnd);
    throw;
  } catch (...) {
    FinishAfterError(EMySqlException(cr::UNKNOWN_ERROR), FAtEnd);
    throw;
  }
  s.status = msReady;
  if (malformed) {
    Finish();
    RaiseMalformedPacket();
  }
  frows = std::move(rows);
  feof = frows->GetCount() == 0;
  Detach();
}

bool TMySqlResultSet::ReadRow() {
  TMySqlSession& s = *fsession;
  TMySqlNet& net = s.Net();
  net.Receive();
  const std::uint8_t* p = net.Payload();
  const std::size_t n = net.PayloadLength();
  if (IsEofPacket(p, n)) {
    FAtEnd = true;
    const TMySqlEofPacket eof = ParseEofPacket(p, n);
    if (eof.HasStatus) {
      s.warningCount = eof.WarningCount;
      s.serverStatus = eof.ServerStatus;
    }
    s.status = msReady;
    Finish();
    return false;
  }
  frowBuffer = p;
  frowLength = n;
  ++frowCount;
  return true;
}

bool TMySqlResultSet::Read(TMySqlBinds& bind) {
  // Without a current row the bind list points nowhere.
  bind.Buffer = nullptr;
  bind.BufferLength = 0;
  if (feof) return false;
  if (bind.Binds.size() != static_cast<std::size_t>(ffieldCount)) throw EMySqlException(cr::NULL_POINTER);
  if (frows) {
    if (frowIndex >= frows->GetCount()) {
      feof = true;
      return false;
    }
    const std::uint8_t* row = frows->Get(frowIndex);
    const std::size_t n = frows->Size(frowIndex);
    ++frowIndex;
    try {
      DecodeRow(row, n, bind.Binds.data());
    } catch (...) {
      Finish();
      throw;
    }
    frowBuffer = row;
    frowLength = n;
    feof = frowIndex >= frows->GetCount();
  } else {
    if (!fsession) {  // its connection was closed
      Finish();
      return false;
    }
    try {
      if (!ReadRow()) return false;
      DecodeRow(frowBuffer, frowLength, bind.Binds.data());
    } catch (const EMySqlException& e) {
      FinishAfterError(e, FAtEnd);
      throw;
    } catch (...) {
      FinishAfterError(EMySqlException(cr::UNKNOWN_ERROR), FAtEnd);
      throw;
    }
  }
  bind.Buffer = frowBuffer;
  bind.BufferLength = frowLength;
  return true;
}

void TMySqlResultSet::Clear() {
  frowBuffer = nullptr;
  frowLength = 0;
  ffields.clear();
  if (frows) {
    frows.reset();
  } else if (fsession && !feof) {
    TMySqlSession* s = fsession;
    Finish();
    try {
      s->FreeQuery();
    } catch (const EMySqlException& e) {
      s->RecoverFromReadError(e, 0);
      throw;
    }
  }
  Finish();
}

}  // namespace lumo
