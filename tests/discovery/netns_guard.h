// The check that a test program which broadcasts runs where its broadcasts
// cannot leave the machine.
#pragma once

#include <string>

// True inside a private network namespace whose only working interface is
// lo. The outer namespace is the one that tools/netns-run.sh recorded in
// TQ_OUTER_NETNS, or else the one of process 1; without either it cannot be
// told, and the answer is false. *why says what failed.
bool InPrivateNetworkNamespace(std::string* why);

// For the main() of such a program: prints why and returns false when the
// namespace is not private.
bool RequirePrivateNetworkNamespace(const char* program);
