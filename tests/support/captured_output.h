// A temporary file that tests hand to a Console as its stream and read back.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace qmr::test {

class CapturedOutput {
 public:
  CapturedOutput() {
    std::random_device random;
    path_ = (std::filesystem::temp_directory_path() /
             ("qmr-output-" + std::to_string(random()) + std::to_string(random())))
                .string();
    file_ = std::fopen(path_.c_str(), "w+b");
  }
  ~CapturedOutput() {
    std::fclose(file_);
    std::remove(path_.c_str());
  }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::FILE* file() { return file_; }

  // Everything written so far.
  std::string text() {
    std::fflush(file_);
    return written();
  }

  // Only what has already left the stream's buffer.
  std::string written() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

 private:
  std::string path_;
  std::FILE* file_;
};

}  // namespace qmr::test
