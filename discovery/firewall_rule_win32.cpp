// Adds the inbound rule "Announce" (UDP, remote port 30303) to the Windows
// Firewall when the firewall is on and the rule is not there yet.

#include "discovery/firewall_rule.h"

#include <objbase.h>
#include <oleauto.h>

#include <initializer_list>

namespace {

// The firewall's classes and interfaces, spelt out here so that the program
// does not depend on which of them the import libraries happen to carry.
const CLSID kPolicyClass = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
const IID kPolicyInterface = {0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}};
const CLSID kRuleClass = {0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};
const IID kRuleInterface = {0xAF230D27, 0xBABA, 0x4E42, {0xAC, 0xED, 0xF5, 0x24, 0xF2, 0x2C, 0xFC, 0xE2}};

const wchar_t kAccessDeniedText[] =
    L"Unable to add the required Windows Firewall rule for incoming UDP traffic on port 30303.  "
    L"Some network devices may not be visible as a result.  "
    L"The application should be re-run as an Administrator so that the rule can be added.";
const wchar_t kAccessDeniedCaption[] = L"Error adding Firewall Rule";

constexpr LONG kProfileTypes[] = {NET_FW_PROFILE2_DOMAIN, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC};
constexpr LONG kAllProfiles = 0x7FFFFFFF;
constexpr LONG kUdp = 17;

HRESULT CreatePolicy(INetFwPolicy2** policy) {
  return ::CoCreateInstance(kPolicyClass, nullptr, CLSCTX_INPROC_SERVER, kPolicyInterface,
                            reinterpret_cast<void**>(policy));
}

HRESULT CreateRule(INetFwRule** rule) {
  return ::CoCreateInstance(kRuleClass, nullptr, CLSCTX_INPROC_SERVER, kRuleInterface, reinterpret_cast<void**>(rule));
}

int ShowMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  return ::MessageBoxW(owner, text, caption, type);
}

const FirewallSystem kDefaultSystem = {CreatePolicy, CreateRule, ShowMessage};
FirewallSystem g_system = kDefaultSystem;

template <typename T>
void Release(T*& object) {
  if (object) object->Release();
  object = nullptr;
}

// The texts of the new rule, allocated once and freed on every way out.
struct RuleTexts {
  BSTR name = ::SysAllocString(kFirewallRuleName);
  BSTR description = ::SysAllocString(kFirewallRuleName);
  BSTR remotePorts = ::SysAllocString(L"30303");
  BSTR interfaceTypes = ::SysAllocString(L"ALL");
  BSTR grouping = ::SysAllocString(kFirewallRuleGrouping);
  RuleTexts() = default;
  RuleTexts(const RuleTexts&) = delete;
  RuleTexts& operator=(const RuleTexts&) = delete;
  ~RuleTexts() {
    for (BSTR text : {name, description, remotePorts, interfaceTypes, grouping}) ::SysFreeString(text);
  }
};

// True when the firewall is on for at least one of the current profiles.
// A profile whose state cannot be read counts as off.
bool FirewallActive(INetFwPolicy2* policy) {
  LONG current = 0;
  if (FAILED(policy->get_CurrentProfileTypes(&current))) return false;
  VARIANT_BOOL combined = VARIANT_FALSE;
  for (LONG type : kProfileTypes) {
    if (!(current & type)) continue;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    if (SUCCEEDED(policy->get_FirewallEnabled(static_cast<NET_FW_PROFILE_TYPE2>(type), &enabled)))
      combined = static_cast<VARIANT_BOOL>(combined | enabled);
  }
  return combined != VARIANT_FALSE;
}

void DescribeRule(INetFwRule* rule, const RuleTexts& texts) {
  // A property that does not take leaves the firewall's default; the rule
  // is still worth adding.
  rule->put_Name(texts.name);
  rule->put_Description(texts.description);
  rule->put_Direction(NET_FW_RULE_DIR_IN);
  rule->put_Protocol(kUdp);
  rule->put_RemotePorts(texts.remotePorts);
  rule->put_InterfaceTypes(texts.interfaceTypes);
  rule->put_Enabled(VARIANT_TRUE);
  rule->put_Grouping(texts.grouping);
  rule->put_Profiles(kAllProfiles);
  rule->put_Action(NET_FW_ACTION_ALLOW);
}

bool TextIs(BSTR text, const wchar_t* expected) { return ::lstrcmpW(text ? text : L"", expected) == 0; }

// The grouping marks the rule as ours; a grouping that cannot be read counts
// as empty. With `checkName` the rule must also be called "Announce".
bool IsOurRule(INetFwRule* rule, bool checkName) {
  if (checkName) {
    BSTR name = nullptr;
    bool named = SUCCEEDED(rule->get_Name(&name)) && TextIs(name, kFirewallRuleName);
    ::SysFreeString(name);
    if (!named) return false;
  }
  BSTR grouping = nullptr;
  bool ours = SUCCEEDED(rule->get_Grouping(&grouping)) && TextIs(grouping, kFirewallRuleGrouping);
  ::SysFreeString(grouping);
  return ours;
}

// Looks through every rule of the collection for ours. Needed when another
// program has a rule of the same name: looking up by name finds only one of
// them, and without this walk each start would add yet another copy of ours.
bool CollectionHoldsOurRule(INetFwRules* rules) {
  IUnknown* enumerator = nullptr;
  if (FAILED(rules->get__NewEnum(&enumerator)) || !enumerator) return false;
  IEnumVARIANT* items = nullptr;
  HRESULT hr = enumerator->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items));
  Release(enumerator);
  if (FAILED(hr) || !items) return false;
  bool found = false;
  VARIANT item;
  ::VariantInit(&item);
  ULONG fetched = 0;
  while (!found && items->Next(1, &item, &fetched) == S_OK && fetched == 1) {
    if (item.vt == VT_DISPATCH && item.pdispVal) {
      INetFwRule* rule = nullptr;
      if (SUCCEEDED(item.pdispVal->QueryInterface(kRuleInterface, reinterpret_cast<void**>(&rule))) && rule) {
        found = IsOurRule(rule, true);
        Release(rule);
      }
    }
    ::VariantClear(&item);
  }
  Release(items);
  return found;
}

bool OurRulePresent(INetFwRules* rules, BSTR name) {
  INetFwRule* existing = nullptr;
  if (FAILED(rules->Item(name, &existing)) || !existing) return false;
  bool ours = IsOurRule(existing, false);
  Release(existing);
  return ours || CollectionHoldsOurRule(rules);
}

// Steps 2 onwards, with COM ready on this thread.
void AddRuleIfMissing(HWND owner) {
  INetFwPolicy2* policy = nullptr;
  if (FAILED(g_system.createPolicy(&policy)) || !policy) return;
  INetFwRules* rules = nullptr;
  INetFwRule* rule = nullptr;
  if (FirewallActive(policy) && SUCCEEDED(policy->get_Rules(&rules)) && rules &&
      SUCCEEDED(g_system.createRule(&rule)) && rule) {
    RuleTexts texts;
    DescribeRule(rule, texts);
    if (!OurRulePresent(rules, texts.name) && rules->Add(rule) == E_ACCESSDENIED)
      g_system.showMessage(owner, kAccessDeniedText, kAccessDeniedCaption, MB_ICONWARNING);
  }
  Release(rule);
  Release(rules);
  Release(policy);
}

}  // namespace

void SetFirewallSystem(const FirewallSystem* system) {
  g_system = kDefaultSystem;
  if (!system) return;
  if (system->createPolicy) g_system.createPolicy = system->createPolicy;
  if (system->createRule) g_system.createRule = system->createRule;
  if (system->showMessage) g_system.showMessage = system->showMessage;
}

void EnsureFirewallRule(HWND owner) {
  // COM set up in another model on this thread (RPC_E_CHANGED_MODE) still
  // serves us. Only an initialisation of our own is undone afterwards:
  // undoing someone else's would pull COM from under them.
  HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool ownInit = SUCCEEDED(init);
  if (!ownInit && init != RPC_E_CHANGED_MODE) return;
  AddRuleIfMissing(owner);
  if (ownInit) ::CoUninitialize();
}
