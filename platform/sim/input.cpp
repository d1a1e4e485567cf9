// The simulated session's keyboard: the input stream, low-level hooks, SendInput, the key state,
// the foreground window and the message loop that delivers input to the hook.
//
// As on Windows, injected events enter the same stream as physical ones and reach the hook in
// stream order, on the thread that installed it, while that thread waits in GetMessageW.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/sim/machine.h"

using namespace sim;
using namespace sim::detail;

namespace {

struct KeyName {
  int virtualKey;
  DWORD scanCode;
  bool e0;      // the keyboard sends it with the E0 prefix
  bool kbdExt;  // the layout marks it KBDEXT although the keyboard sends no E0
};

// Set-1 scan codes of the keys the tests use (Microsoft's USB HID to PS/2 Scan Code Translation
// Table), the US layout's virtual keys for them (kbdus.c: ausVK, aE0VscToVk). Right Shift and Num
// Lock carry KBDEXT there ("Right-hand Shift key must have KBDEXT bit set", "VK_NUMLOCK is an
// Extended key"), and a hook sees both with LLKHF_EXTENDED (reported).
constexpr KeyName kKeys[] = {
    {VK_LSHIFT, 0x2A, false, false},   {VK_RSHIFT, 0x36, false, true}, {VK_LCONTROL, 0x1D, false, false},
    {VK_RCONTROL, 0x1D, true, false},  {VK_LMENU, 0x38, false, false}, {VK_RMENU, 0x38, true, false},
    {VK_NUMLOCK, 0x45, false, true},   {VK_NUMPAD7, 0x47, false, false}, {VK_NUMPAD8, 0x48, false, false},
    {'A', 0x1E, false, false},         {'B', 0x30, false, false},      {'C', 0x2E, false, false},
    {'D', 0x20, false, false},         {'E', 0x12, false, false},      {'F', 0x21, false, false},
    {'Q', 0x10, false, false},         {'W', 0x11, false, false},      {'X', 0x2D, false, false},
    {'Z', 0x2C, false, false},         {0x20, 0x39, false, false} /* space */,
};

// kbdus.c marks the keypad's digits KBDNUMPAD | KBDSPECIAL: with Num Lock on they are VK_NUMPADn,
// otherwise (and with Shift held) the navigation key printed beside the digit.
struct KeypadKey {
  DWORD scanCode;
  int numberKey;
  int navigationKey;
};
constexpr KeypadKey kKeypad[] = {{0x47, VK_NUMPAD7, VK_HOME}, {0x48, VK_NUMPAD8, VK_UP}};

// kbd.h: SCANCODE_SIMULATED (FAKE_KEYSTROKE >> 16) marks a key event the layout made up.
constexpr DWORD kSimulated = 0x200;

const KeyName* KeyOf(int virtualKey) {
  for (const KeyName& k : kKeys) {
    if (k.virtualKey == virtualKey) return &k;
  }
  return nullptr;
}

// What the US layout maps a scan code to, as for an event injected by scan code.
int VirtualKeyOfScan(DWORD scanCode, bool e0) {
  for (const KeyName& k : kKeys) {
    if (k.scanCode == scanCode && k.e0 == e0) return k.virtualKey;
  }
  return 0;
}

const KeypadKey* KeypadKeyOf(DWORD scanCode) {
  for (const KeypadKey& k : kKeypad) {
    if (k.scanCode == scanCode) return &k;
  }
  return nullptr;
}

// RAWKEYBOARD's VKey is "the corresponding legacy virtual-key code": for either key of a pair the
// generic one (reported: on Windows, and under Wine 8 as keytrace --raw shows).
USHORT RawVirtualKey(DWORD virtualKey) {
  switch (virtualKey) {
    case VK_LSHIFT:
    case VK_RSHIFT:
      return VK_SHIFT;
    case VK_LCONTROL:
    case VK_RCONTROL:
      return VK_CONTROL;
    case VK_LMENU:
    case VK_RMENU:
      return VK_MENU;
    default:
      return static_cast<USHORT>(virtualKey);
  }
}

bool AltDownLocked() {
  const Machine& m = TheMachine();
  return m.keyDown[VK_LMENU] || m.keyDown[VK_RMENU];
}

Object* TopHookLocked() {
  Machine& m = TheMachine();
  for (auto it = m.objects.rbegin(); it != m.objects.rend(); ++it) {
    if (it->kind == Kind::Hook && it->open && !it->removedSilently) return &*it;
  }
  return nullptr;
}

ThreadRecord* RawInputThreadLocked() {
  Machine& m = TheMachine();
  const size_t index = IndexOf(reinterpret_cast<HANDLE>(m.rawTarget));
  return index == kNoObject ? nullptr : m.objects[index].windowThread;
}

// The raw input for an event that passed the hooks: a WM_INPUT in the registered window's queue.
// Raw input reports what the keyboard sent (RAWKEYBOARD: MakeCode is the key's scan code, RI_KEY_E0
// its E0 prefix), not what the layout made of it.
void PostRawInputLocked(const StreamEvent& entry) {
  Machine& m = TheMachine();
  ThreadRecord* thread = RawInputThreadLocked();
  if (thread == nullptr) return;
  const KBDLLHOOKSTRUCT& e = entry.event;
  USHORT makeCode = static_cast<USHORT>(e.scanCode);
  if ((e.scanCode & kSimulated) != 0) {
    // A key the layout made up is no key the keyboard sent; reports differ on whether raw input
    // shows AltGr's left Ctrl all the same. The keypad's fake Shifts it does not show.
    if (!m.facts.rawShowsAltGrCtrl || e.vkCode != VK_LCONTROL) return;
    makeCode = static_cast<USHORT>(e.scanCode & ~kSimulated);
  }
  if (e.vkCode == VK_PACKET) {
    // A KEYEVENTF_UNICODE keystroke: reported both as no raw input at all and with a MakeCode that
    // may be anything.
    if (m.facts.packetRawMakeCode == 0) return;
    makeCode = m.facts.packetRawMakeCode;
  }
  // Right Shift and Num Lock are extended to a hook by the layout's KBDEXT alone: the keyboard
  // sends no E0 for them. Wine 8 gives Num Lock RI_KEY_E0 in raw input too.
  const bool layoutOnly = makeCode == 0x36 || (makeCode == 0x45 && !m.facts.numLockE0InRaw);
  const bool e0 = (e.flags & LLKHF_EXTENDED) != 0 && !layoutOnly;
  RAWINPUT raw = {};
  raw.header.dwType = RIM_TYPEKEYBOARD;
  raw.header.dwSize = sizeof raw;
  raw.header.wParam = RIM_INPUTSINK;
  RAWKEYBOARD& k = raw.data.keyboard;
  k.MakeCode = makeCode;
  k.Flags = ((e.flags & LLKHF_UP) ? RI_KEY_BREAK : 0) | (e0 ? RI_KEY_E0 : 0);
  k.VKey = RawVirtualKey(e.vkCode);
  k.Message = entry.message;
  k.ExtraInformation = static_cast<ULONG>(e.dwExtraInfo);
  m.rawRecords.push_back(raw);
  MSG message = {};
  message.hwnd = m.rawTarget;
  message.message = WM_INPUT;
  message.wParam = RIM_INPUTSINK;
  message.lParam = static_cast<LPARAM>(m.rawRecords.size());
  message.time = static_cast<DWORD>((entry.ticks - kStartTicks) / kTicksPerMs);
  thread->posted.push_back(message);
  WakeQueueWaiterLocked(thread);
}

// Whether a message-loop call on self has something to do: a sent message, a quit, input for its
// hook, a posted message.
bool QueueReadyLocked(ThreadRecord* self) {
  return !self->sent.empty() || self->quitPosted || !self->posted.empty() ||
         (HasPendingInputLocked() && DelivererLocked() == self && !TheMachine().inputHeld);
}

WNDPROC WindowProcLocked(HWND window) {
  const size_t index = IndexOf(reinterpret_cast<HANDLE>(window));
  const Object* object = index == kNoObject ? nullptr : &TheMachine().objects[index];
  return object != nullptr && object->kind == Kind::Window && object->open ? object->windowProc : nullptr;
}

// One step of GetMessageW and PeekMessageW: messages sent to the thread's windows first, each to
// its window procedure ("During this call, the system delivers pending, nonqueued messages":
// GetMessage and PeekMessage, learn.microsoft.com), then input through the hook, then a posted
// message. True with a message to return. A low-level hook is called by "sending a message to the
// thread that installed the hook" (LowLevelKeyboardProc), and sent messages come before "Input
// (hardware) messages" (PeekMessage), so every queued event reaches the hook before the WM_INPUT
// of the first is returned, however many there are: a burst runs the hook ahead of raw input by
// its whole length (reported: Wine 8 ran it 218 events ahead).
bool TakeMessage(std::unique_lock<std::mutex>& lock, ThreadRecord* self, MSG* message, bool& quit) {
  Machine& m = TheMachine();
  for (;;) {
    if (!self->sent.empty()) {
      const MSG sent = self->sent.front();
      self->sent.pop_front();
      const WNDPROC proc = WindowProcLocked(sent.hwnd);
      lock.unlock();
      if (proc != nullptr) proc(sent.hwnd, sent.message, sent.wParam, sent.lParam);
      lock.lock();
      ++self->sentDispatched;
      m.changed.notify_all();
      continue;
    }
    if (self->quitPosted) {
      self->quitPosted = false;
      *message = {};
      message->message = WM_QUIT;
      quit = true;
      // The loop ends here: a hook of this thread's now waits for it until it is removed.
      for (const Object& o : m.objects) {
        if (o.kind == Kind::Hook && o.open && o.hookThread == self) self->hookWaitsOutsideLoop = true;
      }
      return true;
    }
    // A hook behind another program's is called late: the raw input already waits.
    if (!self->posted.empty() && (m.rawBeforeHook || !HasPendingInputLocked() || DelivererLocked() != self)) {
      *message = self->posted.front();
      self->posted.pop_front();
      m.rawInputNotCleanedUp += message->message == WM_INPUT;
      return true;
    }
    if (HasPendingInputLocked() && DelivererLocked() == self && !m.inputHeld) {
      lock.unlock();
      DeliverInput(1);
      lock.lock();
      continue;
    }
    if (!self->posted.empty()) {
      *message = self->posted.front();
      self->posted.pop_front();
      m.rawInputNotCleanedUp += message->message == WM_INPUT;
      return true;
    }
    return false;
  }
}

// queueResult: what the wait returns when the queue wakes it.
void WaitOnQueueLocked(std::unique_lock<std::mutex>& lock, ThreadRecord* self, uint64_t deadline, DWORD queueResult) {
  Machine& m = TheMachine();
  self->state = ThreadState::Waiting;
  self->waitObject = kMessageQueue;
  self->queueResult = queueResult;
  self->deadline = deadline;
  self->waitOrder = ++m.waitOrder;
  m.changed.notify_all();
  m.changed.wait(lock, [self] { return self->state != ThreadState::Waiting; });
}

// Keys pressed on another desktop, or while an elevated window has the focus, reach no hook and no
// raw input of ours; only the physical key state changes.
//  - A global low-level hook watches "all threads in the same desktop as the calling thread"
//    (SetWindowsHookEx, learn.microsoft.com): the secure desktop of Ctrl+Alt+Del, of a UAC prompt
//    and of the lock screen is another desktop.
//  - Reading the input of higher integrity levels "using low-level hooks, raw input, GetKeyState,
//    GetAsyncKeyState" is what UIAccess adds to a process ("User Account Control: Only elevate
//    UIAccess applications that are installed in secure locations", learn.microsoft.com): without
//    it, a program run as administrator in the foreground hides its keys from ours (reported, not
//    documented as such).
bool KeysGoElsewhereLocked() {
  const Machine& m = TheMachine();
  return m.secureDesktop || m.foregroundElevated;
}

// One key event as the layout hands it to the hooks.
void QueueKeyLocked(int virtualKey, DWORD scanCode, bool extended, bool down) {
  Machine& m = TheMachine();
  KBDLLHOOKSTRUCT event = {};
  event.vkCode = static_cast<DWORD>(virtualKey);
  event.scanCode = scanCode;
  event.time = static_cast<DWORD>((m.now - kStartTicks) / kTicksPerMs);
  const bool isAlt = virtualKey == VK_LMENU || virtualKey == VK_RMENU;
  UINT message;
  if (down) {
    message = (isAlt || AltDownLocked()) ? WM_SYSKEYDOWN : WM_KEYDOWN;
  } else {
    event.flags = LLKHF_UP;
    message = (!isAlt && AltDownLocked()) ? WM_SYSKEYUP : WM_KEYUP;
  }
  if (AltDownLocked() && !isAlt) event.flags |= LLKHF_ALTDOWN;
  if (extended) event.flags |= LLKHF_EXTENDED;
  if (KeysGoElsewhereLocked()) {
    StreamEvent entry = {m.now, message, event, false, false, false};
    entry.elsewhere = true;
    m.stream.push_back(entry);
    m.keyDown[virtualKey & 0xFF] = down;
    return;
  }
  QueueEventLocked(message, event);
}

// With Num Lock on and a Shift held, a keypad digit is its navigation key and the layout lifts the
// Shift for it: a fake Shift-up before the key goes down and a fake Shift-down after it comes up,
// scanCode 0x22A or 0x236 (SCANCODE_LSHIFT or SCANCODE_RSHIFT with SCANCODE_SIMULATED, kbd.h),
// while the user holds Shift throughout (reported, not documented).
void LiftedShiftsLocked(bool down) {
  Machine& m = TheMachine();
  if (m.keypadShiftsLifted & 1) QueueKeyLocked(VK_LSHIFT, 0x2A | kSimulated, false, down);
  if (m.keypadShiftsLifted & 2) QueueKeyLocked(VK_RSHIFT, 0x36 | kSimulated, true, down);
}

void KeypadKeyLocked(const KeypadKey& key, bool down) {
  Machine& m = TheMachine();
  if (down) {
    const int shifts = (m.keyDown[VK_LSHIFT] ? 1 : 0) | (m.keyDown[VK_RSHIFT] ? 2 : 0);
    m.keypadShiftsLifted = m.numLockOn ? shifts : 0;
    m.keypadVirtualKey = m.numLockOn && shifts == 0 ? key.numberKey : key.navigationKey;
    LiftedShiftsLocked(false);
    QueueKeyLocked(m.keypadVirtualKey, key.scanCode, false, true);
  } else {
    QueueKeyLocked(m.keypadVirtualKey, key.scanCode, false, false);
    LiftedShiftsLocked(true);
    m.keypadShiftsLifted = 0;
  }
}

void PhysicalKey(int virtualKey, bool down) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  const KeyName* key = KeyOf(virtualKey);
  const DWORD scanCode = key != nullptr ? key->scanCode : 0;
  if (const KeypadKey* keypad = KeypadKeyOf(scanCode)) {
    KeypadKeyLocked(*keypad, down);
    return;
  }
  // A layout with AltGr (KLLF_ALTGR, as the German sample kbdgr.c) makes right Alt Ctrl+Alt to
  // applications by sending a left Ctrl with it: hooks see VK_LCONTROL with scanCode 0x21D
  // (SCANCODE_CTRL with SCANCODE_SIMULATED, kbd.h), neither injected nor extended, just before
  // right Alt, and its key-up just before right Alt's; GetAsyncKeyState(VK_LCONTROL) reports it
  // down meanwhile (reported, not documented).
  if (virtualKey == VK_RMENU && m.facts.altGr) QueueKeyLocked(VK_LCONTROL, 0x1D | kSimulated, false, down);
  QueueKeyLocked(virtualKey, scanCode, key != nullptr && (key->e0 || key->kbdExt), down);
  if (virtualKey == VK_NUMLOCK && down) m.numLockOn = !m.numLockOn;
}

// An event SendInput injects, as the hooks see it.
void QueueInjectedLocked(const KEYBDINPUT& ki, bool otherProgram) {
  Machine& m = TheMachine();
  const bool up = (ki.dwFlags & KEYEVENTF_KEYUP) != 0;
  bool extended = (ki.dwFlags & KEYEVENTF_EXTENDEDKEY) != 0;
  KBDLLHOOKSTRUCT event = {};
  event.scanCode = ki.wScan;
  if (ki.dwFlags & KEYEVENTF_UNICODE) {
    // KEYBDINPUT: the system synthesizes a VK_PACKET keystroke for the UTF-16 unit in wScan; hooks
    // get the unit in scanCode (reported).
    event.vkCode = VK_PACKET;
  } else if (ki.dwFlags & KEYEVENTF_SCANCODE) {
    // Windows derives the virtual key of an event injected by scan code, as for a physical one
    // (Wine 8 leaves vkCode 0). Whether a hook then sees right Shift extended, as the layout's
    // KBDEXT makes the physical one, is not known: a test chooses.
    event.vkCode = static_cast<DWORD>(VirtualKeyOfScan(ki.wScan, extended));
    extended = extended || (event.vkCode == VK_RSHIFT && m.facts.injectedRightShiftExtended);
  } else {
    event.vkCode = ki.wVk;
  }
  event.flags = LLKHF_INJECTED | (up ? LLKHF_UP : 0) | (extended ? LLKHF_EXTENDED : 0);
  event.time = static_cast<DWORD>((m.now - kStartTicks) / kTicksPerMs);
  event.dwExtraInfo = ki.dwExtraInfo;
  const bool isAlt = event.vkCode == VK_LMENU || event.vkCode == VK_RMENU;
  const UINT message = up ? WM_KEYUP : ((isAlt || AltDownLocked()) ? WM_SYSKEYDOWN : WM_KEYDOWN);
  QueueEventLocked(message, event, otherProgram);
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

bool InjectedByProgram(const StreamEvent& e) { return (e.event.flags & LLKHF_INJECTED) != 0 && !e.otherProgram; }

std::string TraceEntry(const StreamEvent& e) {
  const bool up = (e.event.flags & LLKHF_UP) != 0;
  std::string entry = std::to_string((e.ticks - kStartTicks) / kTicksPerMs) + ":";
  if (InjectedByProgram(e)) return entry + (up ? "-" : "+") + Hex(e.event.scanCode);
  return entry + "P" + (up ? "-" : "+") + Hex(e.event.vkCode);
}

}  // namespace

namespace sim::detail {

ThreadRecord* DelivererLocked() {
  const Object* hook = TopHookLocked();
  return hook == nullptr ? nullptr : hook->hookThread;
}

void QueueEventLocked(UINT message, const KBDLLHOOKSTRUCT& event, bool otherProgram) {
  Machine& m = TheMachine();
  const StreamEvent entry = {m.now, message, event, m.swallowEvents > 0, m.swallowBehindEvents > 0, otherProgram};
  if (entry.swallowed) --m.swallowEvents;
  if (entry.swallowedBehind) --m.swallowBehindEvents;
  m.pendingInput.push_back(entry);
  m.stream.push_back(entry);
  if (m.rawBeforeHook && !entry.swallowed) PostRawInputLocked(entry);
  ThreadRecord* deliverer = DelivererLocked();
  if (deliverer != nullptr) WakeQueueWaiterLocked(deliverer);
  m.changed.notify_all();
}

bool HasPendingInputLocked() { return TheMachine().pendingHead < TheMachine().pendingInput.size(); }

bool PopInputLocked(StreamEvent& entry) {
  Machine& m = TheMachine();
  if (m.pendingHead == m.pendingInput.size()) return false;
  entry = m.pendingInput[m.pendingHead++];
  if (m.pendingHead == m.pendingInput.size()) {
    m.pendingInput.clear();  // keeps its capacity
    m.pendingHead = 0;
  }
  return true;
}

}  // namespace sim::detail

HHOOK WINAPI SetWindowsHookExW(int hookId, HOOKPROC proc, HINSTANCE, DWORD threadId) {
  const bool fail = EnterCall(Call::SetWindowsHookExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (fail || hookId != WH_KEYBOARD_LL || proc == nullptr || threadId != 0) {
    LogLocked(Call::SetWindowsHookExW, "failed");
    LastError() = fail ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const size_t index = AddObject(Kind::Hook);
  m.objects[index].hookProc = proc;
  m.objects[index].hookThread = CurrentThread();
  if (CurrentThread() != nullptr) CurrentThread()->hookWaitsOutsideLoop = true;
  LogLocked(Call::SetWindowsHookExW, m.objects[index].name);
  return reinterpret_cast<HHOOK>(HandleOf(index));
}

BOOL WINAPI UnhookWindowsHookEx(HHOOK hook) {
  EnterCall(Call::UnhookWindowsHookEx);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(reinterpret_cast<HANDLE>(hook), Kind::Hook, "UnhookWindowsHookEx");
  if (object == nullptr) return FALSE;
  LogLocked(Call::UnhookWindowsHookEx, object->name);
  object->open = false;
  if (object->hookThread != nullptr) object->hookThread->hookWaitsOutsideLoop = false;
  return object->removedSilently ? FALSE : TRUE;
}

LRESULT WINAPI CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
  EnterCall(Call::CallNextHookEx);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  m.lastNextHook = {hook, code, wParam, lParam};
  return m.nextHookResult;
}

BOOL WINAPI GetMessageW(LPMSG message, HWND, UINT, UINT) {
  const bool fail = EnterCall(Call::GetMessageW);
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.lock);
  if (fail) return -1;
  ThreadRecord* self = CurrentThread();
  if (self == nullptr) {
    lock.unlock();
    Die("GetMessageW called outside a simulated thread");
  }
  for (;;) {
    bool quit = false;
    if (TakeMessage(lock, self, message, quit)) return quit ? FALSE : TRUE;
    WaitOnQueueLocked(lock, self, kNever, WAIT_OBJECT_0);
  }
}

BOOL WINAPI PeekMessageW(LPMSG message, HWND, UINT, UINT, UINT) {
  EnterCall(Call::PeekMessageW);
  std::unique_lock<std::mutex> lock(TheMachine().lock);
  ThreadRecord* self = CurrentThread();
  bool quit = false;
  return self != nullptr && TakeMessage(lock, self, message, quit) ? TRUE : FALSE;
}

// As on Windows: the lowest index of a signalled object wins, WAIT_OBJECT_0 + i; the thread's queue
// (input, a sent message, a posted one) comes as WAIT_OBJECT_0 + count, after the objects; at most
// MAXIMUM_WAIT_OBJECTS - 1 handles, none twice (MsgWaitForMultipleObjectsEx, learn.microsoft.com).
DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask,
                                         DWORD) {
  const bool fail = EnterCall(Call::MsgWaitForMultipleObjectsEx);
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.lock);
  ThreadRecord* self = CurrentThread();
  if (fail || self == nullptr || count > MAXIMUM_WAIT_OBJECTS - 1 || (count > 0 && handles == nullptr)) {
    return WAIT_FAILED;
  }
  // A message sent by another thread wakes the wait only with QS_SENDMESSAGE in the mask.
  if ((wakeMask & QS_SENDMESSAGE) == 0) m.problems.push_back("MsgWaitForMultipleObjectsEx deaf to sent messages");
  std::vector<size_t> targets;
  for (DWORD i = 0; i < count; ++i) {
    DWORD error = 0;
    const size_t target = WaitTargetLocked(handles[i], "MsgWaitForMultipleObjectsEx", error);
    if (target == kNoObject) {
      LastError() = error;
      return WAIT_FAILED;
    }
    for (size_t earlier : targets) {
      if (earlier == target) m.problems.push_back("MsgWaitForMultipleObjectsEx given a handle twice");
    }
    targets.push_back(target);
  }
  for (DWORD i = 0; i < count; ++i) {
    if (!IsSignalledLocked(m.objects[targets[i]])) continue;
    ConsumeLocked(m.objects[targets[i]]);
    return WAIT_OBJECT_0 + i;
  }
  if (QueueReadyLocked(self)) return WAIT_OBJECT_0 + count;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  self->waitObjects = std::move(targets);
  WaitOnQueueLocked(lock, self, milliseconds == INFINITE ? kNever : TimedWaitEndLocked(milliseconds),
                    WAIT_OBJECT_0 + count);
  return self->result;
}

BOOL WINAPI TranslateMessage(const MSG*) {
  EnterCall(Call::TranslateMessage);
  return FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* message) {
  EnterCall(Call::DispatchMessageW);
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> guard(TheMachine().lock);
    proc = WindowProcLocked(message->hwnd);
  }
  return proc == nullptr ? 0 : proc(message->hwnd, message->message, message->wParam, message->lParam);
}

UINT WINAPI SendInput(UINT count, LPINPUT inputs, int size) {
  const bool fail = EnterCall(Call::SendInput);
  Machine& m = TheMachine();
  std::function<void()> after;
  {
    std::lock_guard<std::mutex> guard(m.lock);
    LogLocked(Call::SendInput);
    if (count == 0 || inputs == nullptr || size != static_cast<int>(sizeof(INPUT))) {
      m.problems.push_back("SendInput given count " + std::to_string(count) + " and size " + std::to_string(size));
      LastError() = ERROR_INVALID_PARAMETER;
      return 0;
    }
    if (!m.afterSendInput.empty()) {
      after = std::move(m.afterSendInput.front());
      m.afterSendInput.pop_front();
    }
    if (fail || m.inputBlocked) {
      LastError() = ERROR_ACCESS_DENIED;
      return 0;
    }
    for (UINT i = 0; i < count; ++i) {
      const INPUT& input = inputs[i];
      m.sent.push_back({m.now, input});
      // "This function fails when it is blocked by UIPI. Note that neither GetLastError nor the
      // return value will indicate the failure was caused by UIPI blocking" (SendInput,
      // learn.microsoft.com): input for an elevated window is counted as accepted and goes nowhere.
      if (input.type == INPUT_KEYBOARD && !m.foregroundElevated) QueueInjectedLocked(input.ki, false);
    }
    m.now += m.sendInputCostTicks;
  }
  if (after) after();
  return count;
}

SHORT WINAPI GetAsyncKeyState(int virtualKey) {
  EnterCall(Call::GetAsyncKeyState);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  // "The return value is zero for the following cases: The current desktop is not the active
  // desktop; ... UI Privilege Isolation (UIPI) prevents the calling thread from accessing the
  // foreground thread" (GetAsyncKeyState, learn.microsoft.com).
  if (KeysGoElsewhereLocked()) return 0;
  bool down = m.keyDown[virtualKey & 0xFF];
  if (virtualKey == VK_SHIFT) down = m.keyDown[VK_LSHIFT] || m.keyDown[VK_RSHIFT];
  if (virtualKey == VK_CONTROL) down = m.keyDown[VK_LCONTROL] || m.keyDown[VK_RCONTROL];
  if (virtualKey == VK_MENU) down = m.keyDown[VK_LMENU] || m.keyDown[VK_RMENU];
  return down ? static_cast<SHORT>(0x8000) : static_cast<SHORT>(0);
}

HWND WINAPI GetForegroundWindow() {
  EnterCall(Call::GetForegroundWindow);
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().foreground;
}

namespace sim {

HWND Window(int n) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x20000 + 0x10 * n)); }

void SetForegroundWindow(HWND window) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().foreground = window;
}

void SetKeyState(int virtualKey, bool down) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().keyDown[virtualKey & 0xFF] = down;
}

DWORD ScanCodeOf(int virtualKey) {
  const KeyName* key = KeyOf(virtualKey);
  return key != nullptr ? key->scanCode : 0;
}

void Press(int virtualKey) { PhysicalKey(virtualKey, true); }
void Release(int virtualKey) { PhysicalKey(virtualKey, false); }

void QueueEvent(UINT message, const KBDLLHOOKSTRUCT& event) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  QueueEventLocked(message, event);
}

void TypeUnicode(WORD unit) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  for (DWORD up : {0u, static_cast<DWORD>(KEYEVENTF_KEYUP)}) {
    QueueInjectedLocked({0, unit, KEYEVENTF_UNICODE | up, 0, 0}, true);
  }
}

void SendInputOfOtherProgram(const std::vector<INPUT>& inputs) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  for (const INPUT& input : inputs) QueueInjectedLocked(input.ki, true);
}

void SetInputFacts(const InputFacts& facts) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().facts = facts;
}

size_t DeliverInput(size_t maxEvents) {
  Machine& m = TheMachine();
  size_t delivered = 0;
  while (delivered < maxEvents) {
    StreamEvent entry;
    HOOKPROC proc = nullptr;
    {
      std::lock_guard<std::mutex> guard(m.lock);
      if (!PopInputLocked(entry)) break;
      ++delivered;
      if (entry.swallowed) continue;  // a hook ahead of ours keeps it from everyone after it
      if (m.skipHookEvents > 0) {
        --m.skipHookEvents;
      } else if (const Object* hook = TopHookLocked()) {
        proc = hook->hookProc;
      }
    }
    // The hook runs without the lock: it calls back into the machine.
    if (proc != nullptr) proc(HC_ACTION, entry.message, reinterpret_cast<LPARAM>(&entry.event));
    {
      // As on Windows, the key state changes once the hook chain has passed the event on, for
      // injected events as for physical ones: inside the hook it is still the state before ("the
      // callback function is called before the asynchronous state of the key is updated",
      // LowLevelKeyboardProc, learn.microsoft.com).
      std::lock_guard<std::mutex> guard(m.lock);
      if (entry.swallowedBehind) continue;  // it ends with the hook behind ours
      if (entry.event.vkCode != 0) m.keyDown[entry.event.vkCode & 0xFF] = (entry.event.flags & LLKHF_UP) == 0;
      if (!m.rawBeforeHook) PostRawInputLocked(entry);
    }
  }
  return delivered;
}

size_t PendingInput() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().pendingInput.size() - TheMachine().pendingHead;
}

std::vector<StreamEvent> Stream() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().stream;
}

std::vector<SentInput> SentInputs() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().sent;
}

std::string InjectedTrace() {
  std::string trace;
  for (const StreamEvent& e : Stream()) {
    if (!InjectedByProgram(e)) continue;
    if (!trace.empty()) trace += ' ';
    trace += TraceEntry(e);
  }
  return trace;
}

std::string StreamTrace() {
  std::string trace;
  for (const StreamEvent& e : Stream()) {
    if (!trace.empty()) trace += ' ';
    trace += TraceEntry(e);
  }
  return trace;
}

NextHookCall LastCallNextHook() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().lastNextHook;
}

void SetCallNextHookResult(LRESULT result) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().nextHookResult = result;
}

void RemoveHookSilently() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  if (Object* hook = TopHookLocked()) hook->removedSilently = true;
}

void SkipHookForNextEvents(int n) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().skipHookEvents = n;
}

void SwallowNextEvent() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  ++TheMachine().swallowEvents;
}

void SwallowBehindNextEvents(int n) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().swallowBehindEvents = n;
}

void PostRawInputOnly(USHORT makeCode, USHORT flags) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  StreamEvent entry = {TheMachine().now, WM_KEYDOWN, {}, false, false, false};
  entry.event.scanCode = makeCode;
  PostRawInputLocked(entry);
  TheMachine().rawRecords.back().data.keyboard.Flags = flags;  // as given, E1 and all
}

void SetRawInputBeforeHook(bool before) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().rawBeforeHook = before;
}

int MessageOnlyWindows() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  int count = 0;
  for (const Object& o : TheMachine().objects) count += o.kind == Kind::Window && o.open && o.messageOnly;
  return count;
}

void HoldInput(bool held) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().inputHeld = held;
  if (held) return;
  if (ThreadRecord* deliverer = DelivererLocked()) WakeQueueWaiterLocked(deliverer);
  TheMachine().changed.notify_all();
}

void SetSendInputCost(uint32_t microseconds) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().sendInputCostTicks = microseconds * (kTicksPerMs / 1000);
}

void BlockInput(bool blocked) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().inputBlocked = blocked;
}

void AfterNextSendInput(std::function<void()> fn) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().afterSendInput.push_back(std::move(fn));
}

}  // namespace sim

// --- Windows and raw input ----------------------------------------------------------------------

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* windowClass) {
  const bool fail = EnterCall(Call::RegisterClassExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  const std::wstring name = windowClass->lpszClassName;
  for (const auto& known : m.windowClasses) {
    if (known.name == name) return 0;
  }
  if (fail || windowClass->cbSize != sizeof(WNDCLASSEXW) || windowClass->lpfnWndProc == nullptr) return 0;
  m.windowClasses.push_back({name, windowClass->hInstance, windowClass->lpfnWndProc});
  LogLocked(Call::RegisterClassExW);
  return static_cast<ATOM>(0xC000 + m.windowClasses.size());
}

BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  for (const Object& o : m.objects) {
    if (o.kind == Kind::Window && o.open) {
      m.problems.push_back("UnregisterClassW while a window exists");
      return FALSE;
    }
  }
  for (auto it = m.windowClasses.begin(); it != m.windowClasses.end(); ++it) {
    if (it->name != className || it->module != instance) continue;  // a class belongs to its module
    m.windowClasses.erase(it);
    return TRUE;
  }
  m.problems.push_back("UnregisterClassW of a class never registered");
  return FALSE;
}

HWND WINAPI CreateWindowExW(DWORD, LPCWSTR className, LPCWSTR, DWORD, int, int, int, int, HWND parent, void*,
                            HINSTANCE, LPVOID) {
  const bool fail = EnterCall(Call::CreateWindowExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  WNDPROC proc = nullptr;
  for (const auto& c : m.windowClasses) {
    if (c.name == className) proc = c.proc;
  }
  if (fail || proc == nullptr) return nullptr;
  const size_t index = AddObject(Kind::Window);
  m.objects[index].windowProc = proc;
  m.objects[index].messageOnly = parent == HWND_MESSAGE;
  m.objects[index].windowThread = CurrentThread();
  LogLocked(Call::CreateWindowExW, m.objects[index].name);
  return reinterpret_cast<HWND>(HandleOf(index));
}

BOOL WINAPI DestroyWindow(HWND window) {
  EnterCall(Call::DestroyWindow);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(reinterpret_cast<HANDLE>(window), Kind::Window, "DestroyWindow");
  if (object == nullptr) return FALSE;
  LogLocked(Call::DestroyWindow, object->name);
  object->open = false;
  if (m.rawTarget == window) m.problems.push_back("DestroyWindow of the raw input target while registered");
  // "When a window no longer requires these notifications, it must call
  // WTSUnRegisterSessionNotification before being destroyed" (WTSRegisterSessionNotification).
  if (object->sessionRegistrations > 0) m.problems.push_back("DestroyWindow of a window registered for session notifications");
  for (const Object& o : m.objects) {
    if (o.kind == Kind::PowerNotification && o.open && o.recipient == window) {
      m.problems.push_back("DestroyWindow of a window registered for suspend and resume notifications");
    }
  }
  return TRUE;
}

// The system frees a WM_INPUT's raw input here.
LRESULT WINAPI DefWindowProcW(HWND, UINT message, WPARAM, LPARAM) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().rawInputNotCleanedUp -= message == WM_INPUT;
  return 0;
}

BOOL WINAPI RegisterRawInputDevices(const RAWINPUTDEVICE* devices, UINT count, UINT size) {
  const bool fail = EnterCall(Call::RegisterRawInputDevices);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (fail || count != 1 || size != sizeof(RAWINPUTDEVICE) || devices->usUsagePage != 1 || devices->usUsage != 6) {
    return FALSE;
  }
  if (devices->dwFlags == RIDEV_REMOVE) {
    if (devices->hwndTarget != nullptr) return FALSE;  // as on Windows: a removal names no window
    LogLocked(Call::RegisterRawInputDevices, "remove");
    m.rawTarget = nullptr;
    return TRUE;
  }
  // RIDEV_INPUTSINK needs a window to deliver to.
  if (devices->dwFlags != RIDEV_INPUTSINK || Find(reinterpret_cast<HANDLE>(devices->hwndTarget), Kind::Window,
                                                  "RegisterRawInputDevices") == nullptr) {
    return FALSE;
  }
  LogLocked(Call::RegisterRawInputDevices, "keyboard");
  m.rawTarget = devices->hwndTarget;
  return TRUE;
}

UINT WINAPI GetRawInputData(HRAWINPUT rawInput, UINT command, LPVOID data, UINT* size, UINT headerSize) {
  const bool fail = EnterCall(Call::GetRawInputData);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  const auto index = reinterpret_cast<uintptr_t>(rawInput);
  if (fail || command != RID_INPUT || headerSize != sizeof(RAWINPUTHEADER) || index == 0 ||
      index > m.rawRecords.size()) {
    return static_cast<UINT>(-1);
  }
  if (data == nullptr) {
    *size = sizeof(RAWINPUT);
    return 0;
  }
  if (*size < sizeof(RAWINPUT)) return static_cast<UINT>(-1);
  std::memcpy(data, &m.rawRecords[index - 1], sizeof(RAWINPUT));
  return sizeof(RAWINPUT);
}

// --- Session and power notifications -------------------------------------------------------------

namespace {

// SendMessage's way: the message waits for the window's thread to take it inside one of its message
// calls (GetMessageW, PeekMessageW; MsgWaitForMultipleObjectsEx returns for it), and the sender goes
// on once the window procedure has returned.
void SendToWindows(UINT message, WPARAM wParam, LPARAM lParam, bool session) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.lock);
  std::vector<std::pair<ThreadRecord*, uint64_t>> awaited;
  for (const Object& o : m.objects) {
    HWND window = nullptr;
    if (session && o.kind == Kind::Window && o.open && o.sessionRegistrations > 0) {
      window = reinterpret_cast<HWND>(HandleOf(static_cast<size_t>(&o - m.objects.data())));
    }
    if (!session && o.kind == Kind::PowerNotification && o.open) window = o.recipient;
    const size_t index = IndexOf(reinterpret_cast<HANDLE>(window));
    ThreadRecord* thread = index == kNoObject ? nullptr : m.objects[index].windowThread;
    if (thread == nullptr || thread->state == ThreadState::Ended) continue;
    MSG sent = {};
    sent.hwnd = window;
    sent.message = message;
    sent.wParam = wParam;
    sent.lParam = lParam;
    thread->sent.push_back(sent);
    awaited.emplace_back(thread, thread->sentDispatched + thread->sent.size());
    WakeQueueWaiterLocked(thread);
  }
  const bool done = m.changed.wait_for(lock, std::chrono::seconds(10), [&] {
    for (const auto& [thread, ticket] : awaited) {
      if (thread->sentDispatched < ticket && thread->state != ThreadState::Ended) return false;
    }
    return true;
  });
  if (!done) {
    lock.unlock();
    Die("a sent notification was never dispatched");
  }
}

}  // namespace

// "Session change notifications are sent in the form of a WM_WTSSESSION_CHANGE message. These
// notifications are sent only to the windows that have registered for them using this function"
// and "If this function is called before the dependent services of Remote Desktop Services have
// started, an RPC_S_INVALID_BINDING error code may be returned. When the Global\TermSrvReadyEvent
// global event is set, all dependent services have started" (WTSRegisterSessionNotification,
// learn.microsoft.com).
BOOL WINAPI WTSRegisterSessionNotification(HWND window, DWORD) {
  const bool fail = EnterCall(Call::WTSRegisterSessionNotification);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  const size_t ready = m.terminalServicesReadyEvent;
  if (fail || (ready != kNoObject && !m.objects[ready].signalled)) {
    LogLocked(Call::WTSRegisterSessionNotification, "failed");
    LastError() = RPC_S_INVALID_BINDING;  // its one documented failure
    return FALSE;
  }
  Object* object = Find(reinterpret_cast<HANDLE>(window), Kind::Window, "WTSRegisterSessionNotification");
  if (object == nullptr) {
    LastError() = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  ++object->sessionRegistrations;
  LogLocked(Call::WTSRegisterSessionNotification, object->name);
  return TRUE;
}

BOOL WINAPI WTSUnRegisterSessionNotification(HWND window) {
  EnterCall(Call::WTSUnRegisterSessionNotification);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(reinterpret_cast<HANDLE>(window), Kind::Window, "WTSUnRegisterSessionNotification");
  if (object == nullptr) return FALSE;
  LogLocked(Call::WTSUnRegisterSessionNotification, object->name);
  if (object->sessionRegistrations == 0) {
    m.problems.push_back("WTSUnRegisterSessionNotification of a window not registered");
    return FALSE;
  }
  --object->sessionRegistrations;
  return TRUE;
}

// "If Flags is DEVICE_NOTIFY_WINDOW_HANDLE, hRecipient is a handle to the window to deliver events
// to" (RegisterSuspendResumeNotification, learn.microsoft.com); a window receives the events
// "through the WM_POWERBROADCAST message" (PBT_APMSUSPEND, PBT_APMRESUMEAUTOMATIC). A message-only
// window "does not receive broadcast messages" (Message-Only Windows): only this registration
// reaches it.
HPOWERNOTIFY WINAPI RegisterSuspendResumeNotification(HANDLE recipient, DWORD flags) {
  const bool fail = EnterCall(Call::RegisterSuspendResumeNotification);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (fail || flags != DEVICE_NOTIFY_WINDOW_HANDLE ||
      Find(recipient, Kind::Window, "RegisterSuspendResumeNotification") == nullptr) {
    LogLocked(Call::RegisterSuspendResumeNotification, "failed");
    LastError() = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const size_t index = AddObject(Kind::PowerNotification);
  m.objects[index].recipient = reinterpret_cast<HWND>(recipient);
  LogLocked(Call::RegisterSuspendResumeNotification, m.objects[index].name);
  return HandleOf(index);
}

BOOL WINAPI UnregisterSuspendResumeNotification(HPOWERNOTIFY handle) {
  EnterCall(Call::UnregisterSuspendResumeNotification);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(handle, Kind::PowerNotification, "UnregisterSuspendResumeNotification");
  if (object == nullptr) return FALSE;
  LogLocked(Call::UnregisterSuspendResumeNotification, object->name);
  object->open = false;
  return TRUE;
}

namespace sim {

// On the secure desktop there is no foreground window of ours: GetForegroundWindow returns null
// ("The foreground window can be NULL in certain circumstances, such as when a window is losing
// activation", GetForegroundWindow, learn.microsoft.com; null there is reported, not documented).
void SetSecureDesktop(bool active) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (active == m.secureDesktop) return;
  m.secureDesktop = active;
  if (active) m.foregroundBehindSecureDesktop = m.foreground;
  m.foreground = active ? nullptr : m.foregroundBehindSecureDesktop;
}

void SetForegroundElevated(bool elevated) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().foregroundElevated = elevated;
}

void SendSessionChange(WPARAM code) { SendToWindows(WM_WTSSESSION_CHANGE, code, 1, true); }
void SendPowerBroadcast(WPARAM event) { SendToWindows(WM_POWERBROADCAST, event, 0, false); }

}  // namespace sim
