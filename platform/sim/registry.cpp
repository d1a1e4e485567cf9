// The simulated user settings: keys under HKEY_CURRENT_USER with values of any type and raw
// bytes, queried with the platform's results and watched by change registrations; and Filter
// Keys' live state, as SystemParametersInfoW reports it.
#include <cstring>
#include <string>

#include "platform/sim/machine.h"

using namespace sim;
using namespace sim::detail;

namespace {

// Needs the lock. RegNotifyChangeKeyValue: "This function detects a single change. After the
// caller receives a notification event, it should call the function again to receive the next
// notification"; REG_NOTIFY_CHANGE_LAST_SET reports "changes to a value of the key", adding,
// deleting or changing one (learn.microsoft.com, RegNotifyChangeKeyValue). So a write signals
// each registration pending on the key once and ends it; a write with none pending signals
// nothing, then or later.
void NotifyValueWrittenLocked(const std::wstring& path) {
  for (Object& o : TheMachine().objects) {
    if (o.kind != Kind::RegistryKey || !o.open || o.keyPath != path || o.notifyEvent == kNoObject) continue;
    SignalEventLocked(o.notifyEvent);
    o.notifyEvent = kNoObject;
  }
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, HKEY* result) {
  const bool fail = EnterCall(Call::RegOpenKeyExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  *result = nullptr;
  if (fail) return ERROR_ACCESS_DENIED;
  const auto found = m.registry.find(subKey == nullptr ? L"" : subKey);
  if (key != HKEY_CURRENT_USER || found == m.registry.end() || !found->second.present) return ERROR_FILE_NOT_FOUND;
  const size_t index = AddObject(Kind::RegistryKey);
  m.objects[index].keyPath = found->first;
  m.objects[index].access = desired;  // a handle may do only what it was opened for
  LogLocked(Call::RegOpenKeyExW, m.objects[index].name);
  *result = reinterpret_cast<HKEY>(HandleOf(index));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
  const bool fail = EnterCall(Call::RegQueryValueExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  const Object* object = Find(reinterpret_cast<HANDLE>(key), Kind::RegistryKey, "RegQueryValueExW");
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  if (fail || (object->access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  const auto& values = m.registry[object->keyPath].values;
  const auto found = values.find(valueName == nullptr ? L"" : valueName);
  if (found == values.end()) return ERROR_FILE_NOT_FOUND;
  const RegistryValue& value = found->second;
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    // The platform reports the size needed and leaves the buffer's contents undefined.
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (size != 0) std::memcpy(data, value.data.data(), size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                       BOOL asynchronous) {
  const bool fail = EnterCall(Call::RegNotifyChangeKeyValue);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(reinterpret_cast<HANDLE>(key), Kind::RegistryKey, "RegNotifyChangeKeyValue");
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  // "The key must have been opened with the KEY_NOTIFY access right" (learn.microsoft.com,
  // RegNotifyChangeKeyValue).
  if ((object->access & KEY_NOTIFY) == 0) return ERROR_ACCESS_DENIED;
  // "If hEvent does not specify a valid event, the fAsynchronous parameter cannot be TRUE."
  if (asynchronous == FALSE || Find(event, Kind::Event, "RegNotifyChangeKeyValue") == nullptr) {
    m.problems.push_back("RegNotifyChangeKeyValue without an event: only asynchronous registrations are modelled");
    return ERROR_INVALID_PARAMETER;
  }
  if (watchSubtree != FALSE || notifyFilter != REG_NOTIFY_CHANGE_LAST_SET) {
    m.problems.push_back("RegNotifyChangeKeyValue: only changes of the key's own values are modelled");
    return ERROR_INVALID_PARAMETER;
  }
  if (fail) {
    LogLocked(Call::RegNotifyChangeKeyValue, "failed");
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  object->notifyEvent = IndexOf(event);
  LogLocked(Call::RegNotifyChangeKeyValue, object->name + " " + m.objects[object->notifyEvent].name);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  EnterCall(Call::RegCloseKey);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(reinterpret_cast<HANDLE>(key), Kind::RegistryKey, "RegCloseKey");
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  LogLocked(Call::RegCloseKey, object->name);
  // "If the specified key is closed, the event is signaled" (learn.microsoft.com,
  // RegNotifyChangeKeyValue): a registration still pending ends with a signal.
  if (object->notifyEvent != kNoObject && m.objects[object->notifyEvent].open) SignalEventLocked(object->notifyEvent);
  object->notifyEvent = kNoObject;
  object->open = false;
  return ERROR_SUCCESS;
}

BOOL WINAPI SystemParametersInfoW(UINT action, UINT uiParam, PVOID pvParam, UINT) {
  const bool fail = EnterCall(Call::SystemParametersInfoW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  auto* filterKeys = static_cast<FILTERKEYS*>(pvParam);
  // SPI_GETFILTERKEYS: "The pvParam parameter must point to a FILTERKEYS structure that receives
  // the information. Set the cbSize member of this structure and the uiParam parameter to
  // sizeof(FILTERKEYS)" (learn.microsoft.com, SystemParametersInfoW).
  if (action != SPI_GETFILTERKEYS || filterKeys == nullptr || uiParam != sizeof(FILTERKEYS) ||
      filterKeys->cbSize != sizeof(FILTERKEYS)) {
    m.problems.push_back("SystemParametersInfoW: only SPI_GETFILTERKEYS with both sizes set is modelled");
    LastError() = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (fail) {
    LastError() = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  *filterKeys = m.filterKeys;
  return TRUE;
}

namespace sim {

void SetKeyboardKeyPresent(bool present) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().registry[kKeyboardKey].present = present;
}

void SetRegistryValue(const std::wstring& name, DWORD type, std::vector<BYTE> data, const std::wstring& key) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().registry[key].values[name] = {type, std::move(data)};
  NotifyValueWrittenLocked(key);
}

void SetRegistryText(const std::wstring& name, const std::u16string& text, DWORD type, const std::wstring& key) {
  std::vector<BYTE> data;
  for (char16_t unit : text) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  SetRegistryValue(name, type, std::move(data), key);
}

void SetRegistryDword(const std::wstring& name, uint32_t value, const std::wstring& key) {
  std::vector<BYTE> data(4);
  std::memcpy(data.data(), &value, 4);
  SetRegistryValue(name, REG_DWORD, std::move(data), key);
}

void SetFilterKeys(DWORD flags, DWORD delayMs, DWORD repeatMs, DWORD bounceMs) {
  {
    std::lock_guard<std::mutex> guard(TheMachine().lock);
    FILTERKEYS& state = TheMachine().filterKeys;
    // "If BounceKeys is on (that is, if iBounceMSec is nonzero), then RepeatKeys and SlowKeys are
    // off (that is, the iWaitMSec, iDelayMSec, and iRepeatMSec members must all be zero)"; "The
    // maximum value for the iBounceMSec, iWaitMSec, iDelayMSec, and iRepeatMSec members is 20,000
    // milliseconds" (FILTERKEYS, remarks). An iRepeatMSec of 0 with BounceKeys off, which the page
    // rules out, is reported to mean no keyboard repeat, and a test may stage it.
    if (delayMs > 20000 || repeatMs > 20000 || bounceMs > 20000) {
      TheMachine().problems.push_back("SetFilterKeys: a field above 20,000 ms, which Windows never reports");
    }
    const bool bounceKeys = bounceMs != 0;
    state.dwFlags = flags;
    state.iWaitMSec = bounceKeys ? 0 : (state.iWaitMSec == 0 ? 1000 : state.iWaitMSec);
    state.iDelayMSec = bounceKeys ? 0 : delayMs;
    state.iRepeatMSec = bounceKeys ? 0 : repeatMs;
    state.iBounceMSec = bounceMs;
  }
  // Saved as a settings page saves it: text values, one write each (reported, from exported
  // profiles: "Flags", "AutoRepeatDelay", "AutoRepeatRate", "BounceTime" are REG_SZ decimals).
  const std::pair<const wchar_t*, DWORD> values[] = {{L"Flags", flags},
                                                      {L"AutoRepeatDelay", bounceMs != 0 ? 0 : delayMs},
                                                      {L"AutoRepeatRate", bounceMs != 0 ? 0 : repeatMs},
                                                      {L"BounceTime", bounceMs}};
  for (const auto& [name, number] : values) {
    const std::string digits = std::to_string(number);
    SetRegistryText(name, std::u16string(digits.begin(), digits.end()), REG_SZ, kKeyboardResponseKey);
  }
}

}  // namespace sim
