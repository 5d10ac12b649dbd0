// Runs a command as the benchmarks compare against it: its output thrown away, waited for;
// or timed, with its input and output in files.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

inline void RunQuiet(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status;
    waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
}

// What a timed run took: wall time, processor time (user and system) and the largest memory.
struct RunResult {
  double ms = 0;
  double cpu_ms = 0;
  long max_rss_kb = 0;
  bool ok = false;  // started and exited with 0
};

// Runs `args` (found on PATH) with standard input from the file `in` and standard output into
// the file `out`, in the environment `env` (this process's own when empty), and waits for it.
inline RunResult RunTimed(std::vector<std::string> args, std::vector<std::string> env = {},
                          const std::string& in = "/dev/null",
                          const std::string& out = "/dev/null") {
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  RunResult result;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(),
                                    env.empty() ? environ : envp.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!spawned) return result;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  result.cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
  result.max_rss_kb = usage.ru_maxrss;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

}  // namespace bench
