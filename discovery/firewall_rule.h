// The inbound firewall rule that lets discovery answers (UDP from the
// units' port 30303) reach the program.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <netfw.h>

// When the firewall is on for a current profile and our rule "Announce" is
// not there yet, adds it. Without administrator rights the user is warned
// once, in a box owned by `owner`; every other failure is silent.
void EnsureFirewallRule(HWND owner);

// What EnsureFirewallRule asks of the system, replaceable so that a test
// can hand in its own firewall objects and catch the warning. Each routine
// left null keeps its default (CoCreateInstance of the firewall classes,
// MessageBoxW).
struct FirewallSystem {
  HRESULT (*createPolicy)(INetFwPolicy2** policy);
  HRESULT (*createRule)(INetFwRule** rule);
  int (*showMessage)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
};
// Null restores the defaults.
void SetFirewallSystem(const FirewallSystem* system);

// The names by which the program recognises its own rule.
constexpr const wchar_t* kFirewallRuleName = L"Announce";
constexpr const wchar_t* kFirewallRuleGrouping = L"Varno Electronics Ltd.";
#endif
