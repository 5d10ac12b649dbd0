// Runs a command as the benchmarks compare against it: its output thrown away, waited for;
// or timed, with its input and output in files; or a CGI, as a web server runs it.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  int status = -1;  // as wait4 gave it, -1 when it never started
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
  result.status = status;
  return result;
}

// Runs `args` as a web server runs a CGI: in the folder `dir`, with the environment `env` alone,
// `body` on its standard input and its standard error thrown away; its answer is read whole and
// its first `keep` bytes go to `out`. The time runs from the start to the end of the wait.
inline RunResult RunCgi(std::vector<std::string> args, std::vector<std::string> env,
                        const std::string& dir, const std::string& body, std::string& out,
                        size_t keep = std::string::npos) {
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  RunResult result;
  int in[2], outp[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(outp, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outp[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(outp[1]);
  // The bodies are far below a pipe's capacity: written at once, as a server hands them over.
  const bool fed = !spawned || body.empty() ||
                   write(in[1], body.data(), body.size()) == static_cast<ssize_t>(body.size());
  close(in[1]);
  out.clear();
  std::string buf(65536, '\0');
  for (ssize_t n; spawned && (n = read(outp[0], buf.data(), buf.size())) != 0;)
    if (n > 0 && out.size() < keep)
      out.append(buf.data(), std::min(static_cast<size_t>(n), keep - out.size()));
  close(outp[0]);
  if (!spawned) return result;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  result.cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
  result.max_rss_kb = usage.ru_maxrss;
  result.ok = fed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  result.status = status;
  return result;
}

}  // namespace bench
