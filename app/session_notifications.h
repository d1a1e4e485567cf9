#pragma once

#include "platform/win32.h"

// Session and power notifications on the message-only window: a lock, a disconnect or a suspend
// lets every key go; an unlock, a connect or a resume asks for the hook to be installed again, since
// Windows may have dropped it meanwhile. Main thread only.

// Registers the window for the session's changes and for suspend and resume; whatever cannot be
// registered is done without. With a null window, nothing.
void StartSessionNotifications(HWND window);

// Unregisters both and frees what was loaded for them, before the window goes; handles are nulled,
// so a second call touches nothing.
void StopSessionNotifications();

// The window's procedure: the two notifications, and DefWindowProcW for every message.
LRESULT CALLBACK NotificationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// True once after an unlock, a connect or a resume.
bool TakeSessionBack();

// The message loop's wait: the handles this waits for (the terminal services' ready event while a
// registration waits for it), at most room of them; and the end of the wait for one of them, by its
// signal or by a failed wait, after which it is never listed again.
int ListSessionWaitHandles(HANDLE* handles, int room);
void EndSessionWait(HANDLE handle);
