// Fuzzes a whole login as the session drives it: the input's first byte
// chooses the user's authentication settings (bit 0 allows the cleartext
// plugin, bit 1 fetching the server's public key, bit 2 an empty password,
// bits 3-5 the plugin of the first answer, bit 6 allows the pre-4.1
// scramble, which is refused otherwise); the rest is the byte stream a
// server sends from its greeting on (switch requests, more-data packets,
// public keys, OK and error packets). Any input logs in or raises
// EMySqlException, and since the transport is not secure the password never
// appears in what the client sends.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <lumokit/mysql/wire/MySqlAuth.h>
#include <lumokit/mysql/wire/MySqlSession.h>
#include "FuzzInputVio.h"

namespace {

// The input transport, keeping what the client writes.
class TRecordingVio : public lumo::fuzz::TInputVio {
 public:
  TRecordingVio(const std::uint8_t* data, std::size_t size, std::string& sent)
      : TInputVio(data, size), FSent(sent) {}
  std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) override {
    FSent.append(static_cast<const char*>(buffer) + offset, count);
    return count;
  }

 private:
  std::string& FSent;
};

constexpr std::string_view Plugins[] = {"",
                                        lumo::authplugin::NativePassword,
                                        lumo::authplugin::CachingSha2Password,
                                        lumo::authplugin::Ed25519,
                                        lumo::authplugin::OldPassword,
                                        lumo::authplugin::ClearPassword,
                                        "",
                                        ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo;
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const std::string password = (mode & 4) ? "" : "fuzz-Secret-pw";
  std::string sent;
  TMySqlSession s;
  s.protocolType = MYSQL_PROTOCOL_MEMORY;  // the transport set here
  s.Net().SetVio(std::make_unique<TRecordingVio>(data + 1, size - 1, sent));
  s.Net().SetMaxAllowedPacketSize(1 << 20);
  s.AuthSettings().EnableCleartextPlugin = mode & 1;
  s.AuthSettings().GetServerPublicKey = mode & 2;
  s.AuthSettings().DefaultPlugin = std::string(Plugins[(mode >> 3) & 7]);
  const bool oldAllowed = mode & 64;  // the transport is not secure: refused unless allowed
  if (oldAllowed) s.AuthSettings().SecureAuth = false;
  try {
    s.Connect("fuzz", "fuzz", password, "db", 3306, "", 0);
    if (s.AuthPlugin().empty() && (s.ClientFlag() & client::PLUGIN_AUTH)) __builtin_trap();
    if (!oldAllowed && s.AuthPlugin() == authplugin::OldPassword) __builtin_trap();
  } catch (const EMySqlException&) {
  }
  if (!password.empty() && sent.find(password) != std::string::npos) __builtin_trap();
  return 0;
}
