#pragma once
// Running brindlequartz-cli and brindlequartz-sim as real processes for the tests.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bq::test {

inline std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteText(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// A directory of its own for one test, removed afterwards.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("bq_cli_" + std::to_string(::getpid()) + "_" + std::to_string(++counter) + "_" + tag);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_ / "xdg");
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct RunResult {
  int status = -1;  // exit status, or -1 when killed
  std::string out;
  std::string err;
  // The text on either stream: log lines go to stderr, a command's data to stdout.
  bool Has(const std::string& text) const {
    return out.find(text) != std::string::npos || err.find(text) != std::string::npos;
  }
};

inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& x : extra) {
      if (entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

inline std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Runs a program to its end (at most timeout), stdout and stderr captured through files
// (stdout into stdoutPath instead when one is given, such as /dev/full).
inline RunResult RunProgram(const std::string& program, std::vector<std::string> args,
                            const std::vector<std::string>& extraEnv,
                            const std::filesystem::path& scratch,
                            std::chrono::seconds timeout = std::chrono::seconds(90),
                            std::chrono::milliseconds interruptAfter = {},
                            const std::string& stdinPath = "/dev/null",
                            const std::string& stdoutPath = "",
                            int interruptSignal = SIGINT) {
  static int counter = 0;
  const std::string tag = std::to_string(++counter);
  const std::string outPath = stdoutPath.empty() ? (scratch / ("out" + tag)).string() : stdoutPath;
  const std::string errPath = (scratch / ("err" + tag)).string();
  args.insert(args.begin(), program);
  std::vector<char*> argv = Pointers(args);
  // The simulated chips a sim: port keeps between runs stay in the test's own folder, never
  // in the user's cache.
  std::vector<std::string> env = extraEnv;
  if (std::none_of(env.begin(), env.end(),
                   [](const std::string& e) { return e.rfind("XDG_CACHE_HOME=", 0) == 0; })) {
    env.push_back("XDG_CACHE_HOME=" + (scratch / "cache").string());
  }
  std::vector<std::string> envStrings = EnvironmentWith(env);
  std::vector<char*> envp = Pointers(envStrings);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  RunResult r;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    r.err = "cannot start " + program;
    return r;
  }
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + timeout;
  bool interrupted = interruptAfter.count() == 0;
  int wstatus = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (!interrupted && std::chrono::steady_clock::now() > start + interruptAfter) {
      ::kill(pid, interruptSignal);  // SIGINT: as Ctrl+C does
      interrupted = true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      r.out = stdoutPath.empty() ? ReadText(outPath) : "";
      r.err = ReadText(errPath) + "\n(killed after the time limit)";
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  r.out = stdoutPath.empty() ? ReadText(outPath) : "";
  r.err = ReadText(errPath);
  return r;
}

// The programs under test, and a failed run described for a test's message.
inline const std::string kCliProgram = std::string(BQ_BINARY_DIR) + "/app/cli/brindlequartz-cli";
inline const std::string kSimProgram = std::string(BQ_BINARY_DIR) + "/app/sim/brindlequartz-sim";

inline std::string Describe(const RunResult& r) {
  return "exit " + std::to_string(r.status) + "\nstdout:\n" + r.out + "stderr:\n" + r.err;
}

// brindlequartz-sim serving one chip on a pseudo-terminal for the life of the object.
class SimProcess {
 public:
  SimProcess(const std::string& program, std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    args.insert(args.begin(), program);
    std::vector<char*> argv = Pointers(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
      pid_ = -1;
      ::close(fds[0]);
      return;
    }
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') device_ += c;
    ::close(fds[0]);
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The pseudo-terminal's device path; empty when the simulator did not start.
  const std::string& device() const { return device_; }

 private:
  pid_t pid_ = -1;
  std::string device_;
};

}  // namespace bq::test
