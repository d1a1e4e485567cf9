// The subset of Win32 that Velmora uses, declared for a non-Windows host. Names, types, values
// and sizes follow the 64-bit Windows SDK so that the product compiles unchanged against either
// side; the functions are defined by the simulation library (platform/sim/*.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef LONG_PTR LRESULT;
typedef uintptr_t WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef UINT MMRESULT;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef void* PVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;

typedef void* HANDLE;
#define VELMORA_SIM_HANDLE(name) \
  struct name##__ {              \
    int unused;                  \
  };                             \
  typedef struct name##__* name
VELMORA_SIM_HANDLE(HWND);
VELMORA_SIM_HANDLE(HHOOK);
VELMORA_SIM_HANDLE(HINSTANCE);
VELMORA_SIM_HANDLE(HKEY);
VELMORA_SIM_HANDLE(HRAWINPUT);
#undef VELMORA_SIM_HANDLE
typedef HINSTANCE HMODULE;
typedef HANDLE HPOWERNOTIFY;

typedef INT_PTR(WINAPI* FARPROC)();
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
typedef LRESULT(CALLBACK* HOOKPROC)(int, WPARAM, LPARAM);
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef WORD ATOM;
typedef uint16_t USHORT;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

struct KBDLLHOOKSTRUCT {
  DWORD vkCode;
  DWORD scanCode;
  DWORD flags;
  DWORD time;
  ULONG_PTR dwExtraInfo;
};

struct MOUSEINPUT {
  LONG dx;
  LONG dy;
  DWORD mouseData;
  DWORD dwFlags;
  DWORD time;
  ULONG_PTR dwExtraInfo;
};

struct KEYBDINPUT {
  WORD wVk;
  WORD wScan;
  DWORD dwFlags;
  DWORD time;
  ULONG_PTR dwExtraInfo;
};

struct HARDWAREINPUT {
  DWORD uMsg;
  WORD wParamL;
  WORD wParamH;
};

struct INPUT {
  DWORD type;
  union {
    MOUSEINPUT mi;
    KEYBDINPUT ki;
    HARDWAREINPUT hi;
  };
};
typedef INPUT* LPINPUT;

struct WNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  void* hIconSm;
};

struct FILTERKEYS {
  UINT cbSize;
  DWORD dwFlags;
  DWORD iWaitMSec;
  DWORD iDelayMSec;
  DWORD iRepeatMSec;
  DWORD iBounceMSec;
};

struct RAWINPUTDEVICE {
  USHORT usUsagePage;
  USHORT usUsage;
  DWORD dwFlags;
  HWND hwndTarget;
};

struct RAWINPUTHEADER {
  DWORD dwType;
  DWORD dwSize;
  HANDLE hDevice;
  WPARAM wParam;
};

struct RAWKEYBOARD {
  USHORT MakeCode;
  USHORT Flags;
  USHORT Reserved;
  USHORT VKey;
  UINT Message;
  ULONG ExtraInformation;
};

struct RAWMOUSE {
  USHORT usFlags;
  ULONG ulButtons;
  ULONG ulRawButtons;
  LONG lLastX;
  LONG lLastY;
  ULONG ulExtraInformation;
};

struct RAWINPUT {
  RAWINPUTHEADER header;
  union {
    RAWMOUSE mouse;
    RAWKEYBOARD keyboard;
  } data;
};

static_assert(sizeof(RAWINPUTHEADER) == 24 && sizeof(RAWKEYBOARD) == 16, "raw input must match 64-bit Windows");
static_assert(sizeof(INPUT) == 40, "INPUT must match 64-bit Windows");
static_assert(sizeof(FILTERKEYS) == 24, "FILTERKEYS must match 64-bit Windows");
static_assert(sizeof(KBDLLHOOKSTRUCT) == 24, "KBDLLHOOKSTRUCT must match 64-bit Windows");

enum PROCESS_INFORMATION_CLASS {
  ProcessMemoryPriority,
  ProcessMemoryExhaustionInfo,
  ProcessAppMemoryInfo,
  ProcessInPrivateInfo,
  ProcessPowerThrottling,
};

struct PROCESS_POWER_THROTTLING_STATE {
  ULONG Version;
  ULONG ControlMask;
  ULONG StateMask;
};

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD RPC_S_INVALID_BINDING = 1702;

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;

constexpr int HC_ACTION = 0;
constexpr int WH_KEYBOARD_LL = 13;

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_INPUT = 0x00FF;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_SYSKEYDOWN = 0x0104;
constexpr UINT WM_SYSKEYUP = 0x0105;
constexpr UINT WM_POWERBROADCAST = 0x0218;
constexpr UINT WM_WTSSESSION_CHANGE = 0x02B1;

constexpr WPARAM WTS_CONSOLE_CONNECT = 0x1;
constexpr WPARAM WTS_CONSOLE_DISCONNECT = 0x2;
constexpr WPARAM WTS_REMOTE_CONNECT = 0x3;
constexpr WPARAM WTS_REMOTE_DISCONNECT = 0x4;
constexpr WPARAM WTS_SESSION_LOCK = 0x7;
constexpr WPARAM WTS_SESSION_UNLOCK = 0x8;
constexpr DWORD NOTIFY_FOR_THIS_SESSION = 0;
constexpr WPARAM PBT_APMSUSPEND = 0x4;
constexpr WPARAM PBT_APMRESUMESUSPEND = 0x7;
constexpr WPARAM PBT_APMRESUMEAUTOMATIC = 0x12;
constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0;

constexpr DWORD LLKHF_EXTENDED = 0x01;
constexpr DWORD LLKHF_LOWER_IL_INJECTED = 0x02;
constexpr DWORD LLKHF_INJECTED = 0x10;
constexpr DWORD LLKHF_ALTDOWN = 0x20;
constexpr DWORD LLKHF_UP = 0x80;

#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<intptr_t>(-3)))
constexpr UINT PM_REMOVE = 0x0001;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_ALLINPUT = 0x04FF;
constexpr DWORD MWMO_INPUTAVAILABLE = 0x0004;

constexpr DWORD RIDEV_REMOVE = 0x00000001;
constexpr DWORD RIDEV_INPUTSINK = 0x00000100;
constexpr UINT RID_INPUT = 0x10000003;
constexpr DWORD RIM_TYPEKEYBOARD = 1;
constexpr WPARAM RIM_INPUTSINK = 1;
constexpr USHORT RI_KEY_BREAK = 1;
constexpr USHORT RI_KEY_E0 = 2;
constexpr USHORT RI_KEY_E1 = 4;

constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_HIGHEST = 2;

constexpr DWORD INPUT_MOUSE = 0;
constexpr DWORD INPUT_KEYBOARD = 1;
constexpr DWORD KEYEVENTF_EXTENDEDKEY = 0x0001;
constexpr DWORD KEYEVENTF_KEYUP = 0x0002;
constexpr DWORD KEYEVENTF_UNICODE = 0x0004;
constexpr DWORD KEYEVENTF_SCANCODE = 0x0008;

constexpr int VK_SHIFT = 0x10;
constexpr int VK_CONTROL = 0x11;
constexpr int VK_MENU = 0x12;
constexpr int VK_LSHIFT = 0xA0;
constexpr int VK_RSHIFT = 0xA1;
constexpr int VK_LCONTROL = 0xA2;
constexpr int VK_RCONTROL = 0xA3;
constexpr int VK_LMENU = 0xA4;
constexpr int VK_RMENU = 0xA5;
constexpr int VK_HOME = 0x24;
constexpr int VK_UP = 0x26;
constexpr int VK_NUMPAD7 = 0x67;
constexpr int VK_NUMPAD8 = 0x68;
constexpr int VK_NUMLOCK = 0x90;
constexpr int VK_PACKET = 0xE7;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr DWORD REG_NOTIFY_CHANGE_LAST_SET = 0x00000004;
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001)))

constexpr UINT SPI_GETFILTERKEYS = 0x0032;
constexpr DWORD FKF_FILTERKEYSON = 0x00000001;

constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;

constexpr ULONG PROCESS_POWER_THROTTLING_CURRENT_VERSION = 1;
constexpr ULONG PROCESS_POWER_THROTTLING_EXECUTION_SPEED = 0x1;
constexpr ULONG PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION = 0x4;

// kernel32
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                           LPDWORD threadId);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
HANDLE WINAPI GetCurrentProcess();
BOOL WINAPI SetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS informationClass,
                                  LPVOID information, DWORD informationSize);
DWORD WINAPI GetTickCount();
HANDLE WINAPI GetCurrentThread();
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags);
BOOL WINAPI FreeLibrary(HMODULE module);
HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);

// user32
HHOOK WINAPI SetWindowsHookExW(int hookId, HOOKPROC proc, HINSTANCE module, DWORD threadId);
LRESULT WINAPI CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);
BOOL WINAPI UnhookWindowsHookEx(HHOOK hook);
BOOL WINAPI GetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax);
BOOL WINAPI TranslateMessage(const MSG* message);
LRESULT WINAPI DispatchMessageW(const MSG* message);
UINT WINAPI SendInput(UINT count, LPINPUT inputs, int size);
SHORT WINAPI GetAsyncKeyState(int virtualKey);
HWND WINAPI GetForegroundWindow();
BOOL WINAPI PeekMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT remove);
DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                         DWORD wakeMask, DWORD flags);
ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* windowClass);
BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE instance);
HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                            int y, int width, int height, HWND parent, void* menu, HINSTANCE instance,
                            LPVOID param);
BOOL WINAPI DestroyWindow(HWND window);
LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL WINAPI RegisterRawInputDevices(const RAWINPUTDEVICE* devices, UINT count, UINT size);
UINT WINAPI GetRawInputData(HRAWINPUT rawInput, UINT command, LPVOID data, UINT* size, UINT headerSize);
BOOL WINAPI SystemParametersInfoW(UINT action, UINT uiParam, PVOID pvParam, UINT winIni);
HPOWERNOTIFY WINAPI RegisterSuspendResumeNotification(HANDLE recipient, DWORD flags);
BOOL WINAPI UnregisterSuspendResumeNotification(HPOWERNOTIFY handle);

// wtsapi32
BOOL WINAPI WTSRegisterSessionNotification(HWND window, DWORD flags);
BOOL WINAPI WTSUnRegisterSessionNotification(HWND window);

// advapi32
LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                             HKEY* result);
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataSize);
LSTATUS WINAPI RegCloseKey(HKEY key);
LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                       BOOL asynchronous);

// winmm
MMRESULT WINAPI timeBeginPeriod(UINT period);
MMRESULT WINAPI timeEndPeriod(UINT period);
