#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/cregistry/regdiff/Spawn.h"

namespace {

std::string Slurp(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

int Scratch() {
  char name[] = "/tmp/regdiff-out-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) unlink(name);
  return fd;
}

}  // namespace

std::string ScratchStore(std::size_t index) {
  return std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/regdiff-" + std::to_string(getpid()) +
         "-" + std::to_string(index) + ".db";
}

void DropScratchStore(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
}

Output RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& scratch) {
  Output result;
  int out = Scratch(), err = Scratch();
  if (out < 0 || err < 0) return result;
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(out, 1);
    dup2(err, 2);
    setenv("CREGISTRY_STORE", scratch.c_str(), 1);
    int input = open("/dev/null", O_RDONLY);
    if (input >= 0) dup2(input, 0);
    alarm(60);  // a program that waits for an answer (a question it should not ask) is stopped
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child)
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = Slurp(out);
  result.err = Slurp(err);
  return result;
}
