// The command line of the terminal tool: sub-commands, their options and
// their help, and the dispatch to the commands. Arguments are UTF-8.
#pragma once

#include <string>
#include <vector>

namespace cli {

int RunCommandLine(const std::vector<std::string>& arguments);

}  // namespace cli
