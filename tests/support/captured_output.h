// A temporary stdio stream that tests hand to a Console and read back.
#pragma once

#include <cstdio>
#include <string>

namespace qmr::test {

class CapturedOutput {
 public:
  CapturedOutput() : file_(std::tmpfile()) {}
  ~CapturedOutput() { std::fclose(file_); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::FILE* file() { return file_; }

  std::string text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string result;
    for (int c; (c = std::fgetc(file_)) != EOF;) result += static_cast<char>(c);
    return result;
  }

 private:
  std::FILE* file_;
};

}  // namespace qmr::test
