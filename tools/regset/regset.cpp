// regset: writes, reads and deletes registry values byte for byte, for the values that
// `reg add` cannot make: a text with no terminating zero, an empty value of any type, a
// megabyte, an unknown type.
//
//   regset KEY OPERATION...      KEY is HKCU\path or HKLM\path; operations run in order:
//     set NAME TYPE DATA           RegSetValueExW with exactly DATA's bytes (creates KEY)
//     delete NAME                  the value (missing is fine)
//     deletekey                    KEY and everything below it (missing is fine)
//     dump                         every value of KEY as: value<TAB>NAME<TAB>TYPE<TAB>DATA, each
//                                  subkey as: subkey<TAB>NAME, then end (nokey when missing)
//   TYPE: a number or REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD,
//         REG_NONE.
//   DATA: "hex:" then comma-separated pieces, each HEX or HEX*COUNT (HEX repeated COUNT times),
//         e.g. hex:3300*63,3200 is 63 UTF-16 '3's and a '2', no terminator; hex: is empty.
// Each set is read back and printed as: set NAME type=T size=S. Exit code 0 when every
// operation worked.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "tools/common/say.h"

namespace {

void say_raw(const std::vector<char>& text) {
  DWORD written = 0;
  if (!text.empty())
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

std::vector<char> utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::vector<char> out(n > 0 ? n : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

bool parse_type(const wchar_t* text, DWORD* type) {
  static const struct {
    const wchar_t* name;
    DWORD type;
  } names[] = {{L"REG_NONE", REG_NONE},           {L"REG_SZ", REG_SZ},
               {L"REG_EXPAND_SZ", REG_EXPAND_SZ}, {L"REG_BINARY", REG_BINARY},
               {L"REG_DWORD", REG_DWORD},         {L"REG_MULTI_SZ", REG_MULTI_SZ},
               {L"REG_QWORD", REG_QWORD}};
  for (const auto& n : names) {
    if (_wcsicmp(text, n.name) == 0) {
      *type = n.type;
      return true;
    }
  }
  wchar_t* end = nullptr;
  unsigned long v = wcstoul(text, &end, 0);
  if (!*text || *end) return false;
  *type = static_cast<DWORD>(v);
  return true;
}

int hex_digit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool parse_data(const wchar_t* text, std::vector<BYTE>* data) {
  if (wcsncmp(text, L"hex:", 4) != 0) return false;
  const wchar_t* p = text + 4;
  while (*p) {
    std::vector<BYTE> piece;
    while (hex_digit(p[0]) >= 0 && hex_digit(p[1]) >= 0) {
      piece.push_back(static_cast<BYTE>(hex_digit(p[0]) * 16 + hex_digit(p[1])));
      p += 2;
    }
    unsigned long count = 1;
    if (*p == L'*') {
      wchar_t* end = nullptr;
      count = wcstoul(p + 1, &end, 10);
      if (end == p + 1) return false;
      p = end;
    }
    if (piece.empty() || (*p && *p != L',')) return false;
    for (unsigned long i = 0; i < count; ++i) data->insert(data->end(), piece.begin(), piece.end());
    if (*p == L',') ++p;
  }
  return true;
}

// The inverse of parse_data, with runs of one UTF-16 unit folded, so that even a megabyte
// value dumps to a short line that `set` takes back.
std::vector<char> format_data(const BYTE* data, DWORD size) {
  std::vector<char> out = {'h', 'e', 'x', ':'};
  char buf[32];
  DWORD i = 0;
  bool first = true;
  while (i < size) {
    if (!first) out.push_back(',');
    first = false;
    if (i + 1 < size) {
      DWORD run = 1;
      while (i + 2 * run + 1 < size && data[i + 2 * run] == data[i] &&
             data[i + 2 * run + 1] == data[i + 1])
        ++run;
      snprintf(buf, sizeof buf, run > 1 ? "%02X%02X*%lu" : "%02X%02X", data[i], data[i + 1],
               static_cast<unsigned long>(run));
      i += 2 * run;
    } else {
      snprintf(buf, sizeof buf, "%02X", data[i]);
      ++i;
    }
    for (char* c = buf; *c; ++c) out.push_back(*c);
  }
  return out;
}

bool split_key(const wchar_t* text, HKEY* root, const wchar_t** path) {
  const wchar_t* slash = wcschr(text, L'\\');
  size_t len = slash ? static_cast<size_t>(slash - text) : wcslen(text);
  if (len == 4 && _wcsnicmp(text, L"HKCU", 4) == 0) {
    *root = HKEY_CURRENT_USER;
  } else if (len == 17 && _wcsnicmp(text, L"HKEY_CURRENT_USER", 17) == 0) {
    *root = HKEY_CURRENT_USER;
  } else if (len == 4 && _wcsnicmp(text, L"HKLM", 4) == 0) {
    *root = HKEY_LOCAL_MACHINE;
  } else {
    return false;
  }
  *path = slash ? slash + 1 : L"";
  return true;
}

bool do_set(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type,
            const std::vector<BYTE>& data) {
  HKEY key = nullptr;
  LSTATUS s = RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE,
                              nullptr, &key, nullptr);
  if (s != ERROR_SUCCESS) {
    say("error: cannot open the key (error %ld)\n", static_cast<long>(s));
    return false;
  }
  static const BYTE nothing = 0;
  s = RegSetValueExW(key, name, 0, type, data.empty() ? &nothing : data.data(),
                     static_cast<DWORD>(data.size()));
  DWORD got_type = 0;
  DWORD got_size = 0;
  LSTATUS q = RegQueryValueExW(key, name, nullptr, &got_type, nullptr, &got_size);
  RegCloseKey(key);
  std::vector<char> n8 = utf8(name);
  if (s != ERROR_SUCCESS || q != ERROR_SUCCESS) {
    say("error: set %s failed (error %ld, read back %ld)\n", n8.data(), static_cast<long>(s),
        static_cast<long>(q));
    return false;
  }
  say("set %s type=%lu size=%lu\n", n8.data(), static_cast<unsigned long>(got_type),
      static_cast<unsigned long>(got_size));
  return true;
}

bool do_delete(HKEY root, const wchar_t* path, const wchar_t* name) {
  HKEY key = nullptr;
  LSTATUS s = RegOpenKeyExW(root, path, 0, KEY_SET_VALUE, &key);
  if (s == ERROR_FILE_NOT_FOUND) return true;
  if (s != ERROR_SUCCESS) return false;
  s = RegDeleteValueW(key, name);
  RegCloseKey(key);
  return s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND;
}

bool do_delete_key(HKEY root, const wchar_t* path) {
  LSTATUS s = RegDeleteTreeW(root, path);
  if (s == ERROR_SUCCESS) s = RegDeleteKeyW(root, path);
  return s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND;
}

bool do_dump(HKEY root, const wchar_t* path) {
  HKEY key = nullptr;
  LSTATUS s = RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key);
  if (s == ERROR_FILE_NOT_FOUND) {
    say("nokey\n");
    return true;
  }
  if (s != ERROR_SUCCESS) return false;
  DWORD max_subkey = 0;
  DWORD max_name = 0;
  DWORD max_data = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &max_subkey, nullptr, nullptr,
                   &max_name, &max_data, nullptr, nullptr);
  std::vector<wchar_t> name(max_name + 2);
  std::vector<BYTE> data(max_data + 2);
  for (DWORD i = 0;; ++i) {
    DWORD name_len = static_cast<DWORD>(name.size());
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    s = RegEnumValueW(key, i, name.data(), &name_len, nullptr, &type, data.data(), &size);
    if (s == ERROR_NO_MORE_ITEMS) break;
    if (s != ERROR_SUCCESS) {
      RegCloseKey(key);
      return false;
    }
    std::vector<char> n8 = utf8(name.data());
    say("value\t%s\t%lu\t", n8.data(), static_cast<unsigned long>(type));
    std::vector<char> text = format_data(data.data(), size);
    text.push_back('\n');
    say_raw(text);
  }
  std::vector<wchar_t> subkey(max_subkey + 2);
  for (DWORD i = 0;; ++i) {
    DWORD len = static_cast<DWORD>(subkey.size());
    s = RegEnumKeyExW(key, i, subkey.data(), &len, nullptr, nullptr, nullptr, nullptr);
    if (s != ERROR_SUCCESS) break;
    std::vector<char> n8 = utf8(subkey.data());
    say("subkey\t%s\n", n8.data());
  }
  RegCloseKey(key);
  say("end\n");
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HKEY root = nullptr;
  const wchar_t* path = nullptr;
  if (argc < 3 || !split_key(argv[1], &root, &path)) {
    say("usage: regset HKCU\\path (set NAME TYPE hex:DATA | delete NAME | deletekey | dump)...\n");
    return 2;
  }
  bool ok = true;
  for (int i = 2; i < argc; ++i) {
    const wchar_t* op = argv[i];
    if (!wcscmp(op, L"set") && i + 3 < argc) {
      DWORD type = 0;
      std::vector<BYTE> data;
      if (!parse_type(argv[i + 2], &type) || !parse_data(argv[i + 3], &data)) {
        say("error: bad type or data for set\n");
        return 2;
      }
      ok = do_set(root, path, argv[i + 1], type, data) && ok;
      i += 3;
    } else if (!wcscmp(op, L"delete") && i + 1 < argc) {
      if (!do_delete(root, path, argv[i + 1])) {
        say("error: delete failed\n");
        ok = false;
      }
      ++i;
    } else if (!wcscmp(op, L"deletekey")) {
      if (!do_delete_key(root, path)) {
        say("error: deletekey failed\n");
        ok = false;
      }
    } else if (!wcscmp(op, L"dump")) {
      if (!do_dump(root, path)) {
        say("error: dump failed\n");
        ok = false;
      }
    } else {
      say("error: unknown or incomplete operation\n");
      return 2;
    }
  }
  return ok ? 0 : 1;
}
