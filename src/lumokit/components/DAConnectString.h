// The connect string of a connection component: TDAConnectStringBuilder
// writes the connection's settings as "key=value" pairs joined by ";" and
// reads such a string back into the settings. The base knows the login
// prompt and pooling keys; the front's builder adds the login and provider
// keys and hands the rest to this one.
//
// Decisions:
// - The text is split by its own small scanner, not by the SQL lexer: a
//   value may hold anything a password can ("--", "#", "/*", quotes), and
//   SQL comment rules would swallow the pairs after it.
// - A value that starts with a double or single quote is quoted: it runs to
//   the matching quote, a doubled quote standing for one; the quoted text is
//   then trimmed (as blanks around a value are). Any other value runs to the
//   next ";" and is trimmed. Empty pairs (";;", a trailing ";") are skipped;
//   a pair without "=" has an empty value.
// - Building quotes a value (in double quotes, doubling those inside) when
//   it contains ";", "=" or a quote, so every value reads back as it was
//   written (blanks at its ends excepted: values are trimmed).
// - Names compare ignoring case; a name given twice, in either of its
//   forms, is "Connection parameter cannot be added twice - %s".
// - Booleans read "True"/"False" (any case) and integers; numbers must be
//   whole decimal numbers in the key's range, else "Invalid value of
//   connection parameter %s: %s". Min Pool Size may not exceed Max Pool
//   Size once the whole string is read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumo {

class TCustomDAConnection;

class TDAConnectStringBuilder {
 public:
  // One pair as read: name and value trimmed, Quoted when the value was
  // written in quotes.
  struct TPair {
    std::string Name;
    std::string Value;
    bool Quoted = false;
  };

  explicit TDAConnectStringBuilder(TCustomDAConnection& owner) : FOwner(owner) {}
  TDAConnectStringBuilder(const TDAConnectStringBuilder&) = delete;
  TDAConnectStringBuilder& operator=(const TDAConnectStringBuilder&) = delete;
  virtual ~TDAConnectStringBuilder() = default;

  virtual std::string GetConnectString();
  // Resets the keys to their defaults and reads `value` (errors propagate;
  // the connection restores its previous string).
  virtual void SetConnectString(const std::string& value);

  // Splits a connect string into pairs ("Connection parameter name
  // missing" for a pair without a name).
  static std::vector<TPair> Parse(std::string_view text);
  // The value as it is written into a connect string.
  static std::string QuoteValue(std::string_view value);
  // Appends "key=value" (quoted as needed) with a ";" before it when
  // `result` is not empty.
  static void AddPair(std::string& result, std::string_view key, std::string_view value);

 protected:
  virtual void CheckParamValue(const std::string& /*name*/, const std::string& /*value*/) {}
  virtual void InitConnectStringOptions();
  // Applies one pair; an unknown name raises.
  virtual void ProcessConnectStringParam(const std::string& name, const std::string& value, bool quoted);
  // The key a name stands for (the first form of the key table), or the
  // name itself; used to find pairs given twice.
  virtual std::string CanonicalName(const std::string& name);
  // Checks made after every pair has been applied.
  virtual void CheckConnectStringOptions();

  static bool SameName(std::string_view name, std::string_view key, std::string_view alternative = {});
  static bool ParseBool(const std::string& name, const std::string& value);
  static int ParseInt(const std::string& name, const std::string& value, int minValue, int maxValue);

  TCustomDAConnection& FOwner;
};

}  // namespace lumo
