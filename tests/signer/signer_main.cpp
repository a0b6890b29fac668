// The entry point of the signer's test programs: GoogleTest with the throw-away token's
// environment registered, so every test finds the token it needs.
#include <gtest/gtest.h>

#include "signer_support.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new npc::test::token_environment);
  return RUN_ALL_TESTS();
}
