// SPDX-License-Identifier: MIT
// The arguments as the run takes them: strings that live as long as the
// process, and the pointer vector the argument walk reads.
#include "platform/process.hpp"

namespace md5refresh {

ProcessArguments process_arguments(int argc, char** argv) {
  ProcessArguments arguments;
  arguments.texts = argument_texts(argc, argv, arguments.not_unicode);
  for (const std::string& text : arguments.texts)
    arguments.pointers.push_back(text.c_str());
  return arguments;
}

}  // namespace md5refresh
