// Provider tests that run once through the built-in wire client and once
// through the client library: a suite derives from ModeTest and is
// instantiated with LUMO_INSTANTIATE_MODES; its helpers call ApplyMode on
// every connection they make. Each mode works in a scratch database of its
// own, so that the two runs of one test may go on at the same moment.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace lumo {
class TMySQLConnection;
}

namespace lumo::test {

enum class ConnectionMode { Direct, ClientLibrary };

ConnectionMode CurrentMode();
// The scratch database of the current mode (the test server's for the wire
// client, "<it>_lib" for the client library, created when first needed).
std::string ScratchDatabase();
// A name made distinct per mode (server-wide objects such as accounts).
std::string ModeName(const std::string& base);
// Sets the current mode's facade and scratch database on `c`.
void ApplyMode(TMySQLConnection& c);

class ModeTest : public ::testing::TestWithParam<ConnectionMode> {
 protected:
  void SetUp() override;
  void TearDown() override;
};

std::string ModeParamName(const ::testing::TestParamInfo<ConnectionMode>& info);

}  // namespace lumo::test

#define LUMO_INSTANTIATE_MODES(suite)                                                                   \
  INSTANTIATE_TEST_SUITE_P(Mode, suite,                                                               \
                           ::testing::Values(::lumo::test::ConnectionMode::Direct,                     \
                                             ::lumo::test::ConnectionMode::ClientLibrary),             \
                           ::lumo::test::ModeParamName)
