#pragma once
// A private directory for one test, removed with everything in it when the
// test ends, however it ends.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace TestSupport {

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "vorn-test")
      : path_((std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string()) {
    if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
  }
  ~ScratchDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }
  std::string read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary | std::ios::trunc) << content;
  }

 private:
  std::string path_;
};

}  // namespace TestSupport
