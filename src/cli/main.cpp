#include "cli/command.h"

int main(int argc, char** argv) {
  qmr::prepare_process();
  qmr::NativeFileSystem fs;
  return qmr::end_process(qmr::run_command_line(qmr::command_line_arguments(argc, argv), fs));
}
