#pragma once

#include <string>
#include <vector>

namespace brc::cli {

int cardCommand(std::vector<std::string> args);
int planCommand(std::vector<std::string> args);
int formatCommand(std::vector<std::string> args);
int checkCommand(std::vector<std::string> args);
int probeCommand(std::vector<std::string> args);
int listCommand(std::vector<std::string> args); // Linux

} // namespace brc::cli
