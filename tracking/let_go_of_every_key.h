#pragma once

// Forgets every held key through the hook's own protocol, for a stretch in which no key event can
// reach the hook at all (the session locked or disconnected, the machine asleep): every burst and
// every arming ends, and no key-up is owed for a release nobody saw. A key-up already owed still
// goes out. Main thread only, like the hook.
void LetGoOfEveryKey();
