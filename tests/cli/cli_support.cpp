#include "cli/cli_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

static std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

RunResult run_shell(const std::string& command, const std::string& cwd) {
  char err_path[] = "/tmp/landalloc-stderr-XXXXXX";
  const int err_fd = mkstemp(err_path);
  if (err_fd < 0) throw std::runtime_error("mkstemp failed");
  close(err_fd);
  const std::string line = "cd " + shell_quote(cwd) +
                           " && export LANDALLOC=" + shell_quote(LANDALLOC_BIN) + " && (" +
                           command + ") 2>" + shell_quote(err_path);
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  RunResult result{0, "", ""};
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.out.append(buffer, got);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.err = read_file(err_path);
  std::remove(err_path);
  return result;
}

RunResult run_landalloc(const std::vector<std::string>& args, const std::string& cwd,
                        long address_space_kb) {
  // The limit is set in the shell that then becomes the program, so that it applies to it.
  std::string command;
  if (address_space_kb > 0) command += "ulimit -v " + std::to_string(address_space_kb) + " && ";
  command += "exec \"$LANDALLOC\"";
  for (const auto& a : args) command += " " + shell_quote(a);
  return run_shell(command, cwd);
}

#ifdef LANDALLOC_MPIEXEC
RunResult run_landalloc_job(const std::vector<std::vector<std::string>>& process_args,
                            const std::string& cwd) {
  // OpenMPI starts no process as root (as CI runs) unless both variables say so.
  std::string command = "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 exec " +
                        shell_quote(LANDALLOC_MPIEXEC) + " --oversubscribe";
  for (size_t p = 0; p < process_args.size(); ++p) {
    command += std::string(p == 0 ? "" : " :") + " -n 1 \"$LANDALLOC\"";
    for (const auto& a : process_args[p]) command += " " + shell_quote(a);
  }
  return run_shell(command, cwd);
}
#endif

RunResult run_words(const std::string& words, const CliDir& dir) {
  std::istringstream in(words);
  return run_landalloc({std::istream_iterator<std::string>(in), {}}, dir.dir());
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "'" << from << "' is no longer in the text";
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::vector<std::vector<std::string>> read_csv(const std::string& path, char separator) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    std::stringstream fields(line);
    rows.emplace_back();
    for (std::string field; std::getline(fields, field, separator);) rows.back().push_back(field);
  }
  return rows;
}

std::string without_seconds(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line); out += line + "\n") {
    // A runs table's row holds its seconds just before its last yes or no (whether it is the best).
    const std::string row = "," + line + ",";
    size_t best = row.rfind(",yes,");
    const size_t no = row.rfind(",no,");
    if (best == std::string::npos || (no != std::string::npos && no > best)) best = no;
    if (best == std::string::npos || best == 0) continue;
    line = row.substr(1, row.rfind(',', best - 1)) + row.substr(best + 1, row.size() - best - 2);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> files_under(const CliDir& dir) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.dir())) {
    if (entry.is_symlink() || !entry.is_regular_file()) continue;
    files.emplace_back(std::filesystem::relative(entry.path(), dir.dir()).string(),
                       without_seconds(read_file(entry.path())));
  }
  std::sort(files.begin(), files.end());
  return files;
}

void write_short_example(const CliDir& dir, bool link_maps) {
  const std::string example = std::string(LANDALLOC_SOURCE_DIR) + "/examples/demo";
  if (link_maps) std::filesystem::create_directory_symlink(example + "/maps", dir.path("maps"));
  std::filesystem::create_directory(dir.path("out"));
  std::string config = read_file(example + "/config.json");
  // The example runs the min-cut method; the tests that share it look at a short annealing.
  config = replaced(config, "\"method\": \"min-cut\"", "\"method\": \"annealing\"");
  config = replaced(config, "\"autotunning\": \"yes\"", "\"autotunning\": \"no\"");
  config = replaced(config, "\"nstages\": 40", "\"nstages\": 4");
  config = replaced(config, "\"nmovs\": 60000", "\"nmovs\": 4000");
  // So short an annealing leaves the cells scattered: keep every island of two cells or more.
  config = replaced(config, "\"purge-limit\": 12", "\"purge-limit\": 2");
  dir.write("config.json", config);
}

void write_small_configuration(const CliDir& dir, const std::string& from, const std::string& to) {
  for (const char* name : {"a.asc", "water.asc", "town.asc", "road.asc", "small.json"})
    std::filesystem::copy_file(std::string(LANDALLOC_TEST_DATA) + "/small/" + name, dir.path(name));
  std::string config = dir.read("small.json");
  std::stringstream froms(from), tos(to);
  for (std::string a, b; std::getline(froms, a, '|') && std::getline(tos, b, '|');)
    config = replaced(config, a, b);
  dir.write("small.json", config);
}
