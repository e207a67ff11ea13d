#include "cli/command.h"

int main(int argc, char** argv) {
  qmr::install_interrupt_cleanup();
  qmr::NativeFileSystem fs;
  return qmr::run_command_line(qmr::command_line_arguments(argc, argv), fs);
}
