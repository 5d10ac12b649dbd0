// What the unit tests share: an installation folder named by PWD, a whole file's bytes and an
// environment variable set for a test.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "base/request_state.h"
#include "common/capture.h"

namespace unit_test {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What `f` gives for each of `args`, each followed by "|": one comparison for a run of cases.
template <typename F, typename T>
std::string Each(F f, std::initializer_list<T> args) {
  std::string out;
  for (const T& arg : args) out += fmt::format("{}|", f(arg));
  return out;
}

// Runs work(0) to work(n - 1) at once, each in a process of its own, and expects each to
// return 0.
inline void RunProcesses(int n, const std::function<int(int)>& work) {
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int status = work(i);
      std::fflush(stdout);
      _exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
}

// Sets an environment variable (TZ is read again) and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    old_ = had_ ? old : "";
    setenv(name, value.c_str(), 1);
    tzset();
  }
  ~ScopedEnv() {
    had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_);
    tzset();
  }

 private:
  const char* name_;
  std::string old_;
  bool had_;
};

// A temporary installation: config/ with its quorb.cfg, data/tmp/, found through PWD as the CGI
// finds them, and removed after the test.
class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "quorb_unit_XXXXXX").string();
    root_ = mkdtemp(templ.data());
    std::filesystem::create_directories(root_ + "/config");
    std::filesystem::create_directories(root_ + "/data/tmp");
    setenv("PWD", root_.c_str(), 1);
    MainConfig("");
    base::ResetRequestState();
  }
  void TearDown() override {
    base::ResetRequestState();
    std::filesystem::remove_all(root_);
  }

  // Writes a file under the root; what this request already read of it stays as read.
  void Write(const std::string& rel, const std::string& text) {
    std::ofstream(root_ + "/" + rel, std::ios::binary) << text;
  }
  std::string Read(const std::string& rel) const { return ReadFile(root_ + "/" + rel); }
  // Replaces the project list, one "NAME:CODE:manager:verifier[:partners]" line per project.
  void WriteProjects(const std::string& lines) { Write("config/project.cfg", lines); }
  // quorb.cfg naming the folders and English, then `extra`.
  void MainConfig(const std::string& extra) {
    Write("config/quorb.cfg",
          "DATADIR " + root_ + "/data/\nCONFIGDIR " + root_ + "/config/\nLANGUAGE EN\n" + extra);
  }

  std::string root_;

 private:
  ScopedEnv pwd_{"PWD", ""};  // the PWD before the test comes back after it
};

}  // namespace unit_test
