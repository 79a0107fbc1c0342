#include "cli/cli_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <stdexcept>

static std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

RunResult run_landalloc(const std::vector<std::string>& args, const std::string& cwd,
                        long address_space_kb) {
  // The limit is set in the shell that then becomes the program, so that it applies to it.
  std::string command = "cd " + shell_quote(cwd) + " && ";
  if (address_space_kb > 0) command += "ulimit -v " + std::to_string(address_space_kb) + " && ";
  command += "exec " + shell_quote(LANDALLOC_BIN);
  for (const auto& a : args) command += " " + shell_quote(a);
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  RunResult result{0, ""};
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.out.append(buffer, got);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}
