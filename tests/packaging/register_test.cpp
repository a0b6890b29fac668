// npcorvane-register as a process: the manifests it writes and removes under a scratch HOME (and
// a scratch DESTDIR for --system), the browsers it finds, what `status` tells, what it refuses, and
// that a manifest is never seen half-written.
#include <gtest/gtest.h>
#include <jansson.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "posix_support.hpp"

extern char** environ;

namespace {

using npc::test::read_file;
using npc::test::scratch_dir;
using run_result = npc::test::command_run;

namespace fs = std::filesystem;

const std::string HOST_NAME = NPC_HOST_NAME;
const std::string CHROMIUM_ID = "abcdefghijklmnopabcdefghijklmnop";
const std::string CHROMIUM_ORIGIN = "chrome-extension://" + CHROMIUM_ID + "/";
const std::string OTHER_ORIGIN = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/";
const std::string FIREFOX_ID = "signer@npcorvane.org";
const std::string FIREFOX_GUID = "{0f8e9a1b-2c3d-4e5f-8a9b-0c1d2e3f4a5b}";


// A PATH of the tools the script uses and nothing else, so that the browsers installed on this
// machine stay out of sight; a test adds the commands of the browsers it pretends are installed.
fs::path toolbox(const fs::path& home) {
  const fs::path bin = home.parent_path() / "toolbox";
  if (!fs::exists(bin)) {
    fs::create_directories(bin);
    for (const char* tool : {"cat", "chmod", "grep", "id", "mkdir", "mktemp", "mv", "rm", "rmdir", "sed", "tr"}) {
      fs::create_symlink(fs::path("/usr/bin") / tool, bin / tool);
    }
  }
  return bin;
}

// Runs the registration script under /bin/sh with a clean environment: HOME, the toolbox PATH (and
// the `extra` "NAME=value" entries) only, so the test's own HOME or XDG_CONFIG_HOME cannot leak in.
run_result run_register(const fs::path& home, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& extra = {}) {
  std::vector<std::string> argv{"/bin/sh", NPC_REGISTER_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env{"HOME=" + home.string(), "PATH=" + toolbox(home).string()};
  env.insert(env.end(), extra.begin(), extra.end());
  return npc::test::run_command(argv, env, "/dev/null", home.parent_path() / "register");
}

// Every file (not folder) under `root`, as paths relative to it.
std::vector<std::string> files_under(const fs::path& root) {
  std::vector<std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct json_deleter {
  void operator()(json_t* value) const { json_decref(value); }
};
using json_ptr = std::unique_ptr<json_t, json_deleter>;

json_ptr parse(const std::string& text) { return json_ptr(json_loadb(text.data(), text.size(), 0, nullptr)); }

std::string string_member(json_t* object, const char* key) {
  const char* value = json_string_value(json_object_get(object, key));
  return value ? value : "<missing>";
}

std::vector<std::string> string_list(json_t* array) {
  std::vector<std::string> items;
  for (std::size_t i = 0; i < json_array_size(array); ++i) {
    const char* value = json_string_value(json_array_get(array, i));
    items.push_back(value ? value : "<no string>");
  }
  return items;
}

// One row of the project's table of browsers, with its folders as they lie under a scratch HOME
// with no XDG_CONFIG_HOME.
struct browser_row {
  std::string id, family, user_dir, system_dir, app, update_url;
  std::vector<std::string> policies;
};

std::vector<browser_row> table_of_browsers() {
  const json_ptr table = parse(read_file(NPC_BROWSERS_TABLE));
  std::vector<browser_row> rows;
  json_t* folders = json_object_get(table.get(), "system_folders");
  json_t* list = json_object_get(table.get(), "browsers");
  for (std::size_t i = 0; i < json_array_size(list); ++i) {
    json_t* row = json_array_get(list, i);
    browser_row r{string_member(row, "id"), string_member(row, "family"), string_member(row, "user"), "", "", "", {}};
    if (json_object_get(row, "flatpak")) r.app = string_member(row, "flatpak");
    r.policies = string_list(json_object_get(row, "policies"));
    if (json_object_get(row, "update_url")) r.update_url = string_member(row, "update_url");
    if (json_object_get(row, "system")) r.system_dir = string_member(folders, string_member(row, "system").c_str());
    const std::pair<std::string, std::string> prefixes[]{
        {"$CHROME_CONFIG/", ".config/"}, {"$CONFIG/", ".config/"}, {"$HOME/", ""}, {"$APP/", ".var/app/" + r.app + "/"}};
    for (const auto& [prefix, replacement] : prefixes) {
      if (r.user_dir.starts_with(prefix)) r.user_dir = replacement + r.user_dir.substr(prefix.size());
    }
    rows.push_back(r);
  }
  return rows;
}

class RegisterTest : public ::testing::Test {
 protected:
  scratch_dir scratch;
  fs::path home = scratch.path / "home", destdir = scratch.path / "root";
  void SetUp() override { fs::create_directories(home); }
};

// Every browser of the table, for the user and (where it has one) in its system folder: the
// manifest lands where the table says, and goes again with the folders install made.
TEST_F(RegisterTest, InstallsAndUninstallsEachBrowserForTheUserAndTheSystem) {
  const std::vector<browser_row> rows = table_of_browsers();
  ASSERT_GE(rows.size(), 4u);
  for (const bool system : {false, true}) {
    for (const browser_row& c : rows) {
      if (system && c.system_dir.empty()) continue;
      SCOPED_TRACE(c.id + (system ? " --system" : " --user"));
      const bool chromium = c.family == "chromium";
      const std::vector<std::string> allow =
          chromium ? std::vector<std::string>{"--allow-chromium", CHROMIUM_ID, "--allow-chromium=" + OTHER_ORIGIN}
                   : std::vector<std::string>{"--allow-firefox", FIREFOX_ID, "--allow-firefox", FIREFOX_GUID};
      const std::vector<std::string> expected_ids =
          chromium ? std::vector<std::string>{CHROMIUM_ORIGIN, OTHER_ORIGIN} : std::vector<std::string>{FIREFOX_ID, FIREFOX_GUID};
      const fs::path root = system ? destdir : home;
      const fs::path dir = system ? destdir / fs::path(c.system_dir).relative_path() : home / c.user_dir;
      const std::vector<std::string> env{"DESTDIR=" + destdir.string()};
      // Under --system the host is looked for under DESTDIR too, as a package build stages it.
      const std::string host = system ? "/usr/lib/npc-test/npcorvane-host" : NPC_HOST_PATH;
      std::vector<std::string> staged;
      if (system) {
        fs::create_directories(destdir / "usr/lib/npc-test");
        fs::copy_file(NPC_HOST_PATH, destdir / fs::path(host).relative_path());
        staged.push_back(fs::path(host).relative_path().string());
      }
      std::vector<std::string> args{"install", system ? "--system" : "--user", "--browser", c.id, "--host", host};
      args.insert(args.end(), allow.begin(), allow.end());

      const run_result installed = run_register(home, args, env);
      ASSERT_EQ(installed.status, 0) << installed.err;
      // One manifest, in the browser's folder, and nothing else anywhere.
      const fs::path manifest = dir / (HOST_NAME + ".json");
      std::vector<std::string> expected_files = staged;
      expected_files.push_back(fs::relative(manifest, root).string());
      // A Flatpak browser's manifest names a launcher in the application's folder.
      const fs::path launcher = home / ".var/app" / c.app / "data/npcorvane" / HOST_NAME;
      if (!c.app.empty()) expected_files.push_back(fs::relative(launcher, root).string());
      std::sort(expected_files.begin(), expected_files.end());
      EXPECT_EQ(files_under(root), expected_files);
      EXPECT_EQ(fs::status(manifest).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
      const json_ptr document = parse(read_file(manifest));
      ASSERT_TRUE(document) << read_file(manifest);
      EXPECT_EQ(string_member(document.get(), "name"), HOST_NAME);
      EXPECT_EQ(string_member(document.get(), "path"), c.app.empty() ? host : launcher.string());
      EXPECT_EQ(string_member(document.get(), "type"), "stdio");
      EXPECT_EQ(string_list(json_object_get(document.get(), chromium ? "allowed_origins" : "allowed_extensions")),
                expected_ids);
      EXPECT_EQ(json_object_size(document.get()), 5u);

      const run_result removed = run_register(
          home, {"uninstall", system ? "--system" : "--user", "--browser", c.id}, env);
      EXPECT_EQ(removed.status, 0) << removed.err;
      EXPECT_EQ(files_under(root), staged);
      // The user's manifest folder goes with its last manifest, and so do the browser's folders
      // that install made for it; the system folders stay.
      if (!system) {
        EXPECT_FALSE(fs::exists(dir.parent_path()));
        // Only ~/.config, which is never removed, may remain.
        for (const auto& entry : fs::recursive_directory_iterator(home)) {
          EXPECT_EQ(fs::relative(entry.path(), home), ".config");
        }
      } else {
        EXPECT_TRUE(fs::exists(dir));
      }
      fs::remove_all(root);
      fs::create_directories(home);
    }
  }
}

// Without --browser, install registers the browsers found: by a command on PATH, by the folder a
// browser keeps in HOME, by a Flatpak application's folder. Uninstall then clears every folder.
TEST_F(RegisterTest, InstallsForTheBrowsersFoundAndUninstallsFromAll) {
  const std::vector<std::string> allow{"--host", NPC_HOST_PATH, "--allow-chromium", CHROMIUM_ID,
                                       "--allow-firefox", FIREFOX_ID};
  std::vector<std::string> args{"install"};
  args.insert(args.end(), allow.begin(), allow.end());
  const run_result none = run_register(home, args);
  EXPECT_EQ(none.status, 1) << none.out;
  EXPECT_TRUE(files_under(home).empty());

  const fs::path command = toolbox(home) / "microsoft-edge-beta";
  std::ofstream(command) << "#!/bin/sh\n";
  fs::permissions(command, fs::perms::owner_all);
  fs::create_directories(home / ".config/vivaldi");
  fs::create_directories(home / ".var/app/org.mozilla.firefox");
  const run_result found = run_register(home, args);
  ASSERT_EQ(found.status, 0) << found.err;
  const std::string name = HOST_NAME + ".json";
  const std::string launcher = ".var/app/org.mozilla.firefox/data/npcorvane/" + HOST_NAME;
  std::vector<std::string> expected{".config/microsoft-edge-beta/NativeMessagingHosts/" + name,
                                    ".config/vivaldi/NativeMessagingHosts/" + name,
                                    ".var/app/org.mozilla.firefox/.mozilla/native-messaging-hosts/" + name,
                                    launcher};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files_under(home), expected);

  // The found ones plus one named.
  args.insert(args.end(), {"--browser", "installed,librewolf"});
  ASSERT_EQ(run_register(home, args).status, 0);
  EXPECT_TRUE(fs::exists(home / ".librewolf/native-messaging-hosts" / name));

  for (int round = 0; round < 2; ++round) {
    const run_result removed = run_register(home, {"uninstall"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_TRUE(files_under(home).empty());
  }
  EXPECT_FALSE(fs::exists(home / ".librewolf"));
  EXPECT_FALSE(fs::exists(home / ".var/app/org.mozilla.firefox/data"));
}

// A Flatpak browser's manifest names a launcher inside the sandbox that starts the host outside
// through flatpak-spawn, with the browser's arguments, whatever the host's path holds.
TEST_F(RegisterTest, FlatpakLauncherStartsTheHostOutsideTheSandbox) {
  const fs::path host = scratch.path / "it's a host" / "npcorvane-host";
  fs::create_directories(host.parent_path());
  fs::copy_file(NPC_HOST_PATH, host);
  const fs::path calls = scratch.path / "calls";
  const fs::path spawn = toolbox(home) / "flatpak-spawn";
  std::ofstream(spawn) << "#!/bin/sh\nfor a; do printf '%s\\n' \"$a\"; done > '" << calls.string() << "'\n";
  fs::permissions(spawn, fs::perms::owner_all);

  const run_result run = run_register(home, {"install", "--browser", "flatpak-chromium", "--host", host.string(),
                                             "--allow-chromium", CHROMIUM_ID});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("--talk-name=org.freedesktop.Flatpak org.chromium.Chromium"), std::string::npos);
  const fs::path manifest =
      home / ".var/app/org.chromium.Chromium/config/chromium/NativeMessagingHosts" / (HOST_NAME + ".json");
  const json_ptr document = parse(read_file(manifest));
  ASSERT_TRUE(document);
  const fs::path launcher = string_member(document.get(), "path");
  EXPECT_EQ(launcher, home / ".var/app/org.chromium.Chromium/data/npcorvane" / HOST_NAME);

  const run_result started = npc::test::run_command({launcher.string(), CHROMIUM_ORIGIN, "--parent-window=0"},
                                                    {"PATH=" + toolbox(home).string()}, "/dev/null",
                                                    scratch.path / "launcher");
  EXPECT_EQ(started.status, 0) << started.err;
  EXPECT_EQ(read_file(calls), "--host\n--watch-bus\n" + host.string() + "\n" + CHROMIUM_ORIGIN + "\n--parent-window=0\n");

  // status holds the registration broken until the application may start programs outside.
  const std::vector<std::string> status{"status", "--user", "--browser", "flatpak-chromium"};
  const run_result forbidden = run_register(home, status);
  EXPECT_EQ(forbidden.status, 1);
  EXPECT_NE(forbidden.out.find("may not start the host"), std::string::npos) << forbidden.out;
  fs::create_directories(home / ".local/share/flatpak/overrides");
  std::ofstream(home / ".local/share/flatpak/overrides/org.chromium.Chromium")
      << "[Session Bus Policy]\norg.freedesktop.Flatpak=talk\n";
  const run_result allowed = run_register(home, status);
  EXPECT_EQ(allowed.status, 0) << allowed.out;
}

// A Flatpak application can write in its own folder. A link it plants at any step of the path
// install writes or uninstall removes must stop the command before it touches the link's target.
TEST_F(RegisterTest, RefusesLinksInAFlatpakApplicationsFolder) {
  const fs::path app = home / ".var/app/org.chromium.Chromium";
  const fs::path target = home / ".local/bin";
  const struct {
    const char* what;
    fs::path link;
  } cases[]{
      {"launcher folder", app / "data/npcorvane"},
      {"folder above the launcher", app / "data"},
      {"launcher itself", app / "data/npcorvane" / HOST_NAME},
      {"manifest folder", app / "config/chromium/NativeMessagingHosts"},
      {"manifest itself", app / "config/chromium/NativeMessagingHosts" / (HOST_NAME + ".json")},
      {"application folder", app},
  };
  const std::vector<std::string> install{"install", "--browser", "flatpak-chromium", "--host", NPC_HOST_PATH,
                                         "--allow-chromium", CHROMIUM_ID};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(home);
    fs::create_directories(target);
    std::ofstream(target / "keep") << "mine";
    std::ofstream(target / HOST_NAME) << "mine";
    std::ofstream(target / (HOST_NAME + ".json")) << "mine";
    fs::create_directories(c.link.parent_path());
    fs::create_directory_symlink(target, c.link);
    for (const auto& args : {install, std::vector<std::string>{"uninstall", "--browser", "flatpak-chromium"}}) {
      const run_result run = run_register(home, args);
      EXPECT_EQ(run.status, 1) << args[0] << ": " << run.out;
      EXPECT_NE(run.err.find("symbolic link"), std::string::npos) << run.err;
      EXPECT_EQ(files_under(target), (std::vector<std::string>{"keep", HOST_NAME, HOST_NAME + ".json"}));
      EXPECT_EQ(read_file(target / HOST_NAME), "mine");
    }
  }
}

// The machine policies, for every browser the table gives a policy folder: written for the first
// allowed extension, merged into a Firefox policies.json the administrator already has, removed
// again down to that file as it was; a policies.json that is no JSON is refused, not replaced.
TEST_F(RegisterTest, WritesAndRemovesTheMachinePolicies) {
  const std::string site = "https://*.example.org";
  const std::vector<std::string> env{"DESTDIR=" + destdir.string()};
  const std::string ids[]{"--allow-chromium", CHROMIUM_ID, "--allow-chromium", OTHER_ORIGIN, "--allow-firefox", FIREFOX_ID};
  std::vector<std::string> policy{"policy", "--force-extension", "--allow-site", site};
  std::vector<std::string> remove{"remove-policy"};
  policy.insert(policy.end(), std::begin(ids), std::end(ids));
  remove.insert(remove.end(), std::begin(ids), std::end(ids));
  const std::string admins = "{\"policies\": {\"DisableTelemetry\": true}}";
  // Every policy location of the table, with its browser's family and store.
  struct location {
    browser_row row;
    fs::path file;  // under DESTDIR
  };
  std::vector<location> locations;
  for (const browser_row& row : table_of_browsers()) {
    for (const std::string& place : row.policies) {
      fs::path file = destdir / fs::path(place).relative_path();
      if (row.family == "chromium") file /= "npcorvane.json";
      locations.push_back({row, file});
    }
  }
  ASSERT_GE(locations.size(), 4u);
  std::vector<std::string> admins_files;
  for (const location& l : locations) {
    if (l.row.family != "firefox") continue;
    fs::create_directories(l.file.parent_path());
    std::ofstream(l.file) << admins;
    admins_files.push_back(fs::relative(l.file, destdir).string());
  }
  std::sort(admins_files.begin(), admins_files.end());
  const run_result written = run_register(home, policy, env);
  ASSERT_EQ(written.status, 0) << written.err;
  for (const location& l : locations) {
    SCOPED_TRACE(l.file.string());
    const bool chromium = l.row.family == "chromium";
    const json_ptr document = parse(read_file(l.file));
    ASSERT_TRUE(document);
    json_t* settings = chromium ? json_object_get(document.get(), "ExtensionSettings")
                                : json_object_get(json_object_get(document.get(), "policies"), "ExtensionSettings");
    ASSERT_EQ(json_object_size(settings), 1u);
    json_t* entry = json_object_get(settings, chromium ? CHROMIUM_ID.c_str() : FIREFOX_ID.c_str());
    EXPECT_EQ(string_member(entry, "installation_mode"), "force_installed");
    if (chromium) {
      EXPECT_EQ(string_member(entry, "update_url"), l.row.update_url);
      EXPECT_EQ(string_list(json_object_get(entry, "runtime_allowed_hosts")), std::vector<std::string>{site});
      EXPECT_EQ(string_list(json_object_get(entry, "runtime_blocked_hosts")), std::vector<std::string>{"*://*"});
    } else {
      EXPECT_TRUE(json_is_true(json_object_get(json_object_get(document.get(), "policies"), "DisableTelemetry")));
      EXPECT_EQ(string_member(entry, "install_url"), "https://addons.mozilla.org/firefox/downloads/latest/" + FIREFOX_ID + "/latest.xpi");
    }
  }
  const run_result removed = run_register(home, remove, env);
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(files_under(destdir), admins_files);
  for (const std::string& file : admins_files) {
    EXPECT_TRUE(json_equal(parse(read_file(destdir / file)).get(), parse(admins).get())) << file;
  }

  std::ofstream(destdir / admins_files.front()) << "{\"policies\": ";
  const run_result refused = run_register(home, policy, env);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(read_file(destdir / admins_files.front()), "{\"policies\": ");
}

TEST_F(RegisterTest, FollowsAnAbsoluteConfigHomeOnly) {
  const struct {
    std::string xdg;
    fs::path expected_dir;
  } cases[]{
      {"XDG_CONFIG_HOME=" + (scratch.path / "xdg").string(), scratch.path / "xdg/chromium/NativeMessagingHosts"},
      {"XDG_CONFIG_HOME=relative/config", home / ".config/chromium/NativeMessagingHosts"},
      {"XDG_CONFIG_HOME=", home / ".config/chromium/NativeMessagingHosts"},
      {"CHROME_CONFIG_HOME=" + (scratch.path / "chrome").string(), scratch.path / "chrome/chromium/NativeMessagingHosts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xdg);
    const run_result run = run_register(
        home, {"install", "--browser", "chromium", "--host", NPC_HOST_PATH, "--allow-chromium", CHROMIUM_ID}, {c.xdg});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(c.expected_dir / (HOST_NAME + ".json")));
    EXPECT_EQ(run_register(home, {"uninstall", "--browser", "chromium"}, {c.xdg}).status, 0);
    EXPECT_FALSE(fs::exists(c.expected_dir));
  }
}

// What a user sees first when "the host is not found": nothing registered, a manifest whose host
// is gone, one that names another host, and a healthy one, each with its exit status.
TEST_F(RegisterTest, StatusTellsAMissingRegistrationABrokenOneAndAHealthyOne) {
  const fs::path host = scratch.path / "host/npcorvane-host";
  fs::create_directories(host.parent_path());
  fs::copy_file(NPC_HOST_PATH, host);
  const fs::path manifest = home / ".config/chromium/NativeMessagingHosts" / (HOST_NAME + ".json");
  const std::vector<std::string> status{"status", "--user", "--browser", "chromium"};
  const auto install = [&] {
    ASSERT_EQ(run_register(home, {"install", "--browser", "chromium", "--host", host.string(),
                                  "--allow-chromium", CHROMIUM_ID}).status, 0);
  };
  const struct {
    const char* what;
    std::function<void()> prepare;
    int status;
    std::string expected;
  } cases[]{
      {"nothing registered", [] {}, 1, "no manifest"},
      {"healthy", install, 0, manifest.string() + ": ok: host " + host.string() + "; allows " + CHROMIUM_ORIGIN},
      {"host gone", [&] { fs::remove(host); }, 1, "the host " + host.string() + " is missing"},
      {"another host's manifest", [&] { std::ofstream(manifest) << "{\"name\": \"other.host\", \"path\": \"/bin/true\"}"; },
       1, "names the host 'other.host'"},
      // What the file says reaches the terminal with its control characters (C0 and C1) blunted.
      {"a name that drives the terminal",
       [&] { std::ofstream(manifest) << R"({"name": "x\u001b]0;owned\u0007\u009b2J", "path": "/bin/true"})"; }, 1,
       "names the host 'x?]0;owned??2J'"},
      {"a manifest that is no JSON", [&] { std::ofstream(manifest) << "{\"name\": "; }, 1, "is no JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    const run_result run = run_register(home, status);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find_first_of("\x1b\x07"), std::string::npos);
  }
}

TEST_F(RegisterTest, RefusesBadArgumentsAndWritesNothing) {
  const fs::path not_executable = scratch.path / "plain-file";
  std::ofstream(not_executable) << "#!/bin/sh\n";
  const std::string host = NPC_HOST_PATH;
  const std::string relative_host = fs::relative(host, fs::current_path()).string();
  // Real hosts in folders whose names hold bytes past ASCII, UTF-8 and not: only the name refuses them.
  std::string utf8_host, latin1_host;
  for (auto [folder, path] : {std::pair<const char*, std::string*>{"caf\xc3\xa9", &utf8_host}, {"caf\xe9", &latin1_host}}) {
    fs::create_directories(scratch.path / folder);
    fs::copy_file(host, scratch.path / folder / "npcorvane-host");
    *path = (scratch.path / folder / "npcorvane-host").string();
  }
  const struct {
    const char* what;
    std::vector<std::string> args;
    int status;
  } cases[]{
      {"relative host path", {"install", "--host", relative_host, "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"bare host name as path", {"install", "--host", "npcorvane-host", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host path with a quote", {"install", "--host", "/opt/x\"y/host", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host path in UTF-8 past ASCII", {"install", "--host", utf8_host, "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host path with a byte that is no UTF-8", {"install", "--host", latin1_host, "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host that is no executable", {"install", "--host", not_executable.string(), "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host that is a folder", {"install", "--host", "/usr/bin", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"upper-case host name", {"install", "--host", host, "--name", "Org.Example", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host name with a leading dot", {"install", "--host", host, "--name", ".org.example", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host name with two dots", {"install", "--host", host, "--name", "org..example", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host name with a slash", {"uninstall", "--name", "../../etc/passwd"}, 1},
      {"host name with a line break", {"install", "--host", host, "--name", "org.example\nx", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"empty host name", {"install", "--host", host, "--name=", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host name with a byte past ASCII", {"install", "--host", host, "--name", "org.\xc3\xa9x", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"host name with a lone high byte", {"install", "--host", host, "--name", "org.\xe9", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 1},
      {"browser that is a file-name pattern", {"install", "--host", host, "--browser", "chro*", "--allow-chromium", CHROMIUM_ID}, 2},
      {"system folder of a browser with none", {"uninstall", "--system", "--browser", "librewolf"}, 1},
      {"Chromium ID of 31 letters", {"install", "--host", host, "--browser", "chromium", "--allow-chromium", CHROMIUM_ID.substr(1)}, 1},
      {"Chromium ID with a letter past p", {"install", "--host", host, "--browser", "chromium", "--allow-chromium", "q" + CHROMIUM_ID.substr(1)}, 1},
      {"upper-case Chromium ID", {"install", "--host", host, "--browser", "chromium", "--allow-chromium", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"}, 1},
      {"origin without its slash", {"install", "--host", host, "--browser", "chromium", "--allow-chromium", "chrome-extension://" + CHROMIUM_ID}, 1},
      {"origin of another scheme", {"install", "--host", host, "--browser", "chromium", "--allow-chromium", "moz-extension://" + CHROMIUM_ID + "/"}, 1},
      {"Chromium ID with a line break", {"install", "--host", host, "--browser", "chromium", "--allow-chromium", CHROMIUM_ID + "\n" + CHROMIUM_ID}, 1},
      {"Firefox ID without @", {"install", "--host", host, "--browser", "firefox", "--allow-firefox", "signer.npcorvane.org"}, 1},
      {"Firefox ID with a blank", {"install", "--host", host, "--browser", "firefox", "--allow-firefox", "a b@example.org"}, 1},
      {"Firefox GUID too short", {"install", "--host", host, "--browser", "firefox", "--allow-firefox", "{0f8e9a1b-2c3d-4e5f-8a9b-0c1d2e3f4a5}"}, 1},
      {"Firefox ID with a quote", {"install", "--host", host, "--browser", "firefox", "--allow-firefox", "a\"@example.org"}, 1},
      {"unknown browser", {"install", "--host", host, "--browser", "safari", "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 2},
      {"unknown option", {"install", "--hots", host}, 2},
      {"option without its value", {"install", "--host"}, 2},
      {"--user with --system", {"install", "--user", "--system", "--host", host, "--browser", "chromium", "--allow-chromium", CHROMIUM_ID}, 2},
      {"no command", {"--host", host}, 2},
      {"unknown command", {"register", "--host", host}, 2},
      {"print for two browsers", {"print", "--browser", "chromium,firefox"}, 2},
  };
  // Each case would succeed but for its one fault. The working directory holds a file named like
  // a browser, which a pattern must not reach.
  const fs::path cwd = fs::current_path();
  fs::current_path(scratch.path);
  std::ofstream(scratch.path / "chromium") << "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const run_result run = run_register(home, c.args, {"DESTDIR=" + destdir.string()});
    EXPECT_EQ(run.status, c.status) << run.out;
    EXPECT_FALSE(run.err.empty());
    EXPECT_TRUE(files_under(home).empty());
    EXPECT_FALSE(fs::exists(home / ".config"));
    EXPECT_FALSE(fs::exists(home / ".mozilla"));
  }
  fs::current_path(cwd);
}

// A manifest that allows nobody would only hide a mistake; this build's defaults must be empty.
TEST_F(RegisterTest, RefusesToAllowNoExtension) {
  if (!std::string(NPC_DEFAULT_CHROMIUM).empty() || !std::string(NPC_DEFAULT_FIREFOX).empty()) {
    GTEST_SKIP() << "this build allows extensions by default";
  }
  const std::string host = NPC_HOST_PATH;
  const std::vector<std::string> cases[]{
      {"install", "--host", host, "--browser", "chromium"},
      {"install", "--host", host, "--browser", "chrome", "--allow-firefox", FIREFOX_ID},
      {"install", "--host", host, "--allow-chromium", CHROMIUM_ID},
  };
  for (const auto& args : cases) {
    const run_result run = run_register(home, args);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_FALSE(run.err.empty());
    EXPECT_TRUE(files_under(home).empty());
  }
}

TEST_F(RegisterTest, PrintsTheManifestsTheBuildInstalls) {
  for (const char* browser : {"chromium", "firefox"}) {
    SCOPED_TRACE(browser);
    const run_result run = run_register(home, {"print", "--browser", browser});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, read_file(fs::path(NPC_MANIFESTS_DIR) / browser / (HOST_NAME + ".json")));
  }
}

TEST_F(RegisterTest, ReplacesAManifestWholeAndLeavesNoTemporaryFile) {
  const fs::path manifest = home / ".config/chromium/NativeMessagingHosts" / (HOST_NAME + ".json");
  const std::vector<std::string> origin_sets[]{{CHROMIUM_ORIGIN}, {OTHER_ORIGIN, CHROMIUM_ORIGIN}};

  // A reader polls the manifest while it is replaced again and again: it must only ever find the
  // whole of one version or the other, never a truncated or partly written file.
  std::atomic<bool> writing{true};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (writing) {
      std::ifstream in(manifest, std::ios::binary);
      if (!in.is_open()) continue;  // not written yet
      std::ostringstream content;
      content << in.rdbuf();
      const std::string text = content.str();
      ++reads;
      if (!parse(text)) ++torn;
    }
  });
  for (int round = 0; round < 40; ++round) {
    const auto& origins = origin_sets[round % 2];
    std::vector<std::string> args{"install", "--browser", "chromium", "--host", NPC_HOST_PATH};
    for (const std::string& origin : origins) args.insert(args.end(), {"--allow-chromium", origin});
    const run_result run = run_register(home, args);
    ASSERT_EQ(run.status, 0) << run.err;
    const json_ptr document = parse(read_file(manifest));
    ASSERT_TRUE(document);
    EXPECT_EQ(string_list(json_object_get(document.get(), "allowed_origins")), origins);
  }
  writing = false;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(files_under(home), std::vector<std::string>{fs::relative(manifest, home).string()});
}

TEST_F(RegisterTest, UninstallKeepsTheBrowsersOwnFolders) {
  const fs::path profile = home / ".config/chromium/Default";
  fs::create_directories(profile);
  std::ofstream(profile / "Preferences") << "{}";
  ASSERT_EQ(run_register(home, {"install", "--browser", "chromium,chrome", "--host", NPC_HOST_PATH,
                                "--allow-chromium", CHROMIUM_ID}).status, 0);
  ASSERT_EQ(run_register(home, {"uninstall", "--browser", "chromium,chrome"}).status, 0);
  EXPECT_EQ(files_under(home), std::vector<std::string>{".config/chromium/Default/Preferences"});
  EXPECT_FALSE(fs::exists(home / ".config/chromium/NativeMessagingHosts"));
  EXPECT_FALSE(fs::exists(home / ".config/google-chrome"));
  EXPECT_TRUE(fs::exists(home / ".config"));
}

TEST_F(RegisterTest, UninstallRemovesWhatAKilledInstallLeftBehind) {
  const fs::path dir = home / ".mozilla/native-messaging-hosts";
  fs::create_directories(dir);
  std::ofstream(dir / ("." + HOST_NAME + ".json.Ab3dE9")) << "{\"name\":";
  std::ofstream(dir / "other.host.json") << "{}";
  const run_result run = run_register(home, {"uninstall", "--browser", "firefox"});
  EXPECT_EQ(run.status, 0) << run.err;
  // Another host's manifest is not ours to remove, so the folder stays for it.
  EXPECT_EQ(files_under(home), std::vector<std::string>{".mozilla/native-messaging-hosts/other.host.json"});
}

}  // namespace
