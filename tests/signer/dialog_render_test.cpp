// The dialog table through pinentry: what the scripted stand-in was sent, unescaped.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/translation.hpp"
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

namespace npc::test {
namespace {

// Every text of the template is found in every catalogue built into the library: each comes
// back other than the English, but for the few words that several languages share.
TEST(dialog_rendering, every_catalogue_answers_every_text) {
  std::ifstream pot(NPC_SOURCE_DIR "/po/npcorvane.pot");
  std::vector<std::string> texts;
  std::string line, text;
  bool in_msgid = false;
  while (std::getline(pot, line)) {
    if (line.rfind("msgid \"", 0) == 0) {
      in_msgid = true;
      text = line.substr(7, line.size() - 8);
    } else if (in_msgid && line.rfind("\"", 0) == 0) {
      text += line.substr(1, line.size() - 2);
    } else if (in_msgid) {
      in_msgid = false;
      for (std::size_t at = text.find("\\\""); at != std::string::npos; at = text.find("\\\"", at)) text.erase(at, 1);
      if (!text.empty()) texts.push_back(text);
    }
  }
  ASSERT_GT(texts.size(), 30u);
  ASSERT_EQ(signer::built_in_languages().size(), 16u);
  for (const std::string_view language : signer::built_in_languages()) {
    const signer::translation t = signer::choose_translation(language, {});
    EXPECT_EQ(t.language(), language);
    for (const std::string& english : texts) {
      // These read the same in several languages.
      if (english == "PIN:" || english == "Token" || english == "Site") continue;
      EXPECT_NE(t(english), english) << language << ": " << english;
    }
  }
}

}  // namespace
}  // namespace npc::test
