// What the unit tests share: an installation folder named by PWD, a whole file's bytes, runs of
// cases and processes, and an environment variable set for a test.
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

#include "common/capture.h"
#include "e2e/harness.h"

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

// A temporary installation (the end-to-end one) with a quorb.cfg naming only its folders and
// English, its request environment set, PWD naming it as the CGI finds it; removed after the test.
class Installation : public ::testing::Test {
 protected:
  void SetUp() override { MainConfig(""); }

  // Writes a file under the root; what this request already read of it stays as read.
  void Write(const std::string& rel, const std::string& text) { inst_.Write(rel, text); }
  std::string Read(const std::string& rel) const { return inst_.Read(rel); }
  // Replaces the project list, one "NAME:CODE:manager:verifier[:partners]" line per project.
  void WriteProjects(const std::string& lines) { Write("config/project.cfg", lines); }
  // quorb.cfg naming the folders and English, then `extra`.
  void MainConfig(const std::string& extra) {
    Write("config/quorb.cfg",
          "DATADIR " + root_ + "/data/\nCONFIGDIR " + root_ + "/config/\nLANGUAGE EN\n" + extra);
  }

  e2e::Installation inst_;
  e2e::InProcess request_{inst_};
  const std::string root_ = inst_.root();
};

}  // namespace unit_test
