// An administrator's command under UAC, before elevation, is refused the card's disk where the
// volume service is absent or refuses it: it runs the format once more elevated, through the
// system's elevation prompt, in this console. The elevated copy has a console of its own, which
// Windows does not let it share with this one: its input and output come and go through pipes
// this copy makes, and Ctrl+C here is passed on to it. Windows only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brc::cli {

// Whether the user is an administrator whose token holds Administrators for denying only, as
// UAC gives it before elevation: elevation would give the command the disk.
bool elevationMayHelp();

// Runs brindlecard-cli with `args` elevated, relayed through this copy's standard streams: its
// exit status, or nullopt with `why` where the prompt was declined or the copy did not start.
std::optional<int> runElevated(const std::vector<std::string>& args, std::string& why);

// The hidden first arguments of the elevated copy: the relay to join.
inline constexpr const char kRelayOption[] = "--relayed-through";

// In the elevated copy: its standard streams joined to relay `name`. False where it cannot be
// joined (the copy ends: nobody would see what it says).
bool joinRelay(const std::string& name);

// Whether this copy is the elevated one, which does not ask for elevation again.
bool relayed();

} // namespace brc::cli
