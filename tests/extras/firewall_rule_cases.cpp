// The firewall rule against stand-in firewall objects: which rule reaches
// the firewall, when none does, and the one warning.
#include <cstdio>
#include <string>
#include <vector>

#include "discovery/firewall_rule.h"
#include "tests/extras/firewall_fakes.h"
#include "tests/extras/win_check.h"

namespace fakes {

HRESULT STDMETHODCALLTYPE RuleEnumerator::Next(ULONG count, VARIANT* items, ULONG* fetched) {
  ULONG given = 0;
  while (given < count && next_ < rules_.size()) {
    ::VariantInit(&items[given]);
    items[given].vt = VT_DISPATCH;
    items[given].pdispVal = rules_[next_++];
    items[given].pdispVal->AddRef();
    ++given;
  }
  if (fetched) *fetched = given;
  return given == count ? S_OK : S_FALSE;
}

Rules::~Rules() {
  for (RuleEnumerator* enumerator : enumerators) delete enumerator;
}

HRESULT STDMETHODCALLTYPE Rules::Add(INetFwRule* rule) {
  ++addCalls;
  if (FAILED(addResult)) return addResult;
  rule->AddRef();
  rules.push_back(static_cast<Rule*>(rule));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE Rules::Item(BSTR name, INetFwRule** rule) {
  ++itemCalls;
  for (Rule* candidate : rules) {
    if (candidate->name == name) {
      candidate->AddRef();
      *rule = candidate;
      return S_OK;
    }
  }
  return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

HRESULT STDMETHODCALLTYPE Rules::get__NewEnum(IUnknown** out) {
  auto* enumerator = new RuleEnumerator(rules);
  enumerators.push_back(enumerator);
  *out = enumerator;
  return S_OK;
}

}  // namespace fakes

namespace {

// What the program is handed when it asks the system for objects.
struct Scene {
  fakes::Policy policy;
  fakes::Rules rules;
  std::vector<fakes::Rule*> created;
  HRESULT createPolicyResult = S_OK;
  HRESULT createRuleResult = S_OK;
  int policiesCreated = 0;
  struct Box {
    HWND owner;
    std::wstring text, caption;
    UINT type;
  };
  std::vector<Box> boxes;
  Scene() { policy.rules = &rules; }
  ~Scene() {
    for (fakes::Rule* rule : created) delete rule;
  }
};
Scene* g_scene = nullptr;

HRESULT CreatePolicy(INetFwPolicy2** out) {
  ++g_scene->policiesCreated;
  if (FAILED(g_scene->createPolicyResult)) return g_scene->createPolicyResult;
  g_scene->policy.AddRef();
  *out = &g_scene->policy;
  return S_OK;
}

HRESULT CreateRule(INetFwRule** out) {
  if (FAILED(g_scene->createRuleResult)) return g_scene->createRuleResult;
  auto* rule = new fakes::Rule();
  g_scene->created.push_back(rule);
  *out = rule;  // the one reference the program owns
  return S_OK;
}

int RecordBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  g_scene->boxes.push_back({owner, text, caption, type});
  return IDOK;
}

void RunEnsure(Scene& scene, HWND owner = reinterpret_cast<HWND>(0x1234)) {
  g_scene = &scene;
  FirewallSystem system = {CreatePolicy, CreateRule, RecordBox};
  SetFirewallSystem(&system);
  EnsureFirewallRule(owner);
  SetFirewallSystem(nullptr);
  g_scene = nullptr;
}

// Every reference the program took on the stand-ins was given back.
void CheckAllReleased(Scene& scene, const char* what) {
  Check(scene.policy.references == 1, what, "policy released");
  Check(scene.rules.references == 1, what, "rule collection released");
  for (fakes::Rule* rule : scene.created) {
    long expected = 0;  // ours is given up; the collection keeps one per Add
    for (fakes::Rule* kept : scene.rules.rules) expected += kept == rule;
    Check(rule->references == expected, what, "new rule released");
  }
  for (fakes::RuleEnumerator* enumerator : scene.rules.enumerators)
    Check(enumerator->references == 0, what, "enumerator released");
}

void FirewallOffOnEveryCurrentProfileAddsNothing() {
  const char* what = "firewall off";
  Scene scene;
  scene.policy.currentProfiles = NET_FW_PROFILE2_PRIVATE | NET_FW_PROFILE2_PUBLIC;
  scene.policy.enabled[NET_FW_PROFILE2_DOMAIN] = VARIANT_TRUE;  // on, but not a current profile
  RunEnsure(scene);
  Check(scene.policy.askedProfiles == std::vector<LONG>{NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC}, what,
        "asks about the current profiles only, in order");
  Check(scene.created.empty(), what, "no rule object created");
  Check(scene.rules.addCalls == 0 && scene.rules.itemCalls == 0, what, "collection untouched");
  Check(scene.boxes.empty(), what, "no message");
  CheckAllReleased(scene, what);
}

void ActiveFirewallGetsTheAnnounceRule() {
  const char* what = "new rule";
  Scene scene;
  scene.policy.currentProfiles = NET_FW_PROFILE2_DOMAIN | NET_FW_PROFILE2_PUBLIC;
  scene.policy.enabled[NET_FW_PROFILE2_PUBLIC] = VARIANT_TRUE;
  scene.policy.enabledResult[NET_FW_PROFILE2_DOMAIN] = E_FAIL;  // an unanswered profile counts as off
  RunEnsure(scene);
  Check(scene.rules.addCalls == 1 && scene.rules.rules.size() == 1, what, "one rule added");
  if (scene.rules.rules.size() != 1) return;
  const fakes::Rule& rule = *scene.rules.rules[0];
  Check(rule.name == L"Announce" && rule.description == L"Announce", what, "name and description");
  Check(rule.direction == NET_FW_RULE_DIR_IN && rule.protocol == 17, what, "inbound UDP");
  Check(rule.remotePorts == L"30303" && rule.localPorts.empty(), what, "remote port 30303 only");
  Check(rule.interfaceTypes == L"ALL", what, "all interface types");
  Check(rule.enabled == VARIANT_TRUE, what, "enabled");
  Check(rule.grouping == L"Varno Electronics Ltd.", what, "our grouping");
  Check(rule.profiles == 0x7FFFFFFF, what, "all profiles");
  Check(rule.action == NET_FW_ACTION_ALLOW, what, "allow");
  Check(rule.applicationName.empty(), what, "no application path");
  std::vector<std::string> order = {"Name",           "Description", "Direction", "Protocol", "RemotePorts",
                                    "InterfaceTypes", "Enabled",     "Grouping",  "Profiles", "Action"};
  Check(rule.order == order, what, "properties set in order, nothing else set");
  Check(scene.boxes.empty(), what, "no message");
  CheckAllReleased(scene, what);
}

void OurRulePresentAddsNothing() {
  const char* what = "rule present";
  Scene scene;
  scene.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
  fakes::Rule ours(L"Announce", L"Varno Electronics Ltd.");
  scene.rules.rules.push_back(&ours);
  RunEnsure(scene);
  Check(scene.rules.addCalls == 0, what, "nothing added");
  Check(ours.references == 1, what, "looked-up rule released");
  Check(scene.boxes.empty(), what, "no message");
  CheckAllReleased(scene, what);
}

void ForeignAnnounceRuleGetsOursBesideIt() {
  const char* what = "foreign rule";
  Scene scene;
  scene.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
  fakes::Rule foreign(L"Announce", L"varno electronics ltd.");  // the comparison is case-sensitive
  fakes::Rule unreadable(L"Announce", L"Varno Electronics Ltd.");
  unreadable.groupingReadFails = true;                     // a grouping that cannot be read is empty
  fakes::Rule other(L"Other", L"Varno Electronics Ltd.");  // ours by grouping, not by name
  scene.rules.rules = {&foreign, &unreadable, &other};
  RunEnsure(scene);
  Check(scene.rules.addCalls == 1 && scene.rules.rules.size() == 4, what, "ours added beside it");
  if (scene.rules.rules.size() == 4)
    Check(scene.rules.rules[3]->grouping == L"Varno Electronics Ltd.", what, "the added one is ours");
  Check(foreign.references == 1 && unreadable.references == 1 && other.references == 1, what,
        "existing rules released");
  CheckAllReleased(scene, what);

  // A later start: the name finds the foreign rule first, but ours is there
  // too, so no second copy of ours is added.
  Scene again;
  again.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
  fakes::Rule ours(L"Announce", L"Varno Electronics Ltd.");
  again.rules.rules = {&foreign, &ours};
  RunEnsure(again);
  Check(again.rules.addCalls == 0, what, "later start adds no duplicate");
  Check(foreign.references == 1 && ours.references == 1, what, "walked rules released");
  CheckAllReleased(again, what);
}

void AccessDeniedWarnsOnceOtherFailuresAreSilent() {
  const char* what = "access denied";
  Scene scene;
  scene.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
  scene.rules.addResult = E_ACCESSDENIED;
  HWND owner = reinterpret_cast<HWND>(0x5678);
  RunEnsure(scene, owner);
  Check(scene.boxes.size() == 1, what, "one warning");
  if (scene.boxes.size() == 1) {
    const auto& box = scene.boxes[0];
    Check(box.owner == owner, what, "owned by the main window");
    Check(box.caption == L"Error adding Firewall Rule", what, "caption");
    Check(box.type == MB_ICONWARNING, what, "warning icon, OK button");
    Check(box.text ==
              L"Unable to add the required Windows Firewall rule for incoming UDP traffic on port 30303.  "
              L"Some network devices may not be visible as a result.  "
              L"The application should be re-run as an Administrator so that the rule can be added.",
          what, "text");
  }
  CheckAllReleased(scene, what);

  Scene other;
  other.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
  other.rules.addResult = E_FAIL;
  RunEnsure(other);
  Check(other.rules.addCalls == 1 && other.boxes.empty(), "other failure", "silent");
  CheckAllReleased(other, "other failure");
}

void EarlyFailuresAreSilent() {
  {
    Scene scene;
    scene.createPolicyResult = REGDB_E_CLASSNOTREG;
    RunEnsure(scene);
    Check(scene.policiesCreated == 1 && scene.boxes.empty(), "no policy", "silent");
  }
  {
    Scene scene;
    scene.policy.profilesResult = E_FAIL;
    scene.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
    RunEnsure(scene);
    Check(scene.created.empty() && scene.rules.addCalls == 0, "no profiles", "nothing added");
    CheckAllReleased(scene, "no profiles");
  }
  {
    Scene scene;
    scene.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
    scene.createRuleResult = E_OUTOFMEMORY;
    RunEnsure(scene);
    Check(scene.rules.addCalls == 0 && scene.boxes.empty(), "no rule object", "nothing added");
    CheckAllReleased(scene, "no rule object");
  }
}

// COM that the caller set up stays set up: the step neither skips its work
// nor undoes the caller's initialisation.
void CallersComSurvives(DWORD model, const char* what) {
  HRESULT first = ::CoInitializeEx(nullptr, model);
  Check(first == S_OK, what, "caller's COM initialised");
  Scene scene;
  scene.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
  RunEnsure(scene);
  Check(scene.rules.addCalls == 1, what, "the step still runs");
  HRESULT after = ::CoInitializeEx(nullptr, model);
  Check(after == S_FALSE, what, "caller's COM still initialised afterwards");
  if (SUCCEEDED(after)) ::CoUninitialize();
  ::CoUninitialize();
  CheckAllReleased(scene, what);
}

void ComInOtherModelsStillRuns() {
  // A multithreaded apartment makes our apartment request answer
  // RPC_E_CHANGED_MODE; an apartment of the same kind answers S_FALSE.
  CallersComSurvives(COINIT_MULTITHREADED, "changed COM mode");
  CallersComSurvives(COINIT_APARTMENTTHREADED, "COM already initialised");
  // And without COM on the thread, the step leaves none behind.
  Scene scene;
  scene.policy.enabled[NET_FW_PROFILE2_PRIVATE] = VARIANT_TRUE;
  RunEnsure(scene);
  HRESULT after = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Check(after == S_OK, "own COM", "uninitialised again");
  if (SUCCEEDED(after)) ::CoUninitialize();
}

int g_realBoxes = 0;
int CountRealBox(HWND, const wchar_t* text, const wchar_t* caption, UINT) {
  ++g_realBoxes;
  std::printf("  the firewall step showed: %ls: %ls\n", caption, text);
  return IDOK;
}

// The system's own firewall objects (Wine's, here): whatever they answer,
// the step returns and shows nothing unexpected.
void SystemFirewallPath() {
  INetFwPolicy2* policy = nullptr;
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const CLSID policyClass = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
  HRESULT created = ::CoCreateInstance(policyClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                                       reinterpret_cast<void**>(&policy));
  std::printf("  system firewall policy: 0x%08lx\n", static_cast<unsigned long>(created));
  if (SUCCEEDED(created) && policy) {
    LONG profiles = 0;
    HRESULT read = policy->get_CurrentProfileTypes(&profiles);
    std::printf("  current profiles: 0x%08lx -> %ld\n", static_cast<unsigned long>(read), profiles);
    for (LONG type : {1L, 2L, 4L}) {
      VARIANT_BOOL on = 0;
      HRESULT asked = policy->get_FirewallEnabled(static_cast<NET_FW_PROFILE_TYPE2>(type), &on);
      std::printf("  firewall on for profile %ld: 0x%08lx -> %d\n", type, static_cast<unsigned long>(asked), on);
    }
    policy->Release();
  }
  ::CoUninitialize();
  FirewallSystem system = {nullptr, nullptr, CountRealBox};
  SetFirewallSystem(&system);
  DWORD started = ::GetTickCount();
  EnsureFirewallRule(nullptr);
  SetFirewallSystem(nullptr);
  std::printf("  EnsureFirewallRule on the system's objects: %lu ms, %d message(s)\n",
              static_cast<unsigned long>(::GetTickCount() - started), g_realBoxes);
  Check(g_realBoxes <= 1, "system firewall", "at most the one warning");
}

}  // namespace

void RunFirewallCases() {
  FirewallOffOnEveryCurrentProfileAddsNothing();
  ActiveFirewallGetsTheAnnounceRule();
  OurRulePresentAddsNothing();
  ForeignAnnounceRuleGetsOursBesideIt();
  AccessDeniedWarnsOnceOtherFailuresAreSilent();
  EarlyFailuresAreSilent();
  ComInOtherModelsStillRuns();
  SystemFirewallPath();
}
