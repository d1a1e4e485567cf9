#pragma once

// Windows 11 may let a background process's timer-resolution request go unheard to save power;
// the workers raise the resolution while they serve a held key (see ServiceHeldKey), so the
// process asks to be exempt. Looked up at run time: older systems lack the call, and a failure
// changes nothing but precision.
void KeepTimerResolutionRequestsHonoured();
