// Runs the built landalloc program in a folder and collects its standard output and exit code.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  int code;         ///< exit code as the shell sees it (0..255)
  std::string out;  ///< standard output
};

/// Runs landalloc with `args` in folder `cwd`.
RunResult run_landalloc(const std::vector<std::string>& args, const std::string& cwd);

/// Runs landalloc like run_landalloc with its address space limited to `address_space_kb` KiB.
RunResult run_landalloc_limited(const std::vector<std::string>& args, const std::string& cwd,
                                long address_space_kb);

/// A fresh temporary folder, removed at the end.
class CliDir {
 public:
  CliDir();
  ~CliDir();
  CliDir(const CliDir&) = delete;
  CliDir& operator=(const CliDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};
