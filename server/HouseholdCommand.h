#pragma once

#include <filesystem>
#include <string>

namespace vault {

// The household commands of the command line, for the person running the vault:
// invite, invitations and revoke. They work on the data folder's database directly, safely
// beside a vault that serves it. Returns the process's exit status.
bool isHouseholdCommand(const std::string& word);
int runHouseholdCommand(int argc, char** argv, const std::filesystem::path& defaultDataDir);

extern const char* const householdCommandUsage;

} // namespace vault
