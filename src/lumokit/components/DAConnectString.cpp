#include <lumokit/components/DAConnectString.h>

#include <limits>

#include <lumokit/components/DBAccess.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>

namespace lumo {

namespace {

struct TKey {
  const char* Name;
  const char* Alternative;
};

// The base keys, in the order they are written.
constexpr TKey LoginPromptKey{"Login Prompt", "LoginPrompt"};
constexpr TKey PoolingKey{"Pooling", nullptr};
constexpr TKey LifetimeKey{"Connection LifeTime", "ConnectionLifeTime"};
constexpr TKey MaxPoolKey{"Max Pool Size", "MaxPoolSize"};
constexpr TKey MinPoolKey{"Min Pool Size", "MinPoolSize"};
constexpr TKey ValidateKey{"Validate Connection", "ValidateConnection"};
constexpr TKey BaseKeys[] = {LoginPromptKey, PoolingKey, LifetimeKey, MaxPoolKey, MinPoolKey, ValidateKey};

bool Is(std::string_view name, const TKey& key) {
  return AnsiSameText(name, key.Name) || (key.Alternative && AnsiSameText(name, key.Alternative));
}

const char* BoolText(bool value) { return value ? "True" : "False"; }

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

// ---- scanning and writing --------------------------------------------------------------------

std::vector<TDAConnectStringBuilder::TPair> TDAConnectStringBuilder::Parse(std::string_view text) {
  std::vector<TPair> pairs;
  text = TrimView(text);
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    // The name runs to "=" or ";".
    std::size_t start = i;
    while (i < n && text[i] != '=' && text[i] != ';') ++i;
    TPair pair;
    pair.Name = Trim(text.substr(start, i - start));
    const bool hasValue = i < n && text[i] == '=';
    if (hasValue) ++i;
    if (hasValue) {
      while (i < n && IsBlank(text[i]) && text[i] != ';') ++i;
      if (i < n && (text[i] == '"' || text[i] == '\'')) {
        const char quote = text[i];
        std::string value;
        std::size_t j = i + 1;
        bool closed = false;
        while (j < n) {
          if (text[j] == quote) {
            if (j + 1 < n && text[j + 1] == quote) {
              value += quote;
              j += 2;
              continue;
            }
            closed = true;
            ++j;
            break;
          }
          value += text[j++];
        }
        std::size_t k = j;
        while (k < n && IsBlank(text[k])) ++k;
        if (closed && (k == n || text[k] == ';')) {
          pair.Value = Trim(value);
          pair.Quoted = true;
          i = k;
        } else {
          // Not a quoted value after all: taken as it stands up to ";".
          start = i;
          while (i < n && text[i] != ';') ++i;
          pair.Value = Trim(text.substr(start, i - start));
        }
      } else {
        start = i;
        while (i < n && text[i] != ';') ++i;
        pair.Value = Trim(text.substr(start, i - start));
      }
    }
    if (i < n && text[i] == ';') ++i;
    if (pair.Name.empty()) {
      if (!hasValue && pair.Value.empty()) continue;  // an empty pair
      throw EDAError("Connection parameter name missing");
    }
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

std::string TDAConnectStringBuilder::QuoteValue(std::string_view value) {
  bool quote = false;
  for (char c : value)
    if (c == ';' || c == '=' || c == '"' || c == '\'') quote = true;
  if (!quote) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

void TDAConnectStringBuilder::AddPair(std::string& result, std::string_view key, std::string_view value) {
  if (!result.empty()) result += ';';
  result += key;
  result += '=';
  result += QuoteValue(value);
}

bool TDAConnectStringBuilder::SameName(std::string_view name, std::string_view key, std::string_view alternative) {
  return AnsiSameText(name, key) || (!alternative.empty() && AnsiSameText(name, alternative));
}

bool TDAConnectStringBuilder::ParseBool(const std::string& name, const std::string& value) {
  bool result = false;
  if (!TryStrToBool(value, result))
    throw EDAError(Format("Invalid value of connection parameter %s: %s", {name, value}));
  return result;
}

int TDAConnectStringBuilder::ParseInt(const std::string& name, const std::string& value, int minValue, int maxValue) {
  std::int32_t result = 0;
  if (!TryStrToInt(value, result) || result < minValue || result > maxValue)
    throw EDAError(Format("Invalid value of connection parameter %s: %s", {name, value}));
  return result;
}

// ---- the base keys ----------------------------------------------------------------------------

std::string TDAConnectStringBuilder::GetConnectString() {
  std::string result;
  const TPoolingOptions& pool = FOwner.PoolingOptions();
  if (!FOwner.LoginPrompt()) AddPair(result, LoginPromptKey.Name, BoolText(false));
  if (FOwner.Pooling()) AddPair(result, PoolingKey.Name, BoolText(true));
  if (pool.ConnectionLifetime() != 0) AddPair(result, LifetimeKey.Name, std::to_string(pool.ConnectionLifetime()));
  if (pool.MaxPoolSize() != 100) AddPair(result, MaxPoolKey.Name, std::to_string(pool.MaxPoolSize()));
  if (pool.MinPoolSize() != 0) AddPair(result, MinPoolKey.Name, std::to_string(pool.MinPoolSize()));
  if (pool.Validate()) AddPair(result, ValidateKey.Name, BoolText(true));
  return result;
}

void TDAConnectStringBuilder::InitConnectStringOptions() {
  FOwner.SetLoginPrompt(true);
  FOwner.SetPooling(false);
  TPoolingOptions& pool = FOwner.PoolingOptions();
  pool.SetConnectionLifetime(0);
  pool.SetMaxPoolSize(100);
  pool.SetMinPoolSize(0);
  pool.SetValidate(false);
}

std::string TDAConnectStringBuilder::CanonicalName(const std::string& name) {
  for (const TKey& key : BaseKeys)
    if (Is(name, key)) return key.Name;
  return name;
}

void TDAConnectStringBuilder::ProcessConnectStringParam(const std::string& name, const std::string& value,
                                                        bool /*quoted*/) {
  constexpr int maxInt = std::numeric_limits<std::int32_t>::max();
  TPoolingOptions& pool = FOwner.PoolingOptions();
  if (Is(name, LoginPromptKey))
    FOwner.SetLoginPrompt(ParseBool(name, value));
  else if (Is(name, PoolingKey))
    FOwner.SetPooling(ParseBool(name, value));
  else if (Is(name, LifetimeKey))
    pool.SetConnectionLifetime(ParseInt(name, value, 0, maxInt));
  else if (Is(name, MaxPoolKey))
    pool.SetMaxPoolSize(ParseInt(name, value, 1, maxInt));
  else if (Is(name, MinPoolKey))
    pool.SetMinPoolSize(ParseInt(name, value, 0, maxInt));
  else if (Is(name, ValidateKey))
    pool.SetValidate(ParseBool(name, value));
  else
    throw EDAError(Format("Connection parameter name is unknown - %s", {name}));
}

void TDAConnectStringBuilder::CheckConnectStringOptions() {
  const TPoolingOptions& pool = FOwner.PoolingOptions();
  if (pool.MinPoolSize() > pool.MaxPoolSize())
    throw EDAError(Format("Invalid value of connection parameter %s: %d", {MinPoolKey.Name, pool.MinPoolSize()}));
}

void TDAConnectStringBuilder::SetConnectString(const std::string& value) {
  InitConnectStringOptions();
  std::vector<TPair> pairs = Parse(value);
  std::vector<std::string> seen;
  for (const TPair& p : pairs) {
    const std::string canonical = CanonicalName(p.Name);
    for (const std::string& s : seen)
      if (AnsiSameText(s, canonical)) throw EDAError(Format("Connection parameter cannot be added twice - %s", {p.Name}));
    seen.push_back(canonical);
    CheckParamValue(p.Name, p.Value);
    ProcessConnectStringParam(p.Name, p.Value, p.Quoted);
  }
  CheckConnectStringOptions();
}

}  // namespace lumo
