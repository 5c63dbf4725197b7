// Stand-ins for the Windows Firewall objects: a policy with settable
// profiles, a rule collection, and rules that record every property set on
// them, so the tests see exactly what the program would hand the firewall.
#pragma once

#include <windows.h>
#include <netfw.h>
#include <oleauto.h>

#include <map>
#include <string>
#include <vector>

namespace fakes {

// IUnknown for all the stand-ins. The test owns their memory and checks the
// reference count: every reference the program takes it must give back.
template <typename Interface>
class UnknownObject : public Interface {
 public:
  virtual ~UnknownObject() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == __uuidof(Interface) || (dispatch_ && iid == IID_IDispatch)) {
      *out = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  long references = 1;

 protected:
  explicit UnknownObject(bool dispatch) : dispatch_(dispatch) {}

 private:
  bool dispatch_;
};

// IDispatch, which the firewall interfaces derive from, is never used.
template <typename Interface>
class DispatchObject : public UnknownObject<Interface> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

 protected:
  DispatchObject() : UnknownObject<Interface>(true) {}
};

inline HRESULT GiveText(const std::wstring& text, BSTR* out) {
  *out = ::SysAllocString(text.c_str());
  return S_OK;
}

class Rule : public DispatchObject<INetFwRule> {
 public:
  Rule() = default;
  Rule(const wchar_t* ruleName, const wchar_t* ruleGrouping) : name(ruleName), grouping(ruleGrouping) {}
  // The property names in the order they were set.
  std::vector<std::string> order;
  std::wstring name, description, remotePorts, interfaceTypes, grouping;
  std::wstring localPorts, applicationName;
  LONG protocol = 0, profiles = 0;
  NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_MAX;
  VARIANT_BOOL enabled = VARIANT_FALSE;
  NET_FW_ACTION action = NET_FW_ACTION_MAX;
  bool groupingReadFails = false;

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return GiveText(name, out); }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR v) override { return Put("Name", name, v); }
  HRESULT STDMETHODCALLTYPE get_Description(BSTR* out) override { return GiveText(description, out); }
  HRESULT STDMETHODCALLTYPE put_Description(BSTR v) override { return Put("Description", description, v); }
  HRESULT STDMETHODCALLTYPE get_ApplicationName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ApplicationName(BSTR v) override { return Put("ApplicationName", applicationName, v); }
  HRESULT STDMETHODCALLTYPE get_ServiceName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ServiceName(BSTR) override { return Unexpected("ServiceName"); }
  HRESULT STDMETHODCALLTYPE get_Protocol(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Protocol(LONG v) override {
    order.push_back("Protocol");
    protocol = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LocalPorts(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_LocalPorts(BSTR v) override { return Put("LocalPorts", localPorts, v); }
  HRESULT STDMETHODCALLTYPE get_RemotePorts(BSTR* out) override { return GiveText(remotePorts, out); }
  HRESULT STDMETHODCALLTYPE put_RemotePorts(BSTR v) override { return Put("RemotePorts", remotePorts, v); }
  HRESULT STDMETHODCALLTYPE get_LocalAddresses(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_LocalAddresses(BSTR) override { return Unexpected("LocalAddresses"); }
  HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return Unexpected("RemoteAddresses"); }
  HRESULT STDMETHODCALLTYPE get_IcmpTypesAndCodes(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_IcmpTypesAndCodes(BSTR) override { return Unexpected("IcmpTypesAndCodes"); }
  HRESULT STDMETHODCALLTYPE get_Direction(NET_FW_RULE_DIRECTION*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Direction(NET_FW_RULE_DIRECTION v) override {
    order.push_back("Direction");
    direction = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Interfaces(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Interfaces(VARIANT) override { return Unexpected("Interfaces"); }
  HRESULT STDMETHODCALLTYPE get_InterfaceTypes(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_InterfaceTypes(BSTR v) override { return Put("InterfaceTypes", interfaceTypes, v); }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override {
    order.push_back("Enabled");
    enabled = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Grouping(BSTR* out) override {
    if (groupingReadFails) return E_FAIL;
    return GiveText(grouping, out);
  }
  HRESULT STDMETHODCALLTYPE put_Grouping(BSTR v) override { return Put("Grouping", grouping, v); }
  HRESULT STDMETHODCALLTYPE get_Profiles(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Profiles(LONG v) override {
    order.push_back("Profiles");
    profiles = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_EdgeTraversal(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_EdgeTraversal(VARIANT_BOOL) override { return Unexpected("EdgeTraversal"); }
  HRESULT STDMETHODCALLTYPE get_Action(NET_FW_ACTION*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Action(NET_FW_ACTION v) override {
    order.push_back("Action");
    action = v;
    return S_OK;
  }

 private:
  HRESULT Put(const char* property, std::wstring& field, BSTR value) {
    order.push_back(property);
    field = value ? value : L"";
    return S_OK;
  }
  HRESULT Unexpected(const char* property) {
    order.push_back(property);
    return S_OK;
  }
};

// Walks a snapshot of the collection, as the firewall's enumerator does.
class RuleEnumerator : public UnknownObject<IEnumVARIANT> {
 public:
  explicit RuleEnumerator(std::vector<Rule*> rules) : UnknownObject<IEnumVARIANT>(false), rules_(rules) {}
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

 private:
  std::vector<Rule*> rules_;
  size_t next_ = 0;
};

class Rules : public DispatchObject<INetFwRules> {
 public:
  std::vector<Rule*> rules;  // not owned
  HRESULT addResult = S_OK;
  int addCalls = 0;
  int itemCalls = 0;
  std::vector<RuleEnumerator*> enumerators;  // owned, freed with the collection
  ~Rules() override;

  HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
    *count = static_cast<LONG>(rules.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Add(INetFwRule* rule) override;
  HRESULT STDMETHODCALLTYPE Remove(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Item(BSTR name, INetFwRule** rule) override;
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** out) override;
};

class Policy : public DispatchObject<INetFwPolicy2> {
 public:
  LONG currentProfiles = NET_FW_PROFILE2_PRIVATE;
  HRESULT profilesResult = S_OK;
  std::map<LONG, VARIANT_BOOL> enabled;  // profile type -> state
  std::map<LONG, HRESULT> enabledResult;
  std::vector<LONG> askedProfiles;
  Rules* rules = nullptr;

  HRESULT STDMETHODCALLTYPE get_CurrentProfileTypes(LONG* out) override {
    *out = currentProfiles;
    return profilesResult;
  }
  HRESULT STDMETHODCALLTYPE get_FirewallEnabled(NET_FW_PROFILE_TYPE2 type, VARIANT_BOOL* out) override {
    askedProfiles.push_back(type);
    auto failure = enabledResult.find(type);
    if (failure != enabledResult.end()) return failure->second;
    auto state = enabled.find(type);
    *out = state == enabled.end() ? VARIANT_FALSE : state->second;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules** out) override {
    *out = rules;
    rules->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_FirewallEnabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2,
                                                                             VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2,
                                                                             VARIANT_BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_ServiceRestriction(INetFwServiceRestriction**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnableRuleGroup(LONG, BSTR, VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsRuleGroupEnabled(LONG, BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RestoreLocalFirewallDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DefaultInboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_DefaultInboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DefaultOutboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_DefaultOutboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_IsRuleGroupCurrentlyEnabled(BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LocalPolicyModifyState(NET_FW_MODIFY_STATE*) override { return E_NOTIMPL; }
};

}  // namespace fakes
