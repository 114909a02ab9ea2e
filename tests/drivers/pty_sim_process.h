#pragma once
// brindlequartz-sim started as a process serving one part on a pseudo-terminal, for the driver
// tests and benchmarks that open it as a real serial port. The pseudo-terminal's path is the
// first line the program prints; the process is stopped and reaped when this goes. POSIX only.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace bq::test {

class PtySimProcess {
 public:
  // program: the brindlequartz-sim binary; protocol: what it speaks (--protocol).
  PtySimProcess(const std::string& program, const std::string& protocol,
                const std::string& partList, const std::string& part) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<std::string> args{program,  "--protocol", protocol, "--partlist",
                                    partList, "--part",     part};
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    if (pid_ < 0) {
      ::close(out[0]);
      return;
    }
    FILE* in = ::fdopen(out[0], "r");
    char line[256] = {};
    if (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) path_ = line;
    if (!path_.empty() && path_.back() == '\n') path_.pop_back();
    if (in != nullptr) std::fclose(in);
  }
  ~PtySimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  PtySimProcess(const PtySimProcess&) = delete;
  PtySimProcess& operator=(const PtySimProcess&) = delete;

  // The pseudo-terminal's path; empty when the program did not start.
  const std::string& Path() const { return path_; }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

}  // namespace bq::test
