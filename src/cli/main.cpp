// Process entry of md5refresh.
#include "cli/command_line.hpp"

int main(int argc, char** argv) {
  return run_command_line({argv, static_cast<std::size_t>(argc)});
}
