#include "cli/command.h"

int main(int argc, char** argv) {
  qmr::NativeFileSystem fs;
  return qmr::run_command_line(argc, argv, fs);
}
