// The signing library as users run it: requests typed into the command-line client, carried by
// the host (split into pieces when large) to the bundled library on the SoftHSM2 token.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <vector>

#include "signer_support.hpp"

namespace npc::test {
namespace {

struct client_run {
  int status = -1;
  std::vector<json_ptr> replies;  // one per line of the client's output
};

// Runs the client against the built host with `arguments` (shell words without single quotes)
// and `input` on standard input. The host finds the bundled library beside itself.
client_run run_client(const std::vector<std::string>& arguments, const std::string& input = {}) {
  // Test processes run side by side on the one token folder: each keeps to its own files.
  const std::string own = "client-" + std::to_string(::getpid());
  const auto in = token_environment::dir / (own + ".in");
  const auto out = token_environment::dir / (own + ".out");
  std::ofstream(in, std::ios::binary) << input;
  std::string command = "env -u LD_LIBRARY_PATH '" NPC_CLIENT_PATH "' --host '" NPC_HOST_PATH "'";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  command += " <'" + in.string() + "' >'" + out.string() + "'";
  client_run run;
  const int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream lines(read_file(out));
  for (std::string line; std::getline(lines, line);) run.replies.push_back(parse_reply(line));
  std::filesystem::remove(in);
  std::filesystem::remove(out);
  return run;
}

std::string sign_request(const std::string& name, const std::string& data, const std::string& more = "") {
  return R"({"operation":"sign","certificate":")" + token_environment::id(name) + R"(","data":")" +
         base64_of(data) + "\"" + more + "}";
}

TEST(end_to_end, requests_through_the_host_get_the_same_replies_as_in_process) {
  const client_run run = run_client({
      R"({"operation":"certificates"})",
      sign_request("rsa", "document one"),
      sign_request("rsa", "document two", R"(,"padding":"pss","hash":"SHA-384")"),
      sign_request("ec256", "document three"),
      R"({"operation":"sign","certificate":")" + token_environment::id("ec384") + R"(","pin":"1234","data":"aGk="})",
      R"({"operation":"sign","certificate":"abcdef","data":"aGk="})",
      "not json",
      R"({"operation":"encrypt"})",
  });
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.replies.size(), 8u);
  EXPECT_GE(json_array_size(json_object_get(run.replies[0].get(), "certificates")), 3u);
  struct signed_case {
    std::size_t reply;
    const char* name;
    const char* data;
    const char* hash;
    bool pss;
  };
  for (const signed_case& c : {signed_case{1, "rsa", "document one", "SHA256", false},
                               signed_case{2, "rsa", "document two", "SHA384", true},
                               signed_case{3, "ec256", "document three", "SHA256", false}}) {
    const json_t* reply = run.replies[c.reply].get();
    ASSERT_EQ(text_of(reply, "status"), "ok") << text_of(reply, "message");
    EXPECT_TRUE(openssl_verifies(token_environment::der(c.name), c.hash, c.pss, false, c.data,
                                 unbase64(text_of(reply, "signature"))));
  }
  const char* codes[] = {"pin_in_request", "certificate_not_found", "bad_json", "unknown_operation"};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(text_of(run.replies[4 + i].get(), "error"), codes[i]);
}

// A module that never returns from a call costs each request the deadline, answered with the
// call's name, and the host still ends with its input, the stuck call left behind.
TEST(end_to_end, a_module_that_hangs_costs_each_request_its_deadline_only) {
  const scoped_env modules("NPC_PKCS11_MODULES", NPC_PIN_LIMIT_MODULE);
  const scoped_env wrapped("NPC_TEST_WRAPPED_MODULE", softhsm_module());
  const scoped_env deadline("NPC_TOKEN_DEADLINE", "1");
  struct hang_case {
    const char* hang;
    const char* call;
  };
  for (const hang_case& c : {hang_case{"slots", "C_GetSlotList"}, hang_case{"sign", "C_Sign"}}) {
    const scoped_env hang("NPC_TEST_HANG", c.hang);
    const auto start = std::chrono::steady_clock::now();
    const client_run run = run_client({sign_request("rsa", "one"), sign_request("rsa", "two")});
    // Not a speed check: a host that waited for the call would never end at all.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << c.hang;
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.replies.size(), 2u) << c.hang;
    for (const json_ptr& reply : run.replies) {
      EXPECT_EQ(text_of(reply.get(), "error"), "token_error") << c.hang;
      EXPECT_NE(text_of(reply.get(), "message").find(c.call), std::string::npos) << text_of(reply.get(), "message");
    }
  }
}

// A module that crashes or hangs once costs that request: the host lives on and the next request
// signs, with the module started afresh.
TEST(end_to_end, a_module_that_crashes_or_hangs_costs_that_request_only) {
  const auto fault_file = token_environment::dir / ("fault-" + std::to_string(::getpid()));
  const scoped_env modules("NPC_PKCS11_MODULES", NPC_PIN_LIMIT_MODULE);
  const scoped_env wrapped("NPC_TEST_WRAPPED_MODULE", softhsm_module());
  const scoped_env faults("NPC_TEST_FAULT_FILE", fault_file.string());
  const scoped_env deadline("NPC_TOKEN_DEADLINE", "1");
  struct fault_case {
    const char* fault;
    const char* said;  // in the first reply's message
  };
  for (const fault_case& c : {fault_case{"crash slots", "stopped in C_GetSlotList, killed by signal 11"},
                              fault_case{"crash find", "stopped in C_FindObjects, killed by signal 11"},
                              fault_case{"crash sign", "stopped in C_Sign, killed by signal 11"},
                              fault_case{"hang init", "C_Initialize did not return"},
                              fault_case{"hang slots", "C_GetSlotList did not return"},
                              fault_case{"hang sign", "C_Sign did not return"}}) {
    std::ofstream(fault_file) << c.fault << "\n";
    const client_run run = run_client({sign_request("rsa", "one"), sign_request("rsa", "two")});
    EXPECT_EQ(run.status, 0) << c.fault;
    ASSERT_EQ(run.replies.size(), 2u) << c.fault;
    EXPECT_EQ(text_of(run.replies[0].get(), "error"), "token_error") << c.fault;
    EXPECT_NE(text_of(run.replies[0].get(), "message").find(c.said), std::string::npos)
        << text_of(run.replies[0].get(), "message");
    ASSERT_EQ(text_of(run.replies[1].get(), "status"), "ok") << c.fault << ": " << text_of(run.replies[1].get(), "message");
    EXPECT_TRUE(openssl_verifies(token_environment::der("rsa"), "SHA256", false, false, "two",
                                 unbase64(text_of(run.replies[1].get(), "signature"))));
  }
  std::filesystem::remove(fault_file);
}

// 1.2 MB of data makes a request beyond one piece: the host assembles it from acknowledged
// pieces before the library sees it.
TEST(end_to_end, a_document_large_enough_to_be_split_is_signed_whole) {
  std::string document(1'200'000, '\0');
  for (std::size_t i = 0; i < document.size(); ++i) document[i] = static_cast<char>(i * 7 % 251);
  for (const std::vector<std::string>& split : {std::vector<std::string>{"--split"},
                                                std::vector<std::string>{"--split", "--piece-size", "65536"}}) {
    std::vector<std::string> arguments = split;
    arguments.push_back("-");
    const client_run run = run_client(arguments, sign_request("rsa", document));
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.replies.size(), 1u);
    EXPECT_TRUE(openssl_verifies(token_environment::der("rsa"), "SHA256", false, false, document,
                                 unbase64(text_of(run.replies[0].get(), "signature"))));
  }
}

// A reply beyond 1 MiB comes back in chunks the client fetches one by one.
TEST(end_to_end, a_large_echo_comes_back_whole) {
  const std::string data(1'500'000, 'e');
  const client_run run = run_client({"--split", "-"}, R"({"operation":"echo","data":")" + data + "\"}");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.replies.size(), 1u);
  EXPECT_EQ(text_of(run.replies[0].get(), "data"), data);
}

}  // namespace
}  // namespace npc::test
