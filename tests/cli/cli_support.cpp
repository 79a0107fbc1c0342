#include "cli/cli_support.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

static std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// Runs `prelude` and then the program in the same shell, so that limits the prelude sets apply.
static RunResult run_in_shell(const std::string& prelude, const std::vector<std::string>& args,
                              const std::string& cwd) {
  std::string command =
      "cd " + shell_quote(cwd) + " && " + prelude + "exec " + shell_quote(LANDALLOC_BIN);
  for (const auto& a : args) command += " " + shell_quote(a);
  command += " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  RunResult result{0, ""};
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult run_landalloc(const std::vector<std::string>& args, const std::string& cwd) {
  return run_in_shell("", args, cwd);
}

RunResult run_landalloc_limited(const std::vector<std::string>& args, const std::string& cwd,
                                long address_space_kb) {
  return run_in_shell("ulimit -v " + std::to_string(address_space_kb) + " && ", args, cwd);
}

CliDir::CliDir() {
  char pattern[] = "/tmp/landalloc-cli-XXXXXX";
  char* made = mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = made;
}

CliDir::~CliDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string CliDir::write(const std::string& name, const std::string& content) const {
  std::ofstream out(path(name), std::ios::binary);
  out << content;
  return path(name);
}

std::string CliDir::read(const std::string& name) const {
  std::ifstream in(path(name), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool CliDir::exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
