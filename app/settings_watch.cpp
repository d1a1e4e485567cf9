#include "app/settings_watch.h"

#include "app/keyboard_settings.h"

namespace {

struct WatchedKey {
  const wchar_t* path;
  HKEY key;       // main thread only; null while not watched
  HANDLE changed;  // auto-reset, signalled by the registry; main thread only; null with the key
};

WatchedKey watchedKeys[kSettingsWatchHandles] = {
    {L"Control Panel\\Keyboard", nullptr, nullptr},
    {L"Control Panel\\Accessibility\\Keyboard Response", nullptr, nullptr},
};

// Asynchronous: the call returns at once and the event is signalled at the next change of one of
// the key's own values (REG_NOTIFY_CHANGE_LAST_SET: a value added, deleted or changed), once per
// registration (learn.microsoft.com, RegNotifyChangeKeyValue). A registration also ends, with a
// signal, when the thread that made it exits (here the main thread, which outlives the watch) or
// its key is closed.
bool RegisterForChange(const WatchedKey& watched) {
  return RegNotifyChangeKeyValue(watched.key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, watched.changed, TRUE) ==
         ERROR_SUCCESS;
}

void CloseWatch(WatchedKey& watched) {
  // Closing the key signals its event if a registration is pending (RegNotifyChangeKeyValue), so
  // the event goes after it.
  if (watched.key != nullptr) {
    RegCloseKey(watched.key);
    watched.key = nullptr;
  }
  if (watched.changed != nullptr) {
    CloseHandle(watched.changed);
    watched.changed = nullptr;
  }
}

}  // namespace

void StartSettingsWatch() {
  for (WatchedKey& watched : watchedKeys) {
    // KEY_NOTIFY: "The key must have been opened with the KEY_NOTIFY access right."
    if (RegOpenKeyExW(HKEY_CURRENT_USER, watched.path, 0, KEY_QUERY_VALUE | KEY_NOTIFY, &watched.key) !=
        ERROR_SUCCESS) {
      watched.key = nullptr;
      continue;
    }
    watched.changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (watched.changed == nullptr || !RegisterForChange(watched)) CloseWatch(watched);
  }
  // Registered first, so that a change made while this reads is reported.
  PublishRepeatTimings(ReadRepeatTimings());
}

int SettingsWatchHandles(HANDLE* handles, int capacity) {
  int count = 0;
  for (const WatchedKey& watched : watchedKeys) {
    if (watched.changed != nullptr && count < capacity) handles[count++] = watched.changed;
  }
  return count;
}

void HandleSettingsChange(HANDLE signalled) {
  for (WatchedKey& watched : watchedKeys) {
    if (watched.changed != signalled) continue;
    // One registration reports one change: register again before reading, so that a write landing
    // during the read signals the event once more instead of being lost. A settings page writes
    // several values in a row; they cost one read per signal. A registration that fails leaves
    // the event unsignalled for good: this key's later changes go unheard, and the loop's list of
    // handles stays as it is.
    RegisterForChange(watched);
    PublishRepeatTimings(ReadRepeatTimings());
  }
}

void StopWatchingSettings(HANDLE event) {
  for (WatchedKey& watched : watchedKeys) {
    if (watched.changed == event) CloseWatch(watched);
  }
}

void StopSettingsWatch() {
  for (WatchedKey& watched : watchedKeys) CloseWatch(watched);
}
