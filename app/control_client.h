#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "app/control_protocol.h"

// The command line's requests to a running copy (--list, --on, --off, --reload).

// The request the arguments ask for; nothing when they ask for none. A malformed one sets
// usageError to a line saying why.
std::optional<ControlRequest> controlRequestFromArguments(int argc, char** argv,
                                                          std::string& usageError);

// Asks the running copy at socketPath and prints its reply: standard output's lines to out,
// the reasons to err. The exit status: the reply's (0 done, 1 refused or not fully done), or
// 2 when no copy answered there. Starts nothing and writes no settings.
int runControlRequest(const std::string& socketPath, const ControlRequest& request, std::FILE* out,
                      std::FILE* err);
