// The dialog table through pinentry: what the scripted stand-in was sent, unescaped.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "dialog_cases.hpp"
#include "platform.hpp"
#include "signer_support.hpp"

namespace npc::test {
namespace {

// Every SET... line the stand-in logged, %XX decoded, one per line.
std::string dialog_sent() {
  std::ifstream log(std::getenv("NPC_TEST_PINENTRY_LOG"));
  std::string sent, line;
  while (std::getline(log, line)) {
    if (line.rfind("SET", 0) != 0) continue;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '%' && i + 2 < line.size()) {
        sent += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        sent += line[i];
      }
    }
    sent += '\n';
  }
  return sent;
}

TEST(dialog_rendering, pinentry_shows_each_case) {
  for (const dialog_case& c : dialog_cases()) {
    SCOPED_TRACE(c.name);
    std::ofstream(std::getenv("NPC_TEST_PINENTRY_SCRIPT"), std::ios::trunc)
        << (c.kind == dialog_kind::pin || c.kind == dialog_kind::wrong_pin ? "pin 1234" : "ok") << "\n";
    std::filesystem::remove(std::getenv("NPC_TEST_PINENTRY_LOG"));
    const auto prompts = signer::open_prompts(c.language);
    const signer::sign_prompt shown = prompt_of(c);
    signer::secret pin;
    switch (c.kind) {
      case dialog_kind::consent: prompts->allow_certificates(c.origin); break;
      case dialog_kind::pin: prompts->ask_pin(shown, -1, false, pin); break;
      case dialog_kind::wrong_pin: prompts->ask_pin(shown, -1, true, pin); break;
      case dialog_kind::final_try: prompts->confirm(shown, signer::confirmation::final_try); break;
      case dialog_kind::pin_pad: prompts->confirm(shown, signer::confirmation::pin_pad); break;
      case dialog_kind::confirmation: prompts->confirm(shown, signer::confirmation::signature); break;
    }
    const std::string sent = dialog_sent();
    for (const std::string& text : c.shown) EXPECT_NE(sent.find(text), std::string::npos) << text << "\n" << sent;
    for (const std::string& text : c.absent) EXPECT_EQ(sent.find(text), std::string::npos) << text << "\n" << sent;
  }
}

}  // namespace
}  // namespace npc::test
