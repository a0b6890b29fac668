// A temporary folder of a test's own, removed with everything in it when the test is done (POSIX).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace npc::test {

struct scratch_dir {
  std::filesystem::path path;
  explicit scratch_dir(const std::string& prefix = "npc-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    path = ::mkdtemp(pattern.data());
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace npc::test
