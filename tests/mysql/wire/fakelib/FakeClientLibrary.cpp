// A stand-in for the C client library that exports only a handful of its
// functions, for the facade's loading tests: its version text is set by the
// test (lumo_fake_set_client_info), and every other function is missing.
#include <cstddef>

extern "C" {

namespace {
const char* gClientInfo = "5.7.30";
char gConnection[64];
}  // namespace

__attribute__((visibility("default"))) void lumo_fake_set_client_info(const char* text) { gClientInfo = text; }

__attribute__((visibility("default"))) const char* mysql_get_client_info() { return gClientInfo; }
__attribute__((visibility("default"))) int mysql_server_init(int, char**, char**) { return 0; }
__attribute__((visibility("default"))) void* mysql_init(void*) { return gConnection; }
__attribute__((visibility("default"))) void mysql_close(void*) {}
__attribute__((visibility("default"))) int mysql_options(void*, int, const void*) { return 0; }

}  // extern "C"
