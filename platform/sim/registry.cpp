// The simulated registry: HKEY_CURRENT_USER\Control Panel\Keyboard with values of any type and
// raw bytes, queried with the platform's results.
#include <cstring>

#include "platform/sim/machine.h"

using namespace sim;
using namespace sim::detail;

namespace {
constexpr wchar_t kKeyboardKey[] = L"Control Panel\\Keyboard";
}

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, HKEY* result) {
  const bool fail = EnterCall(Call::RegOpenKeyExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  *result = nullptr;
  if (fail) return ERROR_ACCESS_DENIED;
  if (key != HKEY_CURRENT_USER || subKey == nullptr || std::wcscmp(subKey, kKeyboardKey) != 0 ||
      !m.keyboardKeyPresent) {
    return ERROR_FILE_NOT_FOUND;
  }
  const size_t index = AddObject(Kind::RegistryKey);
  LogLocked(Call::RegOpenKeyExW, m.objects[index].name);
  *result = reinterpret_cast<HKEY>(HandleOf(index));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
  const bool fail = EnterCall(Call::RegQueryValueExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (Find(reinterpret_cast<HANDLE>(key), Kind::RegistryKey, "RegQueryValueExW") == nullptr) return ERROR_INVALID_HANDLE;
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  if (fail) return ERROR_ACCESS_DENIED;
  const auto found = m.keyboardValues.find(valueName == nullptr ? L"" : valueName);
  if (found == m.keyboardValues.end()) return ERROR_FILE_NOT_FOUND;
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

LSTATUS WINAPI RegCloseKey(HKEY key) {
  EnterCall(Call::RegCloseKey);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(reinterpret_cast<HANDLE>(key), Kind::RegistryKey, "RegCloseKey");
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  LogLocked(Call::RegCloseKey, object->name);
  object->open = false;
  return ERROR_SUCCESS;
}

namespace sim {

void SetKeyboardKeyPresent(bool present) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().keyboardKeyPresent = present;
}

void SetRegistryValue(const std::wstring& name, DWORD type, std::vector<BYTE> data) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().keyboardValues[name] = {type, std::move(data)};
}

void SetRegistryText(const std::wstring& name, const std::u16string& text, DWORD type) {
  std::vector<BYTE> data;
  for (char16_t unit : text) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  SetRegistryValue(name, type, std::move(data));
}

void SetRegistryDword(const std::wstring& name, uint32_t value) {
  std::vector<BYTE> data(4);
  std::memcpy(data.data(), &value, 4);
  SetRegistryValue(name, REG_DWORD, std::move(data));
}

}  // namespace sim
